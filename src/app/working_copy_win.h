// An interactive run, and a silent one that removes or replaces the program
// it runs from (the installed unstall.exe), never works from the file the
// user started: the first instance copies itself into a fresh private folder
// (see CreatePrivateFolder) in the temporary folder, starts that copy and
// ends (silent: waits for it, then deletes it and its folder); the copy does
// its work in a private work folder of its own and, interactive, has itself
// deleted when it ends. Any other silent run does the same work in the first
// instance, in a private work folder made the same way. Only administrators
// and the system can write into either folder, and a folder or link someone
// made beforehand under any name is never used.
#pragma once

#include <windows.h>

#include "state/records.h"
#include "state/work_folder_win.h"

// File name of the working copy; its presence in the running file's path
// marks a working copy.
constexpr const wchar_t* kWorkingCopyName = L"___kelo_install_base___.exe";
// Clears every string of launch and its mode, then stores the running
// file's full path in modulePath. The work folder is made by the working copy
// (InitWorkFolder).
void BuildLaunchInfo(LaunchInfo& launch);

// Makes the working copy's private folder and returns the copy's path in it
// (<temp>__KLIMEWork<number>\___kelo_install_base___.exe); the folder is held
// until ReleaseWorkFolder. false (path empty) when the folder cannot be made
// or the path would not fit in 260 characters.
bool GetWorkingCopyPath(wchar_t (&path)[kPathChars]);

// arguments: the process's command line without the program path.
// true: this process is the working copy (g_launch->commandLine = arguments,
// g_launch->workFolder made, or empty when it could not be made: an
// interactive run has told the user) and goes on. false: this process ends now; the working copy was started
// with "<arguments> file=<modulePath>", or copying or starting it failed and
// the user was told.
//
// runMutex (may be null): the handle that marks a run of ours; a copy of it
// is handed to the working copy so that the mark lasts as long as the copy.
// In a silent run (setuplog::Silent) nothing is shown: failures go to the
// log, and this process waits for the working copy, stores its exit code
// in *exitCode (1603 when the copy could not be made or started) and then
// deletes the copy and its folder.
// anotherRun: another run of ours goes on; this first instance makes no copy
// and fails as when the copy cannot be made.
bool RelaunchFromWorkingCopy(const wchar_t* arguments, HANDLE runMutex = nullptr,
                             int* exitCode = nullptr, bool anotherRun = false);

// Starts a hidden, idle-priority command interpreter that deletes the running
// file once this process is gone, and its folder when that is one of the
// run's private folders (and empty by then). true when that process was
// started.
bool ScheduleSelfDelete();

// Test seam: replaces the short-name conversion used by ScheduleSelfDelete
// (null restores GetShortPathNameW), e.g. to act like a volume without 8.3
// names, where the "short" path keeps its spaces.
using SelfDeleteShortPathFunction = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
void SetSelfDeleteShortPathFunction(SelfDeleteShortPathFunction fn);
