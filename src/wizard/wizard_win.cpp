#include "wizard/wizard_win.h"

#include <windows.h>
#include <objbase.h>
#include <commctrl.h>

#include <cwchar>

#include "base/format_win.h"
#include "base/text.h"
#include "install/inuse_win.h"
#include "install/journal.h"
#include "install/protected_folders_win.h"
#include "state/cmdline_win.h"
#include "sys/fsutil_win.h"
#include "sys/remove_tree_win.h"

namespace {

constexpr const wchar_t* kInstallCaption = L"立即安装(&S)";
constexpr const wchar_t* kDoneCaption = L"完成安装(&O)";
constexpr const wchar_t* kFailedCaption = L"退出安装(&O)";
constexpr const wchar_t* kInUseText =
    L"由于您的计算机中存在一个当前输入法的副本，所以您必须关闭加载当前输入法的所有进程，然后重试该操作。";
constexpr const wchar_t* kInUseCaption = L"无法执行的操作";
constexpr const wchar_t* kOverwriteText = L"所选安装目录已经存在，如果继续，安装程序将覆盖当前目录？";
constexpr const wchar_t* kOverwriteCaption = L"是否继续？";
constexpr const wchar_t* kCreateFailedFormat =
    L"所选安装目录:\r\n%s\r\n未能创建，请确定您的当前用户对该目录的访问权限！";
constexpr const wchar_t* kCreateFailedCaption = L"安装错误？";
constexpr const wchar_t* kRefusedFolderFormat =
    L"所选安装目录:\r\n%s\r\n是系统目录或用户的个人文件夹，不能安装到该目录中，请选择其他安装目录！";
constexpr const wchar_t* kLinkText = L"查看许可协议(L)";

// Sent by the worker as its last act (wParam unused).
constexpr UINT kWorkerDone = WM_APP + 0x21;
// Sent by the worker once the folder is ready: the wizard shows the progress
// page. Done on the wizard's own thread in one message, where each page and
// control changed from the worker would be a round trip of its own.
constexpr UINT kShowProgress = WM_APP + 0x22;

bool IsFolder(const wchar_t* path) {
  const DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The install command's folder check, on a thread of its own.
struct FolderCheck {
  wchar_t folder[kPathChars] = {};
  bool refused = false;
};

DWORD WINAPI CheckFolder(LPVOID param) {
  auto* check = static_cast<FolderCheck*>(param);
  check->refused = IsFullFolderPath(check->folder) && IsRefusedInstallFolder(check->folder);
  return 0;
}

// Polls until nothing exists at path any more, for at most 15 seconds.
void WaitUntilGone(const wchar_t* path) {
  for (int i = 0; i < 150 && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
}

}  // namespace

bool IsFullFolderPath(const wchar_t* path) {
  if (!path) return false;
  const wchar_t c = path[0];
  if (((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z')) && path[1] == L':' &&
      path[2] == L'\\')
    return true;
  // UNC: "\\server\share..." (not "\\?\" or "\\.\" device forms).
  return path[0] == L'\\' && path[1] == L'\\' && path[2] && path[2] != L'\\' && path[2] != L'?' &&
         path[2] != L'.';
}

CKL_Install_BaseDlg::CKL_Install_BaseDlg() : ui::Dialog(IDD_WIZARD) {
  icon_ = ui::LoadAppIcon(IDI_SETUP, false);
  smallIcon_ = ui::LoadAppIcon(IDI_SETUP, true);
}

CKL_Install_BaseDlg::~CKL_Install_BaseDlg() {
  // The wizard cannot end while a run is under way; at most the worker's
  // return is still pending here.
  if (worker_) WaitForSingleObject(worker_.get(), INFINITE);
}

BOOL CKL_Install_BaseDlg::OnInitDialog() {
  SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd(), WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(smallIcon_ ? smallIcon_ : icon_));

  wchar_t caption[128];
  kl::Format(caption, L"欢迎使用 %s 安装程序", g_header ? g_header->displayName : L"");
  SetCaption(caption);

  CheckRadio(IDC_ACCEPT, IDC_DECLINE, IDC_DECLINE);
  SetItemText(IDOK, kInstallCaption);
  Enable(IDOK, false);

  const RECT frame = ItemRect(IDC_PAGE_FRAME);
  for (ui::Dialog* page : {static_cast<ui::Dialog*>(&progress_), static_cast<ui::Dialog*>(&user_),
                           static_cast<ui::Dialog*>(&directory_)}) {
    if (!page->Create(hwnd())) continue;
    page->MoveTo(frame, false);
    // Above the tab and the frame, which would otherwise paint over it.
    SetWindowPos(page->hwnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }

  HWND tabs = Item(IDC_TABS);
  SendMessageW(tabs, TCM_SETITEMSIZE, 0, MAKELPARAM(100, 30));
  const wchar_t* names[] = {L"安装目录", L"用户信息"};
  for (int i = 0; i < 2; ++i) {
    TCITEMW item = {};
    item.mask = TCIF_TEXT | TCIF_IMAGE;
    item.iImage = 0;
    item.pszText = const_cast<wchar_t*>(names[i]);
    SendMessageW(tabs, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
  SendMessageW(tabs, TCM_SETMINTABWIDTH, 0, 100);
  SendMessageW(tabs, TCM_SETCURSEL, 0, 0);
  ShowPage(static_cast<int>(SendMessageW(tabs, TCM_GETCURSEL, 0, 0)));
  return TRUE;
}

void CKL_Install_BaseDlg::ShowPage(int index) {
  if (index == 0) {
    progress_.SetVisible(false, false);
    user_.SetVisible(false, false);
    directory_.SetVisible(true, false);
  } else if (index == 1) {
    progress_.SetVisible(false, false);
    directory_.SetVisible(false, false);
    user_.SetVisible(true, false);
  }
}

bool CKL_Install_BaseDlg::OnCommand(int id, int code, HWND control) {
  switch (id) {
    case IDOK:
      InstallCommand();
      return true;
    case IDC_LICENCE_LINK: {
      CKL_Install_Licence licence;
      licence.Run(hwnd());
      return true;
    }
    case IDC_ACCEPT:
      if (!running_) Enable(IDOK, true);
      return true;
    case IDC_DECLINE:
      if (!running_) Enable(IDOK, false);
      return true;
    default:
      return ui::Dialog::OnCommand(id, code, control);
  }
}

void CKL_Install_BaseDlg::OnCancel() {
  if (running_) {  // the run writes into this dialog's windows until it ends
    MessageBeep(MB_ICONWARNING);
    return;
  }
  ending_ = true;
  EndDialog(IDCANCEL);
}

bool CKL_Install_BaseDlg::OnNotify(NMHDR* header, LRESULT* result) {
  if (header->idFrom == IDC_TABS && header->code == TCN_SELCHANGE) {
    ShowPage(static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0)));
    *result = 0;
    return true;
  }
  return false;
}

bool CKL_Install_BaseDlg::OnDrawItem(int id, DRAWITEMSTRUCT* item) {
  if (id != IDC_LICENCE_LINK) return false;
  const COLORREF oldColour = SetTextColor(item->hDC, RGB(0, 0, 255));
  const int oldMode = SetBkMode(item->hDC, TRANSPARENT);
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(item->hwndItem, WM_GETFONT, 0, 0));
  HGDIOBJ oldFont = font ? SelectObject(item->hDC, font) : nullptr;
  TextOutW(item->hDC, 5, 2, kLinkText, 9);
  if (oldFont) SelectObject(item->hDC, oldFont);
  SetBkMode(item->hDC, oldMode);
  SetTextColor(item->hDC, oldColour);
  return true;
}

bool CKL_Install_BaseDlg::OnSetCursor(HWND over, int, int) {
  if (over && over == Item(IDC_LICENCE_LINK)) {
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
    return true;
  }
  return false;
}

bool CKL_Install_BaseDlg::OnPaint() { return PaintIconWhenMinimised(icon_); }

void CKL_Install_BaseDlg::SetClosable(bool closable) {
  if (HMENU menu = GetSystemMenu(hwnd(), FALSE))
    EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (closable ? MF_ENABLED : MF_GRAYED));
}

void CKL_Install_BaseDlg::InstallCommand() {
  if (running_) return;  // a command that raced the disabled button
  wchar_t text[64] = {};
  GetItemText(IDOK, text);
  if (std::wcscmp(text, kInstallCaption) != 0) {
    ending_ = true;
    EndDialog(0);
    return;
  }
  wchar_t imeFile[64];
  kl::Format(imeFile, L"%s.kelo.ime", g_header ? g_header->imeName : L"");
  // Whether the folder is refused is found side by side with the scan: both
  // mostly wait on the system, and neither changes anything.
  FolderCheck check;
  directory_.InstallFolder(check.folder, kPathChars);
  ui::Handle checker(CreateThread(nullptr, 0, &CheckFolder, &check, 0, nullptr));
  if (!checker) CheckFolder(&check);
  const int inUse = CheckImeInUse(hwnd(), imeFile);
  if (checker) WaitForSingleObject(checker.get(), INFINITE);
  kl::Copy(checkedFolder_, check.folder);
  checkedRefused_ = check.refused;
  if (inUse != 0 && inUse != IDOK) {
    MessageBoxW(hwnd(), kInUseText, kInUseCaption, MB_ICONERROR | MB_OK);
    return;
  }
  // The wizard may have been told to close while the in-use dialog ran.
  if (ending_ || !IsChecked(IDC_ACCEPT)) return;

  if (worker_) {  // the previous run has sent its last message; let it return
    WaitForSingleObject(worker_.get(), INFINITE);
    worker_.reset();
  }
  running_ = true;
  SetClosable(false);
  // What the worker needs from the pages is read here, on their own thread:
  // from the worker each read would wait for this thread.
  Enable(IDOK, false);
  user_.GetUser(&owner_, &company_);
  DWORD id = 0;
  worker_.reset(CreateThread(nullptr, 0, &CKL_Install_BaseDlg::WorkerMain, this, 0, &id));
  if (!worker_) {
    running_ = false;
    SetClosable(true);
    Enable(IDOK, true);
  }
}

DWORD WINAPI CKL_Install_BaseDlg::WorkerMain(LPVOID self) {
  static_cast<CKL_Install_BaseDlg*>(self)->Work();
  return 0;
}

void CKL_Install_BaseDlg::EndWork() { SendMessageW(hwnd(), kWorkerDone, 0, 0); }

bool CKL_Install_BaseDlg::OnMessage(UINT msg, WPARAM, LPARAM, LRESULT* result) {
  if (msg == kShowProgress) {
    user_.SetVisible(false, false);
    directory_.SetVisible(false, false);
    progress_.SetVisible(true, false);
    Enable(IDC_TABS, false);
    Enable(IDC_ACCEPT, false);
    Enable(IDC_DECLINE, false);
    *result = 0;
    return true;
  }
  if (msg != kWorkerDone) return false;
  running_ = false;
  SetClosable(true);
  Enable(IDOK, true);
  *result = 0;
  return true;
}

void CKL_Install_BaseDlg::Work() {
  ui::ComScope com;

  // The folder and the user as the install command read them (the pages
  // cannot change while the run goes on).
  wchar_t folder[kPathChars] = {};
  kl::Copy(folder, checkedFolder_);
  const wchar_t* owner = owner_ ? owner_ : L"";
  const wchar_t* company = company_ ? company_ : L"";

  // Never into the Windows folder nor a shell folder of the user's
  // (Documents, Desktop, ...): asked before anything is cleared there.
  if (checkedRefused_) {
    wchar_t message[kPathChars + 96];
    kl::Format(message, kRefusedFolderFormat, folder);
    wchar_t caption[128] = {};
    GetWindowTextW(hwnd(), caption, 128);
    MessageBoxW(hwnd(), message, caption, MB_ICONERROR | MB_OK);
    EndWork();
    return;
  }

  if (GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES) {
    if (MessageBoxW(hwnd(), kOverwriteText, kOverwriteCaption, MB_YESNO | MB_ICONQUESTION) !=
        IDYES) {
      EndWork();
      return;
    }
    // A root, a system folder or a folder that holds one is never cleared
    // nor installed into as if it were fresh: refused like an uncreatable
    // folder, with nothing removed.
    if (IsProtectedFolder(folder)) {
      wchar_t message[kPathChars + 96];
      kl::Format(message, kCreateFailedFormat, folder);
      MessageBoxW(hwnd(), message, kCreateFailedCaption, MB_ICONERROR | MB_OK);
      EndWork();
      return;
    }
    RemoveFolderTree(folder);
    wchar_t data[kPathChars];
    const bool hasData = GetProductDataFolder(g_header ? g_header->imeName : L"", data);
    if (hasData) RemoveFolderTree(data);
    RemoveVirtualizedData();
    // The interpreter may still be deleting (it runs at idle priority and is
    // waited for only a second): let it finish before the same folders are
    // created and filled again, or it would delete the new files.
    WaitUntilGone(folder);
    if (hasData) WaitUntilGone(data);
  }

  // Only a full path is created: a relative one would land wherever the
  // current directory happens to be. The folders made here belong to the
  // run: a failed install removes them again.
  std::vector<std::wstring> madeFolders;
  if (IsFullFolderPath(folder)) {
    for (const kl::string16& f : kl::MissingFolders(folder, [](const kl::string16& p) {
           return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES;
         }))
      madeFolders.push_back(f);
    CreateDirectoryPath(folder);
  }
  if (!IsFullFolderPath(folder) || !IsFolder(folder)) {
    wchar_t message[kPathChars + 96];
    kl::Format(message, kCreateFailedFormat, folder);
    MessageBoxW(hwnd(), message, kCreateFailedCaption, MB_ICONERROR | MB_OK);
    EndWork();
    return;
  }

  SendMessageW(hwnd(), kShowProgress, 0, 0);

  const bool ok = progress_.RunInstall(folder, owner, company, madeFolders);

  SetItemText(IDOK, ok ? kDoneCaption : kFailedCaption);
  Enable(IDC_TABS, true);
  Show(IDC_LICENCE_LINK, false);
  Show(IDC_ACCEPT, false);
  Show(IDC_DECLINE, false);
  EndWork();  // enables button 1 on the wizard's thread
}
