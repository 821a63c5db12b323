#include "app/startup_win.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>

#include "app/package_prep_win.h"
#include "app/silent_install_win.h"
#include "app/silent_update_win.h"
#include "app/working_copy_win.h"
#include "base/format_win.h"
#include "base/keyname.h"
#include "base/sysdir_win.h"
#include "install/protected_folders_win.h"
#include "remove/operation_dlg_win.h"
#include "state/cmdline.h"
#include "state/cmdline_win.h"
#include "state/records.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/mapfile_win.h"
#include "sys/remove_tree_win.h"
#include "ui/owners_win.h"
#include "update/autoupdate_dlg_win.h"
#include "wizard/wizard_win.h"

int g_exitCode = 0;

namespace {

constexpr const wchar_t* kCannotRunText = L"程序无法执行任何操作，可能启动参数错误或者文件格式错误。";
constexpr const wchar_t* kCannotRunCaption = L"安装程序提示信息";

// Exists while a run of ours goes on: the first instance makes it and hands
// a handle to its working copy, which keeps it to its end.
constexpr const wchar_t* kRunMarkName = L"KeloIMESetupRunning";

// The unattended switches of the run (parsed before anything else).
UnattendedSwitches g_switches;
bool g_switchesOk = true;

void* AllocZeroed(size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size); }

// Copies the product description from the start of InstallInfo.kif. A file
// shorter than the record fills only its own length; the rest stays zero.
bool ReadPackageHeader(const wchar_t* path, PackageHeader& header) {
  CQXMapfile manifest;
  if (!manifest.Open(path, 0)) return false;
  const unsigned char* view = manifest.GetPointer(0);
  if (!view) return false;
  const size_t n = std::min<size_t>(manifest.GetSize(), sizeof(PackageHeader));
  std::memset(&header, 0, sizeof(header));
  std::memcpy(&header, view, n);
  manifest.Close();
  return true;
}

// Install mode up to the wizard. false on any failure.
bool PrepareInstall() {
  if (!PrepareInstallPackage()) return false;
  if (!ExtractPackage(*g_launch)) return false;
  wchar_t headerPath[kPathChars];
  if (!FindPackageHeaderFile(headerPath)) return false;
  // The key name becomes folders, registry keys and the name=[...] switch:
  // a package whose key name is not a plain one is refused before any use.
  return ReadPackageHeader(headerPath, *g_header) &&
         kl::IsPlainKeyNameField(g_header->imeName, sizeof(g_header->imeName) / sizeof(wchar_t));
}

// The same, a failure written to the run's log.
bool PrepareInstallLogged() {
  if (PrepareInstall()) return true;
  setuplog::Failure(L"the package cannot be extracted or holds no valid product description: "
                    L"reading it",
                    GetLastError());
  return false;
}

// For "-u", "-r" or "-g" of a product installed in the folder this program
// runs from (its unstall.exe): that folder, else "". A repair or an update
// may replace this very file, so it works from a copy; an uninstall leaves
// the file to the end and moves it out (RemoveUninstalledFolder).
void InstalledFolderOfThisProgram(const wchar_t* arguments, wchar_t (&folder)[kPathChars]) {
  folder[0] = 0;
  kl::Copy(g_launch->commandLine, arguments ? arguments : L"");
  ParseCommandLine();
  g_launch->commandLine[0] = 0;
  if (g_launch->mode == kModeInstall || !g_session->installDir[0]) return;
  wchar_t own[kPathChars];
  kl::Copy(own, g_launch->modulePath);
  wchar_t* slash = nullptr;
  for (wchar_t* p = own; *p; ++p)
    if (*p == L'\\') slash = p;
  if (!slash) return;
  slash[1] = 0;
  if (CompareStringOrdinal(own, -1, g_session->installDir, -1, TRUE) == CSTR_EQUAL)
    kl::Copy(folder, own);
}

