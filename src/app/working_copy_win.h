// The run never works from the file the user started: the first instance
// copies itself to a fixed name in the temporary folder, starts that copy and
// ends; the copy does the work and has itself deleted when it ends.
#pragma once

#include <windows.h>

#include "app/records.h"

// File name of the working copy in the temporary folder; its presence in the
// running file's path marks a working copy.
constexpr const wchar_t* kWorkingCopyName = L"___kelo_install_base___.exe";
// The run's private folder under the temporary folder.
constexpr const wchar_t* kWorkFolderName = L"__KLIMEInstall\\";

// Clears every string of launch and its mode, fills and creates workFolder,
// then stores the running file's full path in modulePath.
void BuildLaunchInfo(LaunchInfo& launch);

// workFolder = <temp>__KLIMEInstall\ ("c:\temp\__KLIMEInstall\" when the
// system gives no temporary folder), created with any missing parents. The
// creation is not checked here.
void InitWorkFolder(LaunchInfo& launch);

// <temp>\___kelo_install_base___.exe. false (path empty) when that would not
// fit in 260 characters.
bool GetWorkingCopyPath(wchar_t (&path)[kPathChars]);

// arguments: the process's command line without the program path.
// true: this process is the working copy (g_launch->commandLine = arguments)
// and goes on. false: this process ends now; the working copy was started
// with "<arguments> file=<modulePath>", or copying or starting it failed and
// the user was told.
//
// runMutex (may be null): the handle that marks a run of ours; a copy of it
// is handed to the working copy so that the mark lasts as long as the copy.
// In a silent run (setuplog::Silent) nothing is shown: failures go to the
// log, and this process waits for the working copy and stores its exit code
// in *exitCode (1603 when the copy could not be made or started).
bool RelaunchFromWorkingCopy(const wchar_t* arguments, HANDLE runMutex = nullptr,
                             int* exitCode = nullptr);

// Starts a hidden, idle-priority command interpreter that deletes the running
// file once this process is gone. true when that process was started.
bool ScheduleSelfDelete();

// Test seam: replaces the short-name conversion used by ScheduleSelfDelete
// (null restores GetShortPathNameW), e.g. to act like a volume without 8.3
// names, where the "short" path keeps its spaces.
using SelfDeleteShortPathFunction = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
void SetSelfDeleteShortPathFunction(SelfDeleteShortPathFunction fn);
