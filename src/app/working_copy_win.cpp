#include "app/working_copy_win.h"

#include <shellapi.h>

#include "app/cmdline.h"
#include "app/hidden_process_win.h"
#include "app/setup_log_win.h"
#include "base/format_win.h"
#include "package/fsutil_win.h"
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

bool EndsWithBackslash(const wchar_t* s) {
  size_t n = kl::StrLen(s);
  return n > 0 && s[n - 1] == L'\\';
}

}  // namespace

void BuildLaunchInfo(LaunchInfo& launch) {
  ClearLaunchInfo(launch);
  InitWorkFolder(launch);
  DWORD n = GetModuleFileNameW(nullptr, launch.modulePath, kPathChars);
  if (n == 0 || n >= kPathChars) launch.modulePath[n == 0 ? 0 : kPathChars - 1] = 0;
}

void InitWorkFolder(LaunchInfo& launch) {
  DWORD n = GetTempPathW(kPathChars, launch.workFolder);
  if (n == 0 || n >= kPathChars) {
    kl::Copy(launch.workFolder, L"c:\\temp\\__KLIMEInstall\\");
  } else {
    if (!EndsWithBackslash(launch.workFolder)) kl::Append(launch.workFolder, L"\\");
    kl::Append(launch.workFolder, kWorkFolderName);
  }
  CreateDirectoryPath(launch.workFolder);
}

bool GetWorkingCopyPath(wchar_t (&path)[kPathChars]) {
  DWORD n = GetTempPathW(kPathChars, path);
  if (n == 0 || n >= kPathChars ||
      kl::StrLen(path) + kl::StrLen(kWorkingCopyName) + 2 >= kPathChars) {
    path[0] = 0;
    return false;
  }
  if (!EndsWithBackslash(path)) kl::Append(path, L"\\");
  kl::Append(path, kWorkingCopyName);
  return true;
}

bool RelaunchFromWorkingCopy(const wchar_t* arguments, HANDLE runMutex, int* exitCode) {
  LaunchInfo& launch = *g_launch;
  if (!arguments) arguments = L"";
  const bool silent = setuplog::Silent();
  if (exitCode) *exitCode = kExitFailure;

  if (kl::Find(launch.modulePath, kWorkingCopyName)) {
    kl::Copy(launch.commandLine, arguments);
    return true;
  }

  wchar_t copyPath[kPathChars];
  GetWorkingCopyPath(copyPath);  // an empty path makes the copy fail below
  if (!CopyFileW(launch.modulePath, copyPath, FALSE) || !GrantUsersAccess(copyPath)) {
    if (silent)
      setuplog::Failure(L"copying the program into the temporary folder", GetLastError());
    else
      MessageBoxW(nullptr, kCannotUseTemp, kInitErrorCaption, MB_ICONHAND);
    return false;
  }

  // "file=" takes the rest of the line, so the path is not quoted.
  kl::Format(launch.commandLine, L"%s file=%s", arguments, launch.modulePath);
  SHELLEXECUTEINFOW run = {};
  run.cbSize = sizeof(run);
  run.fMask = SEE_MASK_NOCLOSEPROCESS | (silent ? SEE_MASK_FLAG_NO_UI : 0);
  run.lpVerb = L"";
  run.lpFile = copyPath;
  run.lpParameters = launch.commandLine;
  run.nShow = silent ? SW_HIDE : SW_SHOW;
  const bool started =
      ShellExecuteExW(&run) && reinterpret_cast<INT_PTR>(run.hInstApp) > 32;
  ui::Handle process(started ? run.hProcess : nullptr);
  if (!started) {
    if (silent)
      setuplog::Failure(L"starting the program's copy", GetLastError());
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
  }
  return false;
}

void SetSelfDeleteShortPathFunction(SelfDeleteShortPathFunction fn) { g_shortPath = fn; }

bool ScheduleSelfDelete() {
  wchar_t modulePath[kPathChars];
  wchar_t interpreter[kPathChars];
  wchar_t shortPath[kPathChars];
  DWORD n = GetModuleFileNameW(nullptr, modulePath, kPathChars);
  if (n == 0 || n >= kPathChars) return false;
  n = GetEnvironmentVariableW(L"COMSPEC", interpreter, kPathChars);
  if (n == 0 || n >= kPathChars) return false;
  n = (g_shortPath ? g_shortPath : GetShortPathNameW)(modulePath, shortPath, kPathChars);
  if (n == 0 || n >= kPathChars) return false;

  // Quoted, so that a short path that still holds a space stays one argument.
  wchar_t command[520];
  if (!kl::Format(command, L"%s /c del \"%s\"", interpreter, shortPath)) return false;

  ui::ProcessInfo deleter;
  if (!StartHiddenSuspended(command, &deleter)) return false;

  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  SetFileAttributesW(shortPath, FILE_ATTRIBUTE_NORMAL);
  ResumeAtIdlePriority(deleter);
  return true;
}
