// Install-mode preparation of the working copy: split the program's own file
// into the bare program and the package appended to it, and extract the
// package into the work folder.
#pragma once

#include <windows.h>

#include "install/package_extract_win.h"
#include "state/records.h"

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