// After a silent uninstall started from the installed program, only this
// running program is left in the install folder. Nothing may be removed
// there once this process has ended: by then another setup may be
// installing into the same folder. So the program moves itself out to a
// folder of its own in the temporary folder (a running program can be
// renamed, though not deleted), the install folder goes now, while this
// process still holds the mark of a running setup, and only the moved copy
// goes after the end. The install folder goes only when it is empty. A
// temporary folder on another volume: the program and the (empty) folder go
// at the next restart.
void RemoveUninstalledFolder(const wchar_t* folder) {
  wchar_t self[kPathChars], temp[kPathChars], parking[kPathChars], moved[kPathChars];
  const DWORD n = GetModuleFileNameW(nullptr, self, kPathChars);
  const DWORD t = GetTempPathW(kPathChars, temp);
  // A fresh folder only administrators can write to, never one made
  // beforehand under that name.
  parking[0] = 0;
  if (n == 0 || n >= kPathChars || t == 0 || t >= kPathChars ||
      !CreatePrivateFolder(temp, L"__KLIMEUninstall", parking, nullptr) ||
      !kl::Format(moved, L"%sunstall.exe", parking) || !MoveFileExW(self, moved, 0)) {
    if (parking[0]) RemoveDirectoryW(parking);
    // Only this program and the folder, once it is empty: what the
    // uninstall left there (the user's files) stays.
    if (n != 0 && n < kPathChars) MoveFileExW(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return;
  }
  SetCurrentDirectoryW(temp);  // a current folder cannot be removed
  // Only when empty: what the uninstall left there (the user's files) stays.
  RemoveDirectoryW(folder);
  RemoveFolderTreeAfterExit(parking);
}

// "/?" shows the switches (a silent run logs them) and ends with 0; an
// unattended run whose command line holds a word that is no switch, or a
// malformed or repeated value, ends with 1639. Neither changes anything. The
// log goes where log=[...] asked, whatever else is wrong.
void RunWithoutOperation(const wchar_t* arguments) {
  if (g_switches.silent) {
    setuplog::Open(g_switches.hasLog ? g_switches.log : nullptr);
    setuplog::Writef(L"command line: %s", arguments ? arguments : L"");
  }
  if (g_switches.help) {
    g_exitCode = kExitSuccess;
    if (g_switches.silent) {
      const wchar_t* line = UsageText();
      while (*line) {
        const wchar_t* end = line;
        while (*end && *end != L'\n') ++end;
        wchar_t text[256];
        const size_t n = static_cast<size_t>(end - line) + 1;
        kl::CopyN(text, n < 256 ? n : 256, line);
        for (wchar_t* t = text; *t; ++t)
          if (*t == L'\t') *t = L' ';
        setuplog::Write(text);
        line = *end ? end + 1 : end;
      }
    } else {
      // The caption names the product when the command line names an
      // installed one.
      kl::Copy(g_launch->commandLine, arguments ? arguments : L"");
      ParseCommandLine();
      g_launch->commandLine[0] = 0;
      const wchar_t* caption =
          g_session->displayName[0] ? g_session->displayName : kCannotRunCaption;
      MessageBoxW(nullptr, UsageText(), caption, MB_OK | MB_ICONINFORMATION);
    }
  } else {
    g_exitCode = kExitBadCommandLine;
    if (!g_switchesOk)
      setuplog::Writef(L"the switch %s is malformed (missing \"]\", empty, repeated or too long)",
                       g_switches.badSwitch);
    else
      setuplog::Writef(L"the word %s is not a known switch", g_switches.unknownWord);
    setuplog::Write(L"nothing done");
  }
  if (g_switches.silent) setuplog::Close(g_exitCode);
}

const wchar_t* ModeName(wchar_t mode) {
  switch (mode) {
    case kModeUninstall: return L"uninstall";
    case kModeRepair: return L"repair";
    case kModeUpdate: return L"update";
    default: return L"install";
  }
}

// Before the wizard: a package older than the installed product is put
// over it only when the user says so. false when the user declines.
bool DowngradeAccepted() {
  wchar_t installed[40], offered[40];
  if (!PackageOlderThanInstalled(g_header->imeName, g_header->displayVersion, installed, offered))
    return true;
  wchar_t name[44];
  kl::Copy(name, g_header->displayName);
  wchar_t text[320];
  kl::Format(text, L"本机已安装%s的较新版本 %s。\n是否用此安装程序中的旧版本 %s 替换它？", name,
             installed, offered);
  const bool yes = MessageBoxW(nullptr, text, name[0] ? name : kCannotRunCaption,
                               MB_YESNO | MB_ICONQUESTION) == IDYES;
  setuplog::Writef(yes ? L"version %s is installed; the user chose the older %s"
                       : L"version %s is installed; the user declined the older %s: nothing done",
                   installed, offered);
  return yes;
}

// The unattended run: no window at all, the outcome in g_exitCode. Always
// true: the work folder and the working copy go afterwards.
bool RunSilentOperation() {
  if (!g_switchesOk) {
    setuplog::Writef(L"the switch %s is malformed (missing \"]\", empty, repeated or too long)",
                     g_switches.badSwitch);
    g_exitCode = kExitBadCommandLine;
    return true;
  }
  switch (g_launch->mode) {
    case kModeUninstall:
    case kModeRepair:
      if (!g_session->installDir[0]) {
        setuplog::Writef(L"%s is not installed", g_session->imeName);
        g_exitCode = kExitNothingToDo;
      } else {
        g_exitCode =
            g_launch->mode == kModeUninstall ? RunSilentUninstall() : RunSilentRepair();
      }
      return true;
    case kModeUpdate:
      if (!g_session->installDir[0]) {
        setuplog::Writef(L"%s is not installed", g_session->imeName);
        g_exitCode = kExitNothingToDo;
      } else {
        g_exitCode = RunSilentUpdate();
      }
      return true;
    default:
      break;
  }
  // The install folder check's lists are worked out while the package is
  // extracted.
  PrepareGuardedFolders();
  if (!PrepareInstallLogged()) {
    g_exitCode = kExitFailure;
    return true;
  }
  setuplog::UseProductKey(g_header->imeName);
  g_exitCode = RunSilentInstall(g_switches);
  return true;
}

// What the run does after the mode is known. true when the work folder is to
// be removed and the working copy deleted afterwards; false when the process
// ends leaving both in place.
bool RunOperation() {
  if (setuplog::Silent()) return RunSilentOperation();
  switch (g_launch->mode) {
    case kModeUninstall:
    case kModeRepair: {
      if (!g_session->installDir[0]) return false;  // nothing installed: end silently
      // The dialog ends the run; the work folder and the working copy go
      // afterwards as for an install, also when the operation could not go
      // on (exit code 1), so that nothing of ours stays in the temporary
      // folder.
      if (g_launch->mode == kModeUninstall) {
        CCKL_Uninstall dialog;
        dialog.DoModal(nullptr);
        g_exitCode = dialog.exitCode();
      } else {
        CKL_Repair dialog;
        dialog.DoModal(nullptr);
        g_exitCode = dialog.exitCode();
      }
      return true;
    }
    case kModeUpdate: {
      if (!g_session->installDir[0]) return false;  // nothing installed: end silently
      // Downloads and unpacked drivers go into the work folder, which the
      // clean-up below removes with the working copy.
      CKL_AutoUpdateDlg dialog;
      dialog.SetName(g_session->imeName);
      dialog.SetDownloadFolder(g_launch->workFolder);
      dialog.DoModal(nullptr);
      return true;
    }
    default:
      break;
  }

  PrepareGuardedFolders();  // for the wizard's folder check, as above
  if (!PrepareInstallLogged()) {
    if (!ExtractionFailureShown())
      MessageBoxW(nullptr, kCannotRunText, kCannotRunCaption, MB_ICONHAND | MB_OK);
    return true;
  }
  setuplog::UseProductKey(g_header->imeName);
  if (!DowngradeAccepted()) {
    g_exitCode = kExitNewerInstalled;
    return true;
  }
  {
    CKL_Install_BaseDlg wizard;
    wizard.DoModal(nullptr);
  }
  return true;
}

// The common controls, loaded by a run that shows windows only: the library
// registers all its window classes as it loads, which cost every silent run
// some 18 ms of a 45-ms start under Wine. Asked for by name, so that the version
// the program's manifest names (side by side) is the one loaded; beyond
// that only the system folder is searched, and a system without that search
// gets the system folder's copy by full path.
void InitCommonControlsLate() {
  HMODULE library = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library) library = kl::LoadSystemLibrary(L"comctl32.dll");
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  auto init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(
      library ? GetProcAddress(library, "InitCommonControlsEx") : nullptr));
  if (!init) {
    setuplog::Failure(L"loading the common controls", GetLastError());
    return;
  }
  INITCOMMONCONTROLSEX icc = {};
  icc.dwSize = 8;
  icc.dwICC = ICC_WIN95_CLASSES;
  init(&icc);
}

