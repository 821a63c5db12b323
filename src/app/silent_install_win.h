// The unattended install: the wizard's run without the wizard.
#pragma once

#include "app/cmdline.h"

// Installs the extracted package (g_header) with the licence taken as
// accepted. The folder is "dir=" or, without it, the one the wizard would
// offer: the folder an earlier install locked (a different "dir=" is then
// refused), else "<program files>\<key>\". Owner and company are "user=" and
// "company=" or the registered owner and organisation. An existing folder
// is installed over, never cleared. A process that holds the input method
// is never ended: its files are replaced at the next restart. Returns 0,
// 3010 (done, restart needed) or 1603 (nothing of the run is left).
int RunSilentInstall(const UnattendedSwitches& switches);
