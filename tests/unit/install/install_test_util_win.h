// Shared set-up of the install engine tests: an owner page with the progress
// list (1006) and bar (1008) whose positions are recorded, a runner that
// works on a worker thread while this thread pumps messages (as the wizard
// does), records for one test, small products built from the sample
// binaries, and the removal of everything an install leaves.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <commctrl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/format_win.h"
#include "base/text.h"
#include "install/context_win.h"
#include "install/ime_win.h"
#include "state/cmdline_win.h"
#include "state/records.h"
#include "testfs_win.h"
#include "ui/owners_win.h"

namespace insttest {

// ---- files ------------------------------------------------------------------

using testfs::BinFolder;
using testfs::Exists;
using testfs::ReadAll;
using testfs::RemoveTree;
using testfs::TempFolder;
using testfs::WriteAll;

inline std::wstring SystemDir() {
  wchar_t d[MAX_PATH];
  GetSystemDirectoryW(d, MAX_PATH);
  return std::wstring(d) + L"\\";
}

inline std::wstring WindowsDir() {
  wchar_t d[MAX_PATH];
  GetWindowsDirectoryW(d, MAX_PATH);
  return std::wstring(d) + L"\\";
}

inline std::wstring ShellFolder(int csidl) {
  wchar_t d[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, d);
  std::wstring s(d);
  if (!s.empty() && s.back() != L'\\') s += L'\\';
  return s;
}

// ---- shell links -----------------------------------------------------------

// The .lnk files of a folder ("...\\" form).
inline std::vector<std::wstring> LinksIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  if (ui::FindHandle f{FindFirstFileW((folder + L"*.lnk").c_str(), &fd)}) {
    do names.push_back(fd.cFileName);
    while (FindNextFileW(f.get(), &fd));
  }
  return names;
}

// A shell link as the shell-link object reads it, and the show command
// stored in the link file's header.
struct Link {
  bool loaded = false;
  std::wstring target, arguments, iconPath, description, workingDir;
  int iconIndex = -1;
  DWORD fileShow = 0;  // the show command as stored in the link file's header
};

inline Link ReadLink(const std::wstring& path) {
  Link out;
  ui::ComPtr<IShellLinkW> link;
  ui::ComPtr<IPersistFile> file;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              link.out_void())) ||
      FAILED(link->QueryInterface(IID_IPersistFile, file.out_void())) ||
      FAILED(file->Load(path.c_str(), STGM_READ)))
    return out;
  out.loaded = true;
  wchar_t buf[MAX_PATH] = {};
  link->GetPath(buf, MAX_PATH, nullptr, SLGP_RAWPATH);
  out.target = buf;
  buf[0] = 0;
  link->GetArguments(buf, MAX_PATH);
  out.arguments = buf;
  buf[0] = 0;
  link->GetIconLocation(buf, MAX_PATH, &out.iconIndex);
  out.iconPath = buf;
  buf[0] = 0;
  link->GetDescription(buf, MAX_PATH);
  out.description = buf;
  buf[0] = 0;
  link->GetWorkingDirectory(buf, MAX_PATH);
  out.workingDir = buf;
  ui::FileHandle raw(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  DWORD got = 0;
  if (raw && SetFilePointer(raw.get(), 0x3C, nullptr, FILE_BEGIN) == 0x3C)
    ReadFile(raw.get(), &out.fileShow, sizeof(out.fileShow), &got, nullptr);
  return out;
}

// ---- registry ---------------------------------------------------------------

struct RegValue {
  bool found = false;
  DWORD type = 0;
  DWORD bytes = 0;
  std::wstring text;
};

inline RegValue ReadValue(HKEY hive, const std::wstring& key, const wchar_t* name) {
  RegValue v;
  ui::RegKey k;
  if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_READ, k.out()) != ERROR_SUCCESS) return v;
  wchar_t data[2048] = {};
  DWORD bytes = sizeof(data) - sizeof(wchar_t);
  if (RegQueryValueExW(k.get(), name, nullptr, &v.type, reinterpret_cast<BYTE*>(data), &bytes) !=
      ERROR_SUCCESS)
    return v;
  v.found = true;
  v.bytes = bytes;
  v.text.assign(data, kl::StrLen(data, bytes / sizeof(wchar_t)));
  return v;
}

inline bool KeyExists(HKEY hive, const std::wstring& key) {
  ui::RegKey k;
  return RegOpenKeyExW(hive, key.c_str(), 0, KEY_READ, k.out()) == ERROR_SUCCESS;
}

inline void DeleteValue(HKEY hive, const std::wstring& key, const wchar_t* name) {
  ui::RegKey k;
  if (RegOpenKeyExW(hive, key.c_str(), 0, KEY_SET_VALUE, k.out()) == ERROR_SUCCESS)
    RegDeleteValueW(k.get(), name);
}