// The run's work in the process that does it: the working copy, or the
// first instance of a silent run that needs none. g_launch->commandLine
// holds the arguments and g_launch->workFolder the private work folder
// (empty when none could be made). workingCopy: this process is the copy;
// an interactive copy has its file deleted after its end (a silent one is
// deleted by the first instance, which waits for it).
void RunWork(bool workingCopy) {
  ParseCommandLine();
  setuplog::Open(g_switchesOk && g_switches.hasLog ? g_switches.log : nullptr);
  if (g_launch->mode != kModeInstall) setuplog::UseProductKey(g_session->imeName);
  setuplog::Writef(L"command line: %s", g_launch->commandLine);
  setuplog::Writef(L"mode: %s%s", ModeName(g_launch->mode), g_switches.silent ? L", silent" : L"");
  LogIgnoredUserInstallFolder();
  if (!g_switchesOk && !g_switches.silent)
    setuplog::Writef(L"the switch %s is malformed and ignored", g_switches.badSwitch);

  if (!g_switches.silent) {  // a silent run shows no control
    InitCommonControlsLate();
    EnableActiveXHosting();  // the licence dialog hosts the web-browser control
  }

  const bool deleteSelf = workingCopy && !g_switches.silent;
  if (!g_launch->workFolder[0]) {
    setuplog::Write(L"no private work folder can be made in the temporary folder: nothing done");
    g_exitCode = kExitFailure;
    if (deleteSelf) ScheduleSelfDelete();
  } else if (RunOperation()) {
    RemoveWorkFolder(*g_launch);
    if (deleteSelf) ScheduleSelfDelete();
  }
  setuplog::Close(g_exitCode);
}

}  // namespace

