// A file's version resource through the system: reading text values and the
// version number, replacing a text value (the block is rebuilt by
// version_block.h), storing a whole block, and copying one resource (a
// bitmap or an icon) from one executable file into another. No messages: the
// callers word their own.
#pragma once

#include <windows.h>

#include <cstddef>

#include "update/update_list.h"

// Copies the text value of key (first translation entry that has it) into
// out (capacity characters, cut and terminated); "" when there is none.
void GetVersionString(const wchar_t* file, const wchar_t* key, wchar_t* out, size_t capacity);
// "FileVersion" read as a version number; 0 without version information.
klupdate::Version GetFileVersionNumber(const wchar_t* file);
// Replaces the text value of key in every string table that has it.
bool SetVersionString(const wchar_t* file, const wchar_t* key, const wchar_t* value);
// Stores block as the file's RT_VERSION 1 in language (0xFFFF: the language
// of the file's first translation entry).
bool WriteVersionResource(const wchar_t* file, WORD language, const void* block, DWORD size);
// Copies resource (type, id) of source into target, in the language of the
// target's first translation entry. The source is loaded as a data file.
bool CopyResource(const wchar_t* target, const wchar_t* source, const wchar_t* type, WORD id);