inline const wchar_t kUninstallRoot[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
inline const wchar_t kFontsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
inline const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Drops the pending restart replacements whose source or target contains
// part, and the temporary copies they would have moved.
inline void RemovePendingRenames(const std::wstring& part) {
  ui::RegKey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ | KEY_SET_VALUE, k.out()) !=
      ERROR_SUCCESS)
    return;
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(k.get(), L"PendingFileRenameOperations", nullptr, &type, nullptr,
                       &bytes) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ)
    return;
  std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, 0);
  RegQueryValueExW(k.get(), L"PendingFileRenameOperations", nullptr, &type,
                   reinterpret_cast<BYTE*>(data.data()), &bytes);
  std::vector<std::wstring> items;
  for (size_t i = 0; i < bytes / sizeof(wchar_t);) {
    std::wstring s(&data[i]);
    items.push_back(s);
    i += s.size() + 1;
  }
  // Pairs of source and target; a trailing empty string ends the list.
  std::wstring kept;
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    if (items[i].find(part) != std::wstring::npos ||
        items[i + 1].find(part) != std::wstring::npos) {
      std::wstring source = items[i];
      if (source.rfind(L"\\??\\", 0) == 0) source = source.substr(4);
      DeleteFileW(source.c_str());
      continue;
    }
    kept += items[i];
    kept += L'\0';
    kept += items[i + 1];
    kept += L'\0';
  }
  if (kept.empty()) {
    RegDeleteValueW(k.get(), L"PendingFileRenameOperations");
  } else {
    kept += L'\0';
    RegSetValueExW(k.get(), L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                   reinterpret_cast<const BYTE*>(kept.data()),
                   static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
  }
}

// ---- records ----------------------------------------------------------------

// Zeroed records behind g_launch/g_session/g_header for one test.
class Records {
 public:
  Records() {
    g_launch = &launch;
    g_session = &session;
    g_header = &header;
  }
  ~Records() {
    g_launch = nullptr;
    g_session = nullptr;
    g_header = nullptr;
  }
  Records(const Records&) = delete;
  Records& operator=(const Records&) = delete;

  LaunchInfo launch = {};
  InstallSession session = {};
  PackageHeader header = {};
};

// ---- the owner page ---------------------------------------------------------

// A top-level window standing in for a wizard page: a one-column report list
// view 1006 and a smooth progress bar 1008 (0..100) whose PBM_SETPOS values
// are recorded in order.
class OwnerPage {
 public:
  OwnerPage() {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KlInstallTestPage";
    RegisterClassW(&wc);
    page_ = CreateWindowExW(0, wc.lpszClassName, L"install test page", WS_OVERLAPPEDWINDOW, 0, 0,
                            400, 300, nullptr, nullptr, wc.hInstance, nullptr);
    list_ = CreateWindowExW(0, WC_LISTVIEWW, L"",
                            WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOCOLUMNHEADER, 0, 0, 330, 200,
                            page_, reinterpret_cast<HMENU>(kProgressListId), wc.hInstance, nullptr);
    SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    LVCOLUMNW column = {};
    column.mask = LVCF_WIDTH;
    column.cx = 330;
    SendMessageW(list_, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    bar_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 210,
                           330, 20, page_, reinterpret_cast<HMENU>(kProgressBarId), wc.hInstance,
                           nullptr);
    SendMessageW(bar_, PBM_SETRANGE32, 0, 100);
    SetWindowSubclass(bar_, &OwnerPage::BarProc, 1, reinterpret_cast<DWORD_PTR>(this));
  }
  ~OwnerPage() {
    RemoveWindowSubclass(bar_, &OwnerPage::BarProc, 1);
    DestroyWindow(page_);
  }
  OwnerPage(const OwnerPage&) = delete;
  OwnerPage& operator=(const OwnerPage&) = delete;

  HWND page() const { return page_; }
  HWND list() const { return list_; }
  HWND bar() const { return bar_; }
  const std::vector<int>& positions() const { return positions_; }
  int barPos() const { return static_cast<int>(SendMessageW(bar_, PBM_GETPOS, 0, 0)); }

  std::vector<std::wstring> Lines() const {
    std::vector<std::wstring> lines;
    const int n = static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
      wchar_t text[512] = {};
      LVITEMW item = {};
      item.iSubItem = 0;
      item.pszText = text;
      item.cchTextMax = 512;
      SendMessageW(list_, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item));
      lines.push_back(text);
    }
    return lines;
  }

 private:
  static LRESULT CALLBACK BarProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                  DWORD_PTR self) {
    if (msg == PBM_SETPOS)
      reinterpret_cast<OwnerPage*>(self)->positions_.push_back(static_cast<int>(wp));
    return DefSubclassProc(hwnd, msg, wp, lp);
  }

  HWND page_ = nullptr;
  HWND list_ = nullptr;
  HWND bar_ = nullptr;
  std::vector<int> positions_;
};

// Runs work on a worker thread while this thread keeps handling the messages
// that the work sends to this thread's windows.
inline void RunPumping(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  while (!done) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  worker.join();
}

// ---- products -----------------------------------------------------------------