int InitInstance(const wchar_t* arguments) {
  g_exitCode = 0;
  ui::HeapBlock launchBlock(AllocZeroed(sizeof(LaunchInfo)));
  ui::HeapBlock sessionBlock(AllocZeroed(sizeof(InstallSession)));
  ui::HeapBlock headerBlock(AllocZeroed(sizeof(PackageHeader)));
  if (!launchBlock || !sessionBlock || !headerBlock) return 1;
  g_launch = static_cast<LaunchInfo*>(launchBlock.get());
  g_session = static_cast<InstallSession*>(sessionBlock.get());
  g_header = static_cast<PackageHeader*>(headerBlock.get());
  BuildLaunchInfo(*g_launch);
  g_switchesOk = ParseUnattendedSwitches(arguments, &g_switches);
  setuplog::SetSilent(g_switches.silent);

  // One run at a time. While another run of ours goes on, a silent run
  // refuses at once (1618); an interactive one says that it cannot make its
  // working copy, as ever.
  ui::Handle runMark;
  const bool isCopy = kl::Find(g_launch->modulePath, kWorkingCopyName) != nullptr;
  bool busy = false;
  bool otherRun = false;
  if (!isCopy) {
    runMark.reset(CreateMutexW(nullptr, FALSE, kRunMarkName));
    otherRun = runMark && GetLastError() == ERROR_ALREADY_EXISTS;
    busy = g_switches.silent && otherRun;
  }
  if (!isCopy && (g_switches.help ||
                  (g_switches.silent && !StrictSwitchesOk(g_switches, g_switchesOk)))) {
    // The help, or an unattended command line that cannot be trusted: answered
    // here, before anything is copied, extracted or changed.
    RunWithoutOperation(arguments);
  } else if (busy) {
    g_exitCode = kExitAnotherSetup;
    // Not this product's default log: that one belongs to the other run.
    setuplog::Open(g_switchesOk && g_switches.hasLog ? g_switches.log : nullptr);
    setuplog::Writef(L"command line: %s", arguments ? arguments : L"");
    setuplog::Write(L"another setup is running: nothing done");
    setuplog::Close(g_exitCode);
  } else if (!isCopy) {
    // The first instance. A silent run works here unless it replaces the
    // program it runs from (a repair or an update started from the installed
    // unstall.exe, see InstalledFolderOfThisProgram); otherwise it starts its
    // working copy and, silent, waits for it and ends with the copy's exit
    // code. It logs only when the copy could not be started (the copy's log
    // is the run's). A silent uninstall from the installed program needs no
    // copy: the uninstall leaves this program's file alone ("file=" names it,
    // as it names the starting program to a copy) and the program moves
    // itself out of the install folder once the work is done.
    wchar_t ownFolder[kPathChars] = {};
    if (g_switches.silent) InstalledFolderOfThisProgram(arguments, ownFolder);
    const bool uninstallHere = ownFolder[0] && g_launch->mode == kModeUninstall;
    if (g_switches.silent && (!ownFolder[0] || uninstallHere)) {
      if (!uninstallHere ||
          !kl::Format(g_launch->commandLine, L"%s file=%s", arguments, g_launch->modulePath))
        kl::Copy(g_launch->commandLine, arguments ? arguments : L"");
      InitWorkFolder(*g_launch);
      RunWork(false);
      if (uninstallHere && (g_exitCode == kExitSuccess || g_exitCode == kExitRestartNeeded)) {
        ParseCommandLine();
        if (!g_session->installDir[0]) RemoveUninstalledFolder(ownFolder);
      }
    } else {
      if (g_switches.silent)
        setuplog::Open(g_switchesOk && g_switches.hasLog ? g_switches.log : nullptr);
      int copyExitCode = kExitFailure;
      RelaunchFromWorkingCopy(arguments, runMark.get(), &copyExitCode, otherRun);
      if (g_switches.silent) {
        g_exitCode = copyExitCode;
        if (setuplog::Written()) setuplog::Close(g_exitCode);
      }
    }
  } else if (RelaunchFromWorkingCopy(arguments)) {
    RunWork(true);
  }

  g_launch = nullptr;
  launchBlock.reset();
  g_header = nullptr;
  headerBlock.reset();
  g_session = nullptr;
  sessionBlock.reset();
  return 1;
}
