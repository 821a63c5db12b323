// Uninstall and repair dialogs.
#include "remove/operation_dlg_win.h"

#include <commctrl.h>

#include "base/format_win.h"
#include "base/text.h"
#include "install/context_win.h"
#include "install/ime_win.h"
#include "install/inuse_win.h"
#include "install/sequence_win.h"
#include "remove/uninstall_win.h"
#include "state/cmdline.h"
#include "state/records.h"
#include "state/setup_log_win.h"
#include <objbase.h>  // the owners need COM declared

#include "ui/owners_win.h"

namespace {

constexpr wchar_t kDoneCaption[] = L"完成(&O)";
constexpr wchar_t kNoBackupText[] = L"安装数据文件不存在或者已经损坏,修复程序无法运行.";
constexpr wchar_t kNoBackupCaption[] = L"无法执行的操作";
constexpr int kColumnWidth = 330;

// A REG_SZ value of at most 256 bytes into buf; buf is left as it was when
// the value is missing, of another type or longer.
void ReadLimited(HKEY key, const wchar_t* name, wchar_t (&buf)[260]) {
  wchar_t data[129] = {};
  DWORD type = 0;
  DWORD bytes = 256;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return;
  data[bytes / sizeof(wchar_t)] = 0;
  kl::Copy(buf, data);
}

}  // namespace

void ReadRepairOwner(const wchar_t* imeName, wchar_t (&owner)[260], wchar_t (&company)[260]) {
  owner[0] = company[0] = 0;
  ui::RegKey uninstall;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                      0, KEY_READ, uninstall.out()) == ERROR_SUCCESS) {
    ui::RegKey product;
    if (imeName && imeName[0] &&
        ::RegOpenKeyExW(uninstall.get(), imeName, 0, KEY_READ, product.out()) == ERROR_SUCCESS) {
      ReadLimited(product.get(), L"RegOwner", owner);
      ReadLimited(product.get(), L"RegCompany", company);
    }
  }
  ui::RegKey system;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_READ, system.out()) == ERROR_SUCCESS) {
    if (!company[0]) ReadLimited(system.get(), L"RegisteredOrganization", company);
    if (!owner[0]) ReadLimited(system.get(), L"RegisteredOwner", owner);
  }
}

CKL_OperationDlg::CKL_OperationDlg(int templateId, const wchar_t* readyCaption,
                                   const wchar_t* suffix, const wchar_t* heading)
    : ui::Dialog(templateId), readyCaption_(readyCaption), suffix_(suffix), heading_(heading) {}

BOOL CKL_OperationDlg::OnInitDialog() {
  SetIcon(ui::LoadAppIcon(IDI_SETUP, false));
  ::SendMessageW(hwnd(), WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(ui::LoadAppIcon(IDI_SETUP, true)));
  ::SendMessageW(Item(IDC_PROGRESS_BAR), PBM_SETRANGE32, 0, 100);
  ::SendMessageW(Item(IDC_PROGRESS_BAR), PBM_SETPOS, 0, 0);
  if (!CanStart()) return TRUE;
  SetItemText(IDOK, readyCaption_);
  LvInsertColumn(IDC_PROGRESS_LIST, 0, heading_, kColumnWidth);
  LvSetExtendedStyle(IDC_PROGRESS_LIST, LVS_EX_FULLROWSELECT);
  wchar_t caption[128];
  kl::Format(caption, L"%s%s", g_session ? g_session->displayName : L"", suffix_);
  SetCaption(caption);
  return TRUE;
}

bool CKL_OperationDlg::OnCommand(int id, int code, HWND control) {
  if (id != IDOK) return ui::Dialog::OnCommand(id, code, control);
  wchar_t caption[20];
  GetItemText(IDOK, caption);
  if (kl::string16_view(caption) == readyCaption_) {
    // The operation runs here, on the dialog's thread; a second press that
    // arrives meanwhile waits in the queue and finds the new caption.
    if (Run()) SetItemText(IDOK, kDoneCaption);
  } else if (kl::string16_view(caption) == kDoneCaption) {
    OnOk();
  }
  return true;
}

void CKL_OperationDlg::Abandon() {
  exitCode_ = 1;
  EndDialog(0);
}

bool CKL_OperationDlg::ImeStillInUse() {
  wchar_t fileName[40];
  MakeImeFileName(g_session->imeName, fileName);
  const int inUse = CheckImeInUse(hwnd(), fileName);
  return inUse != 0 && inUse != IDOK;
}

