#include "package_maker_win.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>

#include "package/blowfish.h"
#include "package/pe_layout.h"
#include "ui/owners_win.h"

namespace testpkg {

std::vector<unsigned char> MakeContainer(const std::vector<cab::Entry>& files) {
  std::vector<unsigned char> c = cab::BuildCabinet(files, cab::Compression::MsZip);
  if (c.size() < 56) return {};
  while (c.size() % 8) c.push_back(0);
  BlowfishContext ctx;
  BlowfishSetKey(&ctx, kPackageKeyLength);
  BlowfishEncryptBlocks(&ctx, c.data() + 56, (c.size() - 56) / 8);
  std::memcpy(c.data(), "CRYP", 4);
  return c;
}

std::vector<unsigned char> AppendPackage(std::vector<unsigned char> program,
                                         const std::vector<unsigned char>& container) {
  const uint32_t e = static_cast<uint32_t>(program.size());
  if (!WritePackageOffset(program.data(), program.size(), e)) return {};
  program.insert(program.end(), container.begin(), container.end());
  return program;
}

std::vector<unsigned char> MakeManifest(const std::u16string& imeName,
                                        const std::u16string& displayName, size_t size) {
  std::vector<unsigned char> m(size < 2668 ? 2668 : size, 0);
  // key name at 0 (80 bytes), display name at 160 (88 bytes)
  std::memcpy(m.data(), imeName.data(), std::min<size_t>(imeName.size() * 2, 78));
  std::memcpy(m.data() + 160, displayName.data(), std::min<size_t>(displayName.size() * 2, 86));
  m.resize(size);
  return m;
}

bool ReadFileBytes(const std::wstring& path, std::vector<unsigned char>* out) {
  ui::FileHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size;
  if (!h || !GetFileSizeEx(h.get(), &size)) return false;
  out->assign(static_cast<size_t>(size.QuadPart), 0);
  DWORD got = 0;
  return out->empty() ||
         (ReadFile(h.get(), out->data(), static_cast<DWORD>(out->size()), &got, nullptr) &&
          got == out->size());
}

bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& data) {
  ui::FileHandle h(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD put = 0;
  return h && (data.empty() ||
               (WriteFile(h.get(), data.data(), static_cast<DWORD>(data.size()), &put, nullptr) &&
                put == data.size()));
}

}  // namespace testpkg
