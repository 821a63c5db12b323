// Removal of a whole folder tree (in this process, with a hidden command
// interpreter for what stays), with a guard that refuses the folders no
// caller may ever remove.
#pragma once

#include <windows.h>

// Removes path and everything in it. The tree is first deleted in this
// process (files, read-only ones too, then the folders; a link is removed
// itself, never entered); only when something stays (a file in use, a name
// beyond MAX_PATH) does "rmdir /s /q" run in a hidden, idle command
// interpreter (two attempts about a second apart). true when the folder is
// gone or the second attempt has run; false when the folder does not exist,
// is protected (IsProtectedFolder), the interpreter's command line would not
// be exact (a "%" in the path, or too long for 520 characters) or the
// interpreter (always <system folder>\cmd.exe) cannot be started; those refusals are
// decided before anything is deleted. Also false, without an interpreter,
// when the tree holds a link (or is one) that cannot be removed as a link:
// the interpreter would follow it out of the tree.
bool RemoveFolderTree(const wchar_t* path);

// Removes path and everything in it after this process has ended: the same
// hidden interpreter, started once at idle priority while this process runs
// at high priority, after a pause of about two seconds, and not waited for.
// For a program that must remove the folder it runs from. false when
// RemoveFolderTree would refuse the folder, the tree is or holds a link (or
// is too deep to look through), or nothing could be started.
bool RemoveFolderTreeAfterExit(const wchar_t* path);

// true for folders that must never be removed whatever a caller passes: a
// drive or share root, the Windows and system directories, the program-files
// folders, the profiles folder and every profile directly in it, the common
// application-data folder, and any folder that contains one of these. Paths
// are compared in full, normalised form (relative parts resolved, short names
// made long, trailing backslashes dropped), case-insensitively. An empty or
// null path, and any path that is not fully qualified ("C:", "dir", "\dir":
// their meaning depends on a current directory), are protected too.
bool IsProtectedFolder(const wchar_t* path);

// The comparison form IsProtectedFolder uses: full, long, without trailing
// backslashes. false for an empty, relative or drive-relative path, or one
// that does not fit.
constexpr size_t kNormalisedPathChars = 520;
bool NormaliseFolderPath(const wchar_t* path, wchar_t (&out)[kNormalisedPathChars]);

// Test seams. The short-name conversion can be replaced (null restores
// GetShortPathNameW), e.g. to act like a volume without 8.3 names; the count
// says how many interpreter processes RemoveFolderTree has started.
using ShortPathFunction = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
void SetRemoveTreeShortPathFunction(ShortPathFunction fn);
DWORD RemoveTreeProcessCount();
