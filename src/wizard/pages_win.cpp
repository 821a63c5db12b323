#include "wizard/pages_win.h"

#include <windows.h>
#include <objbase.h>
#include <ole2.h>
#include <oleauto.h>
#include <exdisp.h>
#include <shlobj.h>

#include "base/format_win.h"
#include "base/sysdir_win.h"
#include "base/text.h"
#include "install/sequence_win.h"
#include "ui/owners_win.h"

wchar_t g_regOwner[256] = {};
wchar_t g_regCompany[256] = {};

namespace {

constexpr const wchar_t* kProgressHeading = L"安装详细信息";
constexpr const wchar_t* kLockedText =
    L"当前计算机存在一个已经安装的副本，如需更改安装目录，请首先卸载以往版本。";
constexpr const wchar_t* kLockedCaption = L"现在无法更改安装目录。";
constexpr const wchar_t* kBrowseTitle = L"请选择安装目录...";
constexpr const wchar_t* kTooLongText =
    L"所选目录的路径过长，无法在其中安装，请选择一个较短的目录。";
constexpr const wchar_t* kTooLongCaption = L"安装目录";
constexpr UINT kBrowseShareable = 0x8000;  // BIF_SHAREABLE

// Reads a REG_SZ value of at most `bytes` bytes into buf (bytes / 2 + 1
// characters). false (buf untouched) when missing, not text or longer.
template <size_t N>
bool ReadText(HKEY key, const wchar_t* name, wchar_t (&buf)[N], DWORD bytes) {
  static_assert(N * sizeof(wchar_t) > 0, "buffer");
  if (bytes > (N - 1) * sizeof(wchar_t)) bytes = (N - 1) * sizeof(wchar_t);
  wchar_t data[N] = {};
  DWORD type = 0;
  DWORD size = bytes;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
      ERROR_SUCCESS)
    return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  data[size / sizeof(wchar_t) < N ? size / sizeof(wchar_t) : N - 1] = 0;
  kl::Copy(buf, data);
  return true;
}

using AtlAxWinInitFn = BOOL(WINAPI*)();
using AtlAxGetControlFn = HRESULT(WINAPI*)(HWND, IUnknown**);

HMODULE AtlModule() {
  static HMODULE atl = kl::LoadSystemLibrary(L"atl.dll");  // kept for the whole run
  return atl;
}

}  // namespace

bool EnableActiveXHosting() {
  HMODULE atl = AtlModule();
  if (!atl) return false;
  auto init = reinterpret_cast<AtlAxWinInitFn>(
      reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
  if (init && init()) return true;
  // Some atl.dll versions refuse a second registration of the class.
  WNDCLASSEXW cls = {};
  cls.cbSize = sizeof(cls);
  return GetClassInfoExW(atl, L"AtlAxWin", &cls) != 0;
}

// ---- progress page ----------------------------------------------------------

BOOL CKL_Install_Begain::OnInitDialog() {
  LvInsertColumn(IDC_PROGRESS_LIST, 0, kProgressHeading, 330, LVCFMT_LEFT);
  LvSetExtendedStyle(IDC_PROGRESS_LIST, LVS_EX_FULLROWSELECT);
  SendMessageW(Item(IDC_PROGRESS_BAR), PBM_SETRANGE32, 0, 100);
  return TRUE;
}

bool CKL_Install_Begain::RunInstall(const wchar_t* installDir, const wchar_t* owner,
                                    const wchar_t* company,
                                    const std::vector<std::wstring>& madeFolders) {
  return InstallFromWizard(hwnd(), installDir, owner, company, madeFolders);
}

// ---- install-folder page ------------------------------------------------------

bool CKL_Install_SelectDir::ComposeFolder(const wchar_t* base, const wchar_t* imeName,
                                          wchar_t (&out)[kPathChars]) {
  if (!base || !*base) return false;
  wchar_t path[kPathChars];
  if (!kl::Copy(path, base)) return false;
  const size_t n = kl::StrLen(path);
  if (path[n - 1] != L'\\' && !kl::Append(path, L"\\")) return false;
  if (!kl::Append(path, imeName ? imeName : L"") || !kl::Append(path, L"\\")) return false;
  kl::Copy(out, path);
  return true;
}

BOOL CKL_Install_SelectDir::OnInitDialog() {
  const wchar_t* key = g_header ? g_header->imeName : L"";
  wchar_t programs[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathW(hwnd(), CSIDL_PROGRAM_FILES | CSIDL_FLAG_CREATE, nullptr,
                                 SHGFP_TYPE_CURRENT, programs)))
    ComposeFolder(programs, key, folder_);  // too long: the buffer keeps its content

  locked_ = false;
  wchar_t vendorKey[kPathChars];
  if (kl::Format(vendorKey, L"Software\\zorbl\\%s", key)) {
    ui::RegKey k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, vendorKey, 0, KEY_READ, k.out()) == ERROR_SUCCESS) {
      wchar_t locked[129];
      if (ReadText(k.get(), L"KMEInstallPath", locked, 256)) {
        kl::Copy(folder_, locked);
        Enable(IDC_INSTALL_DIR, false);
        locked_ = true;
      }
    }
  }
  // The sequence takes at most 259 characters of the folder.
  SendMessageW(Item(IDC_INSTALL_DIR), EM_LIMITTEXT, kPathChars - 1, 0);
  SetItemText(IDC_INSTALL_DIR, folder_);
  return TRUE;
}

