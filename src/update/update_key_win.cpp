// The publisher key of signed update lists. A packager writes it into the key
// slot of its copy of the program (klpack build --update-key); a build may
// also compile one in (KL_UPDATE_PUBLIC_KEY). The slot's key comes first.
// Kept in a file of its own so that a build can link the same objects with
// another compiled-in key (the tests do).
#include "update/update_key_slot.h"
#include "update/update_verify_win.h"

#ifndef KL_UPDATE_PUBLIC_KEY
#define KL_UPDATE_PUBLIC_KEY ""
#endif

namespace {

// The slot itself: the marker, then the point (zero until a packager writes
// it). Marked used so that link-time optimisation keeps it whole, and read
// through volatile so that the compiler never takes the zeros it was built
// with for the value.
struct KeySlot {
  char marker[klupdate::kKeySlotMarkerBytes];
  unsigned char point[klupdate::kKeySlotPointBytes];
};
__attribute__((used)) const volatile KeySlot g_keySlot = {KL_UPDATE_KEY_SLOT_MARKER, {}};

}  // namespace

const char* SlotUpdateKeyText() {
  static char text[2 * klupdate::kKeySlotPointBytes + 1];
  unsigned char point[klupdate::kKeySlotPointBytes];
  bool any = false;
  for (size_t i = 0; i < sizeof point; ++i) {
    point[i] = g_keySlot.point[i];
    any = any || point[i] != 0;
  }
  if (!any) return "";
  // A slot written with anything but an uncompressed point still counts as a
  // key: one that verifies nothing, so that no unsigned list is taken.
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof point; ++i) {
    text[2 * i] = kHex[point[i] >> 4];
    text[2 * i + 1] = kHex[point[i] & 15];
  }
  text[sizeof text - 1] = 0;
  return text;
}

const char* BuiltInUpdateKeyText() {
  const char* slot = SlotUpdateKeyText();
  return slot[0] ? slot : KL_UPDATE_PUBLIC_KEY;
}
