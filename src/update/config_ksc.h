// The input method's configuration file "config.ksc": finding a record by
// name and reading its three driver names. The file is written by other
// tools and may be short or hostile: every offset and every text is checked
// against the file's size before it is read.
//
//   offset 0        number of records (low byte of the first 32-bit word)
//   offset 4 + 4*i  offset of record i
//   record + 6      record name (UTF-16, NUL-terminated inside the file)
//   record + 1260   code-table driver name (80 bytes, 39 characters taken)
//   record + 1500   main driver name
//   record + 1588   skin driver name
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/text.h"

namespace klupdate {

using kl::wchar16;

constexpr size_t kKscNameAt = 6;
constexpr size_t kKscCodeTableAt = 1260;
constexpr size_t kKscMainAt = 1500;
constexpr size_t kKscSkinAt = 1588;
constexpr size_t kKscDriverBytes = 80;
constexpr wchar16 kDefaultConfigRecord[] = KL_T("kl_ime_config_data_default");

struct KscDrivers {
  wchar16 tableDriver[40] = {};
  wchar16 mainDriver[40] = {};
  wchar16 skinDriver[40] = {};
};

// Finds the first record whose name equals `name` (ASCII letters compared
// without regard to case) and copies its driver names. false when the file
// is too short for its table, or no record that lies wholly inside the file
// has that name; records whose offset or fields fall outside are skipped.
bool FindKscRecord(const unsigned char* data, size_t size, const wchar16* name, KscDrivers* out);

}  // namespace klupdate