bool CKL_Install_SelectDir::OnCommand(int id, int code, HWND control) {
  if (id == IDC_BROWSE && code == BN_CLICKED) {
    Browse();
    return true;
  }
  return ui::Dialog::OnCommand(id, code, control);
}

void CKL_Install_SelectDir::Browse() {
  if (locked_) {
    MessageBoxW(hwnd(), kLockedText, kLockedCaption, MB_ICONERROR | MB_OK);
    return;
  }
  ui::ComScope com;
  wchar_t display[MAX_PATH] = {};
  BROWSEINFOW info = {};
  info.hwndOwner = hwnd();
  info.pidlRoot = nullptr;
  info.pszDisplayName = display;
  info.lpszTitle = kBrowseTitle;
  info.ulFlags = kBrowseShareable;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info);
  if (!item) return;
  wchar_t picked[MAX_PATH] = {};
  const bool hasPath = SHGetPathFromIDListW(item, picked) && picked[0];
  CoTaskMemFree(item);
  if (!hasPath) return;
  wchar_t composed[kPathChars];
  if (!ComposeFolder(picked, g_header ? g_header->imeName : L"", composed)) {
    MessageBoxW(hwnd(), kTooLongText, kTooLongCaption, MB_ICONERROR | MB_OK);
    return;
  }
  kl::Copy(folder_, composed);
  SetItemText(IDC_INSTALL_DIR, folder_);
}

// ---- owner/company page ---------------------------------------------------------

BOOL CKL_Install_User::OnInitDialog() {
  if (!g_regCompany[0]) {
    ui::RegKey k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_READ, k.out()) == ERROR_SUCCESS) {
      ReadText(k.get(), L"RegisteredOrganization", g_regCompany, 256);
      ReadText(k.get(), L"RegisteredOwner", g_regOwner, 256);
    }
  }
  SendMessageW(Item(IDC_OWNER), EM_LIMITTEXT, 255, 0);
  SendMessageW(Item(IDC_COMPANY), EM_LIMITTEXT, 255, 0);
  SetItemText(IDC_OWNER, g_regOwner);
  SetItemText(IDC_COMPANY, g_regCompany);
  return TRUE;
}

void CKL_Install_User::GetUser(const wchar_t** owner, const wchar_t** company) {
  GetItemText(IDC_OWNER, g_regOwner);
  GetItemText(IDC_COMPANY, g_regCompany);
  if (owner) *owner = g_regOwner;
  if (company) *company = g_regCompany;
}

// ---- licence dialog ---------------------------------------------------------------

void CKL_Install_Licence::LicenceAddress(const wchar_t* extractFolder,
                                         wchar_t (&out)[kPathChars + 40]) {
  out[0] = 0;
  if (!extractFolder || !*extractFolder) return;
  wchar_t path[kPathChars];
  if (kl::Format(path, L"%sLicense.html", extractFolder) &&
      GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
    kl::Copy(out, path);
    return;
  }
  if (kl::Format(path, L"%smain.chm", extractFolder) &&
      GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
    if (!kl::Format(out, L"mk:@MSITStore:%smain.chm::/License.html", extractFolder)) out[0] = 0;
  }
}

INT_PTR CKL_Install_Licence::Run(HWND owner) {
  const HRESULT ole = OleInitialize(nullptr);
  const INT_PTR result = DoModal(owner);
  if (SUCCEEDED(ole)) OleUninitialize();
  return result;
}

BOOL CKL_Install_Licence::OnInitDialog() {
  LicenceAddress(g_launch ? g_launch->extractFolder : nullptr, address_);
  hosted_ = false;
  if (EnableActiveXHosting()) {
    HWND host = ReplaceItem(IDC_BROWSER, L"AtlAxWin", KL_BROWSER_CLSID_TEXT,
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP, WS_EX_CLIENTEDGE);
    auto getControl = reinterpret_cast<AtlAxGetControlFn>(
        reinterpret_cast<void*>(GetProcAddress(AtlModule(), "AtlAxGetControl")));
    ui::ComPtr<IUnknown> control;
    ui::ComPtr<IWebBrowser2> browser;
    if (host && getControl && SUCCEEDED(getControl(host, control.out())) && control &&
        SUCCEEDED(control->QueryInterface(IID_IWebBrowser2, browser.out_void())) && browser) {
      hosted_ = true;
      if (address_[0]) {
        BSTR url = SysAllocString(address_);
        VARIANT empty;
        VariantInit(&empty);
        if (url) browser->Navigate(url, &empty, &empty, &empty, &empty);  // result not needed
        SysFreeString(url);
      }
    }
  }
  wchar_t caption[128];
  kl::Format(caption, L"%s - 最终用户许可协议", g_header ? g_header->displayName : L"");
  SetCaption(caption);
  return TRUE;
}
