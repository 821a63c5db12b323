// Taking back a failed install: while the steps run they record, in the run's
// journal (context.journal), everything they are about to create that did not
// exist before; a failed run undoes those entries, newest first. What existed
// before the run is never removed, even where the run replaced it, so a failed
// repair or an install over an earlier one keeps the installed product.
//
// Every Journal* call does nothing when the context has no journal.
#pragma once

#include <windows.h>

#include "install/context_win.h"

// A file the run is about to write (font: a font file that is also added to
// the font table). One that exists already is recorded as placed over
// (kPlacedFile: kept by a failed run, removed by the uninstall) when it is
// the product's own: in the install or data folder, or the IME module.
void JournalNewFile(InstallContext& context, const wchar_t* path, bool font = false);
// The folders that creating `folder` (and its missing parents) would make.
void JournalNewFolders(InstallContext& context, const wchar_t* folder);
// What copying or moving the tree `source` into `destination` would create:
// the destination's missing folders, then each file and subfolder missing
// there, with the copy's rule (subfolders whose names begin with a full stop
// are not copied).
void JournalNewTree(InstallContext& context, const wchar_t* source, const wchar_t* destination);
// A registry key the run is about to create (with its missing parents);
// hive is HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER.
void JournalRegistryKey(InstallContext& context, HKEY hive, const wchar_t* keyPath);
// A value the run is about to set in an existing key: its old data is kept.
// A value in a key that does not exist yet is covered by the key's entry.
void JournalRegistryValue(InstallContext& context, HKEY hive, const wchar_t* keyPath,
                          const wchar_t* valueName);
// A keyboard layout the run registered ("E0020804" and the like).
void JournalLayout(InstallContext& context, const wchar_t* layoutId);

// Undoes the journal's entries, newest first, and empties it. Files in use
// are deleted at the next restart.
void UndoInstall(InstallContext& context);