// Fills a header for key name key and display name display.
inline void FillHeader(PackageHeader& h, const wchar_t* key, const wchar_t* display) {
  h = PackageHeader{};
  kl::Copy(h.imeName, key);
  kl::Format(h.layoutText, L"中文 (简体) - %s", display);
  kl::Copy(h.displayName, display);
  kl::Copy(h.comments, L"测试用输入法");
  kl::Copy(h.publisher, L"zorbl");
  kl::Copy(h.displayVersion, L"1.0.0.1");
  kl::Copy(h.contact, L"support");
  kl::Copy(h.urlInfoAbout, L"http://127.0.0.1/about/");
  kl::Copy(h.urlUpdateInfo, L"http://127.0.0.1/update/");
  kl::Copy(h.helpTelephone, L"010-1234");
}

// A work folder "<temp><name>\" with an extraction folder "KL_INSTALL\" that
// holds a small product for key name key: the IME module "<key>.ime" (the
// sample's), config.exe and main.chm stand-ins, "$system32$", "$windows$" and
// "$dataFiles$" files; a bare program copy "unstall.exe" and a package file.
// Fills launch accordingly.
inline void MakeSmallProduct(LaunchInfo& launch, const std::wstring& name, const wchar_t* key) {
  const std::wstring work = TempFolder() + name + L"\\";
  RemoveTree(work);
  CreateDirectoryW(work.c_str(), nullptr);
  const std::wstring extract = work + L"KL_INSTALL\\";
  CreateDirectoryW(extract.c_str(), nullptr);
  const std::wstring sample = BinFolder() + L"sample\\";
  CopyFileW((sample + L"KeloSample.ime").c_str(), (extract + key + L".ime").c_str(), FALSE);
  CopyFileW((sample + L"config.exe").c_str(), (extract + L"config.exe").c_str(), FALSE);
  WriteAll(extract + L"main.chm", "help");
  WriteAll(extract + L"InstallInfo.kif", std::string(kPackageHeaderSize, '\0'));
  CreateDirectoryW((extract + L"$system32$").c_str(), nullptr);
  WriteAll(extract + L"$system32$\\" + key + L"_sys.dat", "sys");
  CreateDirectoryW((extract + L"$windows$").c_str(), nullptr);
  WriteAll(extract + L"$windows$\\" + key + L"_win.dat", "win");
  CreateDirectoryW((extract + L"$dataFiles$").c_str(), nullptr);
  WriteAll(extract + L"$dataFiles$\\config.ksc", "ksc");
  CopyFileW((sample + L"config.exe").c_str(), (work + L"unstall.exe").c_str(), FALSE);
  WriteAll(work + L"klinstallbaseexe.cab", "CRYP package bytes");

  kl::Copy(launch.workFolder, work.c_str());
  kl::Copy(launch.extractFolder, extract.c_str());
  kl::Copy(launch.programCopyPath, (work + L"unstall.exe").c_str());
  kl::Copy(launch.packagePath, (work + L"klinstallbaseexe.cab").c_str());
  kl::Copy(launch.modulePath, (BinFolder() + L"setup.exe").c_str());
  launch.mode = kModeInstall;
}

// Removes what an install of key/display into installDir leaves: files in the
// install, system, Windows, fonts and data folders, the registry records,
// the keyboard layouts of the module, the links and pending replacements.
inline void Uninstall(const wchar_t* key, const wchar_t* display, const std::wstring& installDir,
                      const std::vector<std::wstring>& systemFiles = {},
                      const std::vector<std::wstring>& windowsFiles = {},
                      const std::vector<std::wstring>& fontFiles = {},
                      const std::vector<std::wstring>& fontValues = {}) {
  const std::wstring module = std::wstring(key) + L".kelo.ime";
  RemoveImeLayouts(module.c_str());
  DeleteFileW((SystemDir() + module).c_str());
  for (const auto& f : systemFiles) DeleteFileW((SystemDir() + f).c_str());
  for (const auto& f : windowsFiles) DeleteFileW((WindowsDir() + f).c_str());
  const std::wstring fonts = ShellFolder(CSIDL_FONTS);
  for (const auto& f : fontFiles) {
    RemoveFontResourceW((fonts + f).c_str());
    DeleteFileW((fonts + f).c_str());
  }
  for (const auto& v : fontValues) DeleteValue(HKEY_LOCAL_MACHINE, kFontsKey, v.c_str());
  wchar_t data[kPathChars];
  if (GetProductDataFolder(key, data)) {
    RemoveTree(data);
    std::wstring parent(data);  // "...\KeloIMEs\<key>\": the shared parent goes when empty
    parent.resize(parent.size() - 1);
    parent.resize(parent.find_last_of(L'\\'));
    RemoveDirectoryW(parent.c_str());
  }
  if (!installDir.empty()) RemoveTree(installDir);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kUninstallRoot) + key).c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\zorbl\\") + key).c_str());
  RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(L"Software\\zorbl\\") + key).c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\zorbl");  // only when no product is left in it
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\zorbl");
  if (display && *display) {
    RemoveTree(ShellFolder(CSIDL_COMMON_PROGRAMS) + display);
    DeleteFileW((ShellFolder(CSIDL_DESKTOPDIRECTORY) + display + L"系统设置.lnk").c_str());
  }
  if (!installDir.empty()) RemovePendingRenames(installDir);
}

}  // namespace insttest
