// The key slot: room in the setup program for the publisher key of signed
// update lists, filled by the packager ("klpack build --update-key") in its
// copy of the program before the package is appended. The slot is a marker
// found exactly once in the program's bytes, then the 65 bytes of the
// uncompressed P-256 point (0x04, X, Y); all zero while no key was written.
#pragma once

#include <cstddef>

namespace klupdate {

// 15 characters and the terminating NUL: the slot begins with these 16 bytes.
#define KL_UPDATE_KEY_SLOT_MARKER "KL.UPDKEY.SLOT1"
constexpr size_t kKeySlotMarkerBytes = sizeof(KL_UPDATE_KEY_SLOT_MARKER);
constexpr size_t kKeySlotPointBytes = 65;
constexpr size_t kKeySlotBytes = kKeySlotMarkerBytes + kKeySlotPointBytes;
static_assert(kKeySlotMarkerBytes == 16, "the marker is 16 bytes with its NUL");

}  // namespace klupdate
