// Constants the extractor's parts share: the CRT open flags FDI passes for
// output files, the attribute bits of a cabinet entry, and the failed-read
// value of FDI's read and write callbacks.
#pragma once

#include <windows.h>

#include <cstdint>

namespace Cabinet {

constexpr unsigned kReadFailed = static_cast<unsigned>(-1);
constexpr int kOutputFlags = 0x8321;      // write-only, sequential, create, truncate, binary
constexpr int kOutputPermission = 0x180;  // read and write
constexpr int kCabinetPermission = 0x100;
constexpr int kCreateFlag = 0x100;
constexpr uint16_t kNameIsUtf8 = 0x80;
constexpr uint16_t kTimeIsUtc = 0x100;
constexpr DWORD kKeptAttributes = 0x27;  // read-only, hidden, system, archive

}  // namespace Cabinet
