// The removal record: what the installs of a product made, kept after each
// successful install or repair as a REG_BINARY value of the machine-wide
// vendor key (HKLM\Software\zorbl\<key>), where only administrators can
// write. The uninstall removes by it exactly what the installs placed.
#pragma once

#include <windows.h>

#include "install/journal.h"

enum class RecordState { kNone, kRead, kBad };

// Reads the record of the product key imeName: kNone when there is none
// (an install by an earlier build), kBad when the value is not a well-formed
// record (wrong type, oversized, malformed), kRead with *out filled.
RecordState ReadRemovalRecord(const wchar_t* imeName, kl::InstallJournal* out);

// Stores the earlier record (when it reads) merged with the run's journal.
// A merged record that does not fit the bounds is not written and the
// earlier one is deleted: the uninstall then falls back to the guarded
// whole-folder removal. Logs the outcome; false when nothing was stored.
bool WriteRemovalRecord(const wchar_t* imeName, const kl::InstallJournal& run);

// Adds a file placed after the install (a skin package) to the record, when
// the product has one (without one the uninstall removes the install folder
// whole anyway). false when nothing was added.
bool AddToRemovalRecord(const wchar_t* imeName, const wchar_t* path);

// The value's name under the vendor key.
constexpr wchar_t kRemovalRecordValue[] = L"RemovalRecord";
