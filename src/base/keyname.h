// Names that become paths: one file or folder name as Windows keeps it, a
// relative path of such names (a cabinet's file names), and the input
// method's key name. The extractor, the command line, the package header
// check and the packager all apply these same rules.
#pragma once

#include <cstddef>

#include "base/text.h"

namespace kl {

// Why a name cannot be used; None when it can.
enum class NameProblem {
  None,
  Empty,            // nothing, or an empty folder level ("a\\b", "a\")
  DotName,          // "." or ".."
  Absolute,         // starts with "\" or "/" (root, UNC)
  Colon,            // drive letter or stream: "C:x", "a:b"
  BadCharacter,     // * ? " < > | or another character file names cannot hold
  ControlCharacter, // below U+0020, U+007F, or a lone surrogate
  TrailingDotOrSpace,  // "trail." and "trail " become another name on Windows
  DeviceName,       // CON, PRN, AUX, NUL, COM1..9, LPT1..9 (any extension, any case)
  Separator,        // a "\" or "/" where one name is expected
  Bracket,          // "]" in a key name (it ends the name=[...] switch)
  TooLong,          // a key name over kMaxKeyNameChars
};

// A short English reason for messages ("a reserved device name", ...).
const char* DescribeNameProblem(NameProblem p);

// One file or folder name (no separators).
NameProblem CheckFileName(string16_view name);
// A relative path of file names separated by "\" or "/".
NameProblem CheckRelativePath(string16_view path);
inline bool IsSafeRelativePath(string16_view path) {
  return CheckRelativePath(path) == NameProblem::None;
}

// The key name of an input method: a file name without "]" of at most this
// many UTF-16 units. The IME file "<name>.kelo.ime" must fit the 40-unit
// buffers that hold it (30 + 9 + the terminator).
constexpr size_t kMaxKeyNameChars = 30;
NameProblem CheckKeyName(string16_view name);
inline bool IsPlainKeyName(string16_view name) { return CheckKeyName(name) == NameProblem::None; }
// The same for a NUL-terminated field of cap units: false when the field has
// no terminator within cap.
bool IsPlainKeyNameField(const wchar16* field, size_t cap);

// Case folding as the Windows file system compares names (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic and fullwidth letters).
wchar16 FoldCase(wchar16 c);
string16 FoldCase(string16_view s);

}  // namespace kl
