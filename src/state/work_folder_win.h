// The run's private folders in the temporary folder: the work folder that
// holds the extracted package and the program's parts, and the folder of the
// working copy. Only administrators and the system can write into them, and
// each is held open while the run uses it, so that nobody renames it.
#pragma once

#include <windows.h>

#include "state/records.h"

// The start of the name of the run's private folders in the temporary folder
// (a number follows).
constexpr const wchar_t* kWorkFolderPrefix = L"__KLIMEWork";

// A fresh private folder "<temp>__KLIMEWork<number>\" in folder, held until
// ReleaseWorkFolder. false (folder empty) when none could be made.
bool MakeHeldPrivateFolder(wchar_t (&folder)[kPathChars]);

// workFolder = a fresh private folder "<temp>__KLIMEWork<number>\", held so
// that nobody can rename it until ReleaseWorkFolder. false (workFolder empty)
// when none could be made.
bool InitWorkFolder(LaunchInfo& launch);

// Lets go of the work folder so that it can be removed.
void ReleaseWorkFolder();

// Removes launch.workFolder (ReleaseWorkFolder first).
void RemoveWorkFolder(const LaunchInfo& launch);