CCKL_Uninstall::CCKL_Uninstall()
    : CKL_OperationDlg(IDD_UNINSTALL, L"卸载(&U)", L" - 卸载程序", L"卸载详细信息") {}

bool CCKL_Uninstall::Run() {
  if (ImeStillInUse()) {
    Abandon();
    return false;
  }
  UninstallContext context = InitUninstallContext(hwnd());
  RunUninstall(context);
  return true;
}

CKL_Repair::CKL_Repair()
    : CKL_OperationDlg(IDD_REPAIR, L"修复(&R)", L" - 修复程序", L"安装详细信息") {}

bool CKL_Repair::CanStart() {
  wchar_t backup[kPathChars];
  const bool named = kl::Format(backup, L"%s_backup_.dat", g_session->installDir);
  ui::FileHandle test(named ? ::CreateFileW(backup, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                            : INVALID_HANDLE_VALUE);
  if (test.valid()) return true;
  ::MessageBoxW(hwnd(), kNoBackupText, kNoBackupCaption, MB_ICONERROR | MB_OK);
  Abandon();
  return false;
}

bool CKL_Repair::Run() {
  // In use and not ended: nothing changes, the dialog stays ready.
  if (ImeStillInUse()) return false;
  wchar_t owner[260];
  wchar_t company[260];
  ReadRepairOwner(g_session->imeName, owner, company);
  InstallContext context = InitInstallContext(hwnd(), nullptr);
  RunRepairInstall(context, owner, company);
  return true;
}

namespace {

// Logs the processes that hold the module; true when there is one.
bool ImeHeld() {
  wchar_t fileName[40];
  return MakeImeFileName(g_session->imeName, fileName) && LogImeInUse(fileName) != 0;
}

}  // namespace

// What the uninstall could not remove of the install folder because the
// waiting first instance still runs from it: that program and the folder go
// at the next restart (nothing else of the product is left by then).
void RemoveStartingProgramLater(const wchar_t* installDir) {
  if (!installDir[0] || ::GetFileAttributesW(installDir) == INVALID_FILE_ATTRIBUTES) return;
  const wchar_t* started = StartingProgram();
  const size_t n = kl::StrLen(installDir);
  if (!started || ::CompareStringOrdinal(started, static_cast<int>(n), installDir,
                                         static_cast<int>(n), TRUE) != CSTR_EQUAL)
    return;
  // Run by that program itself (a silent uninstall needs no copy): it moves
  // itself out of the folder once its log is closed, and only where that
  // fails are both removed at the restart. Nothing is scheduled here: a
  // removal at the restart would also take what a later install put there.
  if (::CompareStringOrdinal(g_launch->modulePath, -1, started, -1, TRUE) == CSTR_EQUAL) {
    setuplog::Writef(
        L"in use by this run: removed once it has ended (else at the next restart): %s", started);
    return;
  }
  wchar_t folder[kPathChars];
  kl::Copy(folder, installDir);
  if (folder[n - 1] == L'\\') folder[n - 1] = 0;  // the folder itself, not its contents
  if (::MoveFileExW(started, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
      ::MoveFileExW(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
    setuplog::Writef(
        L"in use by this run: removed once it has ended (else at the next restart): %s", started);
}

int RunSilentUninstall() {
  const bool held = ImeHeld();
  UninstallContext context = InitUninstallContext(nullptr);
  RunUninstall(context);
  RemoveStartingProgramLater(g_session->installDir);
  if (held || context.restartNeeded) {
    setuplog::Write(L"the input method is removed completely at the next restart");
    return kExitRestartNeeded;
  }
  return kExitSuccess;
}

int RunSilentRepair() {
  wchar_t backup[kPathChars];
  const bool named = kl::Format(backup, L"%s_backup_.dat", g_session->installDir);
  {
    ui::FileHandle test(named ? ::CreateFileW(backup, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                              : INVALID_HANDLE_VALUE);
    if (!test.valid()) {
      setuplog::Failure(L"opening the backup", ::GetLastError());
      setuplog::Write(kNoBackupText);
      return kExitFailure;
    }
  }
  ImeHeld();
  ui::ComScope com;  // the links are made through COM
  wchar_t owner[260];
  wchar_t company[260];
  ReadRepairOwner(g_session->imeName, owner, company);
  InstallContext context = InitInstallContext(nullptr, nullptr);
  if (!RunRepairInstall(context, owner, company)) return kExitFailure;
  return context.restartNeeded ? kExitRestartNeeded : kExitSuccess;
}
