// Install step 4: the package is kept in the install directory as
// "_backup_.dat", the copy a later repair reinstalls from.
#pragma once

#include "install/context_win.h"

// Copies launch->packagePath to "<installDir>_backup_.dat" (replacing an
// older backup), with no Users grant (only administrators may change what a
// repair installs). A package that is
// already the backup (repair) is left untouched. false when the copy or the
// access cannot be made.
bool BackupPackage(InstallContext& context);
