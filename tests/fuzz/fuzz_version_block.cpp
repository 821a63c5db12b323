// libFuzzer target: a version-information block from a downloaded file,
// walked and rebuilt. Reads stay inside the block (ASan); every rebuilt block
// is as long as its root says and walks again.
#include "update/version_block.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/le.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<unsigned char> buf(data, data + size);
  const unsigned char* p = size ? buf.data() : nullptr;
  klupdate::ListVersionStrings(p, size);
  klupdate::ListTranslations(p, size);
  klupdate::Version v;
  klupdate::ReadFixedFileVersion(p, size, &v);
  static const kl::wchar16 kKey[] = KL_T("CompanyName");
  static const kl::wchar16 kValue[] = KL_T("a longer company name than before");
  for (auto& out : klupdate::RewriteVersionString(p, size, kKey, kValue)) {
    if (out.size() < 2 || kl::Load16(out.data()) != out.size()) std::abort();
    std::vector<unsigned char> again(out);
    klupdate::ListVersionStrings(again.data(), again.size());
  }
  return 0;
}
