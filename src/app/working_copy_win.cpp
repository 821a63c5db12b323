#include "app/working_copy_win.h"

#include <shellapi.h>

#include "base/format_win.h"
#include "state/cmdline.h"
#include "state/setup_log_win.h"
#include "sys/fsutil_win.h"
#include "sys/hidden_process_win.h"
#include "sys/remove_tree_win.h"
#include "ui/owners_win.h"

namespace {

constexpr const wchar_t* kInitErrorCaption = L"初始化错误";
constexpr const wchar_t* kCannotUseTemp = L"安装程序无法访问临时目录，将中止进程。";
constexpr const wchar_t* kCannotRunCopy = L"安装程序位于临时目录中的副本无法运行，将中止进程。";

void ClearLaunchInfo(LaunchInfo& launch) {
  launch.modulePath[0] = 0;
  launch.sourcePath[0] = 0;
  launch.workFolder[0] = 0;
  launch.packagePath[0] = 0;
  launch.programCopyPath[0] = 0;
  launch.commandLine[0] = 0;
  launch.mode = kModeInstall;
  launch.extractFolder[0] = 0;
}

SelfDeleteShortPathFunction g_shortPath = nullptr;

// The folder part of path (with its backslash) in folder; false when there
// is none.
bool FolderOf(const wchar_t* path, wchar_t (&folder)[kPathChars]) {
  if (!kl::Copy(folder, path)) return false;
  wchar_t* slash = nullptr;
  for (wchar_t* p = folder; *p; ++p)
    if (*p == L'\\') slash = p;
  if (!slash) return false;
  slash[1] = 0;
  return true;
}

// Removes a working copy that could not be made or started, and its folder.
void DropCopy(const wchar_t* copyPath) {
  ReleaseWorkFolder();
  wchar_t folder[kPathChars];
  if (!copyPath[0] || !FolderOf(copyPath, folder)) return;
  DeleteFileW(copyPath);
  RemoveDirectoryW(folder);
}

// Deletes the file of a working copy that has ended, and its folder. The
// system may let go of the file a moment after the process has ended: tried
// again for up to two seconds, then left to an idle interpreter that waits
// a little first (the file is then still held).
void DeleteEndedCopy(const wchar_t* copyPath) {
  wchar_t folder[kPathChars];
  if (!copyPath[0] || !FolderOf(copyPath, folder)) return;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (DeleteFileW(copyPath) || GetFileAttributesW(copyPath) == INVALID_FILE_ATTRIBUTES) {
      RemoveDirectoryW(folder);
      return;
    }
    Sleep(20);
  }
  RemoveFolderTreeAfterExit(folder);
}

// true when path is a file directly in a folder named kWorkFolderPrefix and
// a number.
bool IsPrivateFolderOfRun(const wchar_t* path) {
  wchar_t folder[kPathChars];
  if (!FolderOf(path, folder)) return false;
  folder[kl::StrLen(folder) - 1] = 0;
  const wchar_t* name = folder;
  for (const wchar_t* p = folder; *p; ++p)
    if (*p == L'\\') name = p + 1;
  const size_t prefix = kl::StrLen(kWorkFolderPrefix);
  return kl::StrLen(name) == prefix + 8 &&
         CompareStringOrdinal(name, static_cast<int>(prefix), kWorkFolderPrefix,
                              static_cast<int>(prefix), TRUE) == CSTR_EQUAL;
}

}  // namespace

void BuildLaunchInfo(LaunchInfo& launch) {
  ClearLaunchInfo(launch);
  DWORD n = GetModuleFileNameW(nullptr, launch.modulePath, kPathChars);
  if (n == 0 || n >= kPathChars) launch.modulePath[n == 0 ? 0 : kPathChars - 1] = 0;
}

bool GetWorkingCopyPath(wchar_t (&path)[kPathChars]) {
  wchar_t folder[kPathChars];
  if (!MakeHeldPrivateFolder(folder) ||
      kl::StrLen(folder) + kl::StrLen(kWorkingCopyName) + 1 >= kPathChars) {
    if (folder[0]) {
      ReleaseWorkFolder();
      RemoveDirectoryW(folder);
    }
    path[0] = 0;
    return false;
  }
  kl::Format(path, L"%s%s", folder, kWorkingCopyName);
  return true;
}

