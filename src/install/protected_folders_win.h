// The folders an elevated run must keep its hands off beyond the roots that
// IsProtectedFolder guards: the Windows folder's tree, the shared Program
// Files folders, ProgramData's system folders and the user's shell folders.
#pragma once

#include <windows.h>

// true when folder may not be installed into: a protected folder
// (IsProtectedFolder), the Windows folder or anything in it, or one of the
// user's shell folders (Documents, Desktop, Downloads, AppData, the Start
// menu, the profile, ...) or a folder that holds one. A path that is not
// full is refused as well.
bool IsRefusedInstallFolder(const wchar_t* folder);

// true when an uninstall without a removal record may not remove folder's
// whole tree: what IsRefusedInstallFolder refuses, and also anything in the
// shared Program Files folders (Common Files, both views) or in
// ProgramData's system folders (Microsoft, Package Cache, ...).
bool IsGuardedFromTreeRemoval(const wchar_t* folder);

// Starts working out the folders both checks guard on a thread of its own,
// so that a run can do other work (extract its package) meanwhile. Optional:
// the first check works them out itself, or waits for that thread.
void PrepareGuardedFolders();
