// File-system routines shared by install and uninstall: access for the local
// Users group, copying files and folder trees, the browser's virtualized data
// and creating folder paths.
#pragma once

#include <windows.h>

#include <objbase.h>  // owners_win.h needs COM declared under WIN32_LEAN_AND_MEAN

#include "ui/owners_win.h"

// Gives the local "Users" group full access (GENERIC_ALL, inherited by files
// and subfolders) to a file or folder. 1 when the new DACL was written, else 0;
// each failing step prints "<call>() failed. Error %d\n" to standard output.
int GrantUsersAccess(const wchar_t* path);

// Copies a file and grants Users access to the copy. Equal path strings (exact
// comparison) give true without doing anything; a failed copy or grant gives
// false.
bool CopyFileAndGrant(const wchar_t* existing, const wchar_t* target, BOOL failIfExists);

// Copies (keepSource 0: moves) the files of a folder tree into destination,
// skipping subfolders whose names begin with a full stop. Files that are not
// kept are renamed into place where the volume allows it (no data copied; the
// file gets the access a copy made there would get, plus the Users grant) and
// copied and deleted otherwise. A target that cannot
// be replaced (in use) gets a copy in the temporary folder that is scheduled to
// replace it at the next restart, *restartNeeded (may be null) is set to true
// and the walk goes on. 1 when the listing was walked to its end, 0 when the
// destination cannot be created or the source cannot be listed.
int CopyFolder(const wchar_t* source, const wchar_t* destination, int keepSource,
               bool* restartNeeded = nullptr);

// Removes "<INetCache>\Virtualized\<c..y>\ProgramData\KeloIMEs\" for the
// drive letters c to y.
void RemoveVirtualizedData();

// Creates a folder and every missing parent. The folder's attributes when the
// path is a folder afterwards, else 0.
DWORD CreateDirectoryPath(const wchar_t* path);

// The ACL-building core of GrantUsersAccess. Builds into newAcl (allocated
// here from the process heap, sized bytes-in-use of oldAcl + length of
// usersSid + 8) the old explicit ACEs in order without those for usersSid,
// then one GENERIC_ALL ACE for usersSid (inherit flags 3 when advapi32 exports
// AddAccessAllowedAceEx), then the old inherited ACEs unchanged. A null oldAcl
// is an absent DACL. false (message printed) on failure.
bool BuildUsersAcl(PACL oldAcl, PSID usersSid, ui::HeapBlock& newAcl);

// The name the fallback copy of a target in use gets in the temporary folder:
// "<temp><name>.temp", or "<temp><name>.<n>.temp" (n = 1, 2, ...) when that
// file exists already, so that two pending replacements never share one copy.
// false when no free name fits in MAX_PATH characters.
bool MakePendingCopyName(const wchar_t* fileName, wchar_t (&out)[MAX_PATH]);