bool RelaunchFromWorkingCopy(const wchar_t* arguments, HANDLE runMutex, int* exitCode,
                             bool anotherRun) {
  LaunchInfo& launch = *g_launch;
  if (!arguments) arguments = L"";
  const bool silent = setuplog::Silent();
  if (exitCode) *exitCode = kExitFailure;

  if (kl::Find(launch.modulePath, kWorkingCopyName)) {
    kl::Copy(launch.commandLine, arguments);
    // The copy's work goes into a private folder of its own, whatever folder
    // the copy was started from. (Without one, the run does nothing: see
    // InitInstance.)
    if (!InitWorkFolder(launch) && !silent)
      MessageBoxW(nullptr, kCannotUseTemp, kInitErrorCaption, MB_ICONHAND);
    return true;
  }

  wchar_t copyPath[kPathChars] = {};
  if (!anotherRun) GetWorkingCopyPath(copyPath);  // an empty path makes the copy fail below
  // The copy is made afresh in a folder only administrators can write to:
  // nobody else can change it before it runs (nor afterwards).
  if (!copyPath[0] || !CopyFileW(launch.modulePath, copyPath, TRUE)) {
    const DWORD error = GetLastError();
    DropCopy(copyPath);
    if (silent)
      setuplog::Failure(L"copying the program into the temporary folder", error);
    else
      MessageBoxW(nullptr, kCannotUseTemp, kInitErrorCaption, MB_ICONHAND);
    return false;
  }

  // "file=" takes the rest of the line, so the path is not quoted. The copy
  // is started by its full path, directly (no shell look-up).
  kl::Format(launch.commandLine, L"%s file=%s", arguments, launch.modulePath);
  wchar_t command[2 * kPathChars + 4];
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = silent ? SW_HIDE : SW_SHOW;
  PROCESS_INFORMATION info = {};
  const bool started =
      kl::Format(command, L"\"%s\" %s", copyPath, launch.commandLine) &&
      CreateProcessW(copyPath, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &info);
  if (started) CloseHandle(info.hThread);
  ui::Handle process(started ? info.hProcess : nullptr);
  // Once it runs, the copy's file and folder cannot be renamed or replaced;
  // the copy has them deleted when it ends.
  ReleaseWorkFolder();
  if (!started) {
    const DWORD error = GetLastError();
    DropCopy(copyPath);
    if (silent)
      setuplog::Failure(L"starting the program's copy", error);
    else
      MessageBoxW(nullptr, kCannotRunCopy, kInitErrorCaption, MB_ICONHAND);
    return false;
  }
  // The mark of a running setup lives on in the copy.
  HANDLE inCopy = nullptr;
  if (runMutex && process)
    DuplicateHandle(GetCurrentProcess(), runMutex, process.get(), &inCopy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  if (silent && process) {
    // A deployment tool reads this process's exit code: it is the copy's.
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = kExitFailure;
    if (GetExitCodeProcess(process.get(), &code) && exitCode) *exitCode = static_cast<int>(code);
    // The copy has ended: its file and folder go now, from here (a silent
    // copy leaves them to this process rather than to an interpreter).
    process.reset();
    DeleteEndedCopy(copyPath);
  }
  return false;
}

void SetSelfDeleteShortPathFunction(SelfDeleteShortPathFunction fn) { g_shortPath = fn; }

bool ScheduleSelfDelete() {
  wchar_t modulePath[kPathChars];
  wchar_t shortPath[kPathChars];
  DWORD n = GetModuleFileNameW(nullptr, modulePath, kPathChars);
  if (n == 0 || n >= kPathChars) return false;
  n = (g_shortPath ? g_shortPath : GetShortPathNameW)(modulePath, shortPath, kPathChars);
  if (n == 0 || n >= kPathChars) return false;

  // Quoted, so that a short path that still holds a space stays one argument.
  // The copy's private folder goes too once empty ("rmdir" without "/s"
  // removes nothing else). A "del" that came before this process ended
  // would find the file in use and leave it, and its folder, behind: hence
  // the pause.
  wchar_t command[560];
  wchar_t folder[kPathChars];
  const bool ownFolder = FolderOf(shortPath, folder) && IsPrivateFolderOfRun(modulePath);
  if (ownFolder) {
    folder[kl::StrLen(folder) - 1] = 0;
    if (!kl::Format(command, L"del \"%s\" & rmdir \"%s\"", shortPath, folder)) return false;
  } else if (!kl::Format(command, L"del \"%s\"", shortPath)) {
    return false;
  }
  SetFileAttributesW(shortPath, FILE_ATTRIBUTE_NORMAL);
  return StartAfterPause(command);
}
