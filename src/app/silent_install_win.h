// The unattended install: the wizard's run without the wizard.
#pragma once

#include "app/cmdline.h"

// Installs the extracted package (g_header) with the licence taken as
// accepted. The folder is "dir=" or, without it, the one the wizard would
// offer: the folder an earlier install locked (a different "dir=" is then
// refused), else "<program files>\<key>\". Owner and company are "user=" and
// "company=" or those recorded by an earlier install, else the registered
// owner and organisation. A package older than the installed product is
// refused with 1638 unless "downgrade" is given. An existing folder
// is installed over, never cleared. A process that holds the input method
// is never ended: its files are replaced at the next restart. Returns 0,
// 3010 (done, restart needed) or 1603 (nothing of the run is left).
int RunSilentInstall(const UnattendedSwitches& switches);

// Whether the package's DisplayVersion (four numbers) is older than that of
// the installed product of the same key name (its uninstall record). Both
// versions' texts are given back for the question or the log. false when
// nothing is installed or either version is not four numbers.
bool PackageOlderThanInstalled(const wchar_t* key, const wchar_t* packageVersion,
                               wchar_t (&installed)[40], wchar_t (&package)[40]);
