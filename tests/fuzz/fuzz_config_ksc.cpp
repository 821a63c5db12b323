// libFuzzer target: config.ksc as another tool (or an attacker) left it.
// Every offset and name is checked against the file: no read may leave it.
#include "update/config_ksc.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> buf(data, data + size);
  klupdate::KscDrivers d;
  if (klupdate::FindKscRecord(size ? buf.data() : nullptr, size, klupdate::kDefaultConfigRecord,
                              &d)) {
    if (kl::StrLen(d.mainDriver, 40) >= 40 || kl::StrLen(d.skinDriver, 40) >= 40 ||
        kl::StrLen(d.tableDriver, 40) >= 40)
      std::abort();
  }
  return 0;
}
