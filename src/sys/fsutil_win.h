// File-system routines shared by install and uninstall: access for the local
// Users group, copying files and folder trees, the browser's virtualized data
// and creating folder paths.
#pragma once

#include <windows.h>

#include <objbase.h>  // owners_win.h needs COM declared under WIN32_LEAN_AND_MEAN

#include "ui/owners_win.h"

// The rights the local "Users" group gets on placed files that hold user
// data: modify (read, write, execute, delete), never full control (no
// changing of the access list or the owner).
constexpr DWORD kUsersModifyAccess =
    FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

// Gives the local "Users" group modify access (kUsersModifyAccess, inherited
// by files and subfolders) to a file or folder. 1 when the new DACL was
// written, else 0; each failing step prints "<call>() failed. Error %d\n" to
// standard output.
int GrantUsersAccess(const wchar_t* path);

// true for a file name that the system runs or loads as code: programs,
// libraries, drivers, input methods, control-panel items, screen savers,
// installer packages and scripts (.exe .dll .ime .sys .ocx .cpl .com .scr
// .drv ...), compared case-insensitively.
bool IsExecutableName(const wchar_t* path);

// Installed code stays administrators': false (no grant for Users beyond what
// the file inherits) for an executable (by name, or by content: a file that
// starts with "MZ"), for anything in the Windows folder (the system folders
// and fonts included) and for the package backup (_backup_.dat) and the
// uninstaller (unstall.exe); true for the other files (user data in the data
// folder, non-executable files in the install folder).
bool UsersMayModify(const wchar_t* path);

// What this process knows of the files it wrote itself into its private
// work folder (the package extraction): for each, by full path, whether it
// starts like a program image ("MZ"), noted as its bytes went out. Moving
// such a file into place takes the note (once) instead of opening the file
// again to read its first bytes; a file without a note is read. Forget drops
// every note (a new extraction empties the folder first).
void NoteWrittenFile(const wchar_t* path, bool startsLikeImage);
void ForgetWrittenFiles();

// UsersMayModify for the file moved from `from` to `to`: its first bytes as
// noted when this process wrote `from` (the note is taken), else read at `to`.
bool UsersMayModifyMoved(const wchar_t* from, const wchar_t* to);

// Gives a placed file the access its rule asks for: the Users grant where
// UsersMayModify, else only the entries it inherits from its folder (an
// older grant on a file that is replaced is dropped). true when written.
bool ApplyPlacedFileAccess(const wchar_t* path);

// Copies a file and gives the copy the access of a placed file
// (ApplyPlacedFileAccess). Equal path strings (exact comparison) give true
// without doing anything; a failed copy or grant gives false.
bool CopyFileAndGrant(const wchar_t* existing, const wchar_t* target, BOOL failIfExists);

// Copies (keepSource 0: moves) the files of a folder tree into destination,
// skipping subfolders whose names begin with a full stop. Files that are not
// kept are renamed into place where the volume allows it (no data copied; the
// file gets the access a copy made there would get, then the access of a
// placed file: ApplyPlacedFileAccess) and
// copied and deleted otherwise. A target that cannot
// be replaced (in use) gets a copy beside it that is scheduled to
// replace it at the next restart, *restartNeeded (may be null) is set to true
// and the walk goes on. 1 when the listing was walked to its end, 0 when the
// destination cannot be created or the source cannot be listed.
int CopyFolder(const wchar_t* source, const wchar_t* destination, int keepSource,
               bool* restartNeeded = nullptr);

// Removes "<INetCache>\Virtualized\<c..y>\ProgramData\KeloIMEs\" for the
// drive letters c to y.
void RemoveVirtualizedData();

// Whether anything (a file, a folder, a link) is at path.
inline bool PathExists(const wchar_t* path) {
  return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Writes bytes as a new file at path, never through what stood there: a
// file, a symbolic link or one name of a hard-linked file at path is deleted
// (the name only, never what it points to), then the file is created where
// nothing is (a link made meanwhile makes the write fail). false when a
// folder stands at path or the file cannot be created or written; a file
// begun is deleted again.
bool WriteFileAnew(const wchar_t* path, const void* data, DWORD size);

// Creates a folder and every missing parent. The folder's attributes when the
// path is a folder afterwards, else 0.
DWORD CreateDirectoryPath(const wchar_t* path);

// The ACL-building core of GrantUsersAccess. Builds into newAcl (allocated
// here from the process heap, sized bytes-in-use of oldAcl + length of
// usersSid + 8) the old explicit ACEs in order without those for usersSid,
// then one kUsersModifyAccess ACE for usersSid (inherit flags 3 when advapi32 exports
// AddAccessAllowedAceEx), then the old inherited ACEs unchanged. A null oldAcl
// is an absent DACL. false (message printed) on failure.
bool BuildUsersAcl(PACL oldAcl, PSID usersSid, ui::HeapBlock& newAcl);

// The name the fallback copy of a target in use gets beside the target (the
// same folder, so the same volume and an administrators' folder, never the
// user's temporary folder): "<target>.temp", or "<target>.<n>.temp" (n = 1,
// 2, ...) when that file exists already, so that two pending replacements
// never share one copy. false when no free name fits in MAX_PATH characters.
// Puts a copy of sourceFile beside target (MakePendingCopyName) and has it
// replace target at the next restart. true when the replacement is scheduled.
bool ScheduleReplacement(const wchar_t* sourceFile, const wchar_t* target);

bool MakePendingCopyName(const wchar_t* target, wchar_t (&out)[MAX_PATH]);

// The security of a folder only administrators and the system may use: a
// protected access list (nothing inherited from the folder it is in) that
// grants the Administrators group and SYSTEM full control, inherited by
// everything made in it. The descriptor points into the struct itself: fill
// it in place and do not copy it.
struct PrivateFolderSecurity {
  SECURITY_DESCRIPTOR descriptor;
  alignas(DWORD) BYTE acl[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
  alignas(DWORD) BYTE administrators[SECURITY_MAX_SID_SIZE];
  alignas(DWORD) BYTE system[SECURITY_MAX_SID_SIZE];
};
bool BuildPrivateFolderSecurity(PrivateFolderSecurity& security);

// Creates a fresh folder "<parent><prefix><number>\" with that security
// (parent ends with a backslash; the number is made from the process id, the
// time and a counter). CreateDirectoryW fails on every name that exists (a
// folder, a file or a link someone made beforehand), so nothing existing is
// used or followed: such a name is passed over for the next number. *hold
// (may be null) gets a handle to the new folder that shares no delete access:
// while it is held, nobody can rename the folder or put another in its place.
// false (out empty) when no folder could be made.
bool CreatePrivateFolder(const wchar_t* parent, const wchar_t* prefix, wchar_t (&out)[MAX_PATH],
                         ui::FileHandle* hold);
