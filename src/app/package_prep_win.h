// Install-mode preparation of the working copy: split the program's own file
// into the bare program and the package appended to it, and extract the
// package into the work folder.
#pragma once

#include <windows.h>

#include "app/records.h"

// Sets sourcePath to modulePath and splits that file where it is
// (SplitOwnPackage): no copy of it is made. false when the work folder does
// not exist or the split fails (also when the file cannot be read).
bool PrepareInstallPackage();

// Maps sourcePath and reads the length E of the executable part from its PE
// header; writes bytes [0, E) to programCopyPath ("<work>unstall.exe") and
// the package to packagePath ("<work>klinstallbaseexe.cab"): [E, end), or in
// a signed setup [E, start of the certificate table), so that the package
// and the backup kept from it are the same bytes signed or not. false when
// there is no package (E is 0 or beyond the file), the security directory is
// damaged (ReadPackageExtent) or a file cannot be made.
bool SplitOwnPackage();

// Empties extractFolder ("<work>KL_INSTALL\") and extracts the enciphered
// package launch.packagePath into it. false when the old folder cannot be
// removed or the extraction fails. The work buffer's allocation failure
// raises "Fatal error: Out of memory!".
bool ExtractPackage(LaunchInfo& launch);

// Whether the last ExtractPackage failure was already explained to the user
// by a message of its own (not enough free space), so that no second,
// generic message follows.
bool ExtractionFailureShown();

// "<extractFolder>InstallInfo.kif"; true when that file exists.
bool FindPackageHeaderFile(wchar_t (&path)[kPathChars]);
