// Extraction of an enciphered package (the setup's own, split off by the
// package preparation, or the backup an install kept) into the work folder.
#pragma once

#include <windows.h>

#include "state/records.h"

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
