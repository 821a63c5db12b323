#include "update/version_res_win.h"

#include <vector>

#include "base/format_win.h"
#include "ui/owners_win.h"
#include "update/version_block.h"

namespace {

// The file's whole version information, or empty.
std::vector<unsigned char> ReadVersionInfo(const wchar_t* file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
  if (!size) return {};
  std::vector<unsigned char> block(size, 0);
  if (!GetFileVersionInfoW(file, 0, size, block.data())) return {};
  return block;
}

struct Translation {
  WORD language;
  WORD codePage;
};

// The translation list of a block read by GetFileVersionInfoW.
std::vector<Translation> Translations(std::vector<unsigned char>& block) {
  void* data = nullptr;
  UINT bytes = 0;
  std::vector<Translation> out;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &data, &bytes) || !data)
    return out;
  const auto* t = static_cast<const Translation*>(data);
  for (UINT i = 0; i < bytes / sizeof(Translation); ++i) out.push_back(t[i]);
  return out;
}

// The value of key under one translation, or null.
const wchar_t* QueryString(std::vector<unsigned char>& block, const Translation& t,
                           const wchar_t* key) {
  wchar_t path[256];
  kl::Format(path, L"\\StringFileInfo\\%04x%04x\\%s", t.language, t.codePage, key);
  void* data = nullptr;
  UINT chars = 0;
  if (!VerQueryValueW(block.data(), path, &data, &chars) || !data) return nullptr;
  return static_cast<const wchar_t*>(data);
}

struct UpdateHandle {
  HANDLE h = nullptr;
  ~UpdateHandle() {
    if (h) EndUpdateResourceW(h, TRUE);
  }
  bool Commit() {
    const BOOL ok = EndUpdateResourceW(h, FALSE);
    h = nullptr;
    return ok != FALSE;
  }
};

}  // namespace

void GetVersionString(const wchar_t* file, const wchar_t* key, wchar_t* out, size_t capacity) {
  if (!capacity) return;
  out[0] = 0;
  std::vector<unsigned char> block = ReadVersionInfo(file);
  if (block.empty()) return;
  for (const Translation& t : Translations(block)) {
    if (const wchar_t* value = QueryString(block, t, key)) {
      kl::CopyN(out, capacity, value);
      return;
    }
  }
}

klupdate::Version GetFileVersionNumber(const wchar_t* file) {
  wchar_t text[128];
  GetVersionString(file, L"FileVersion", text, 128);
  return klupdate::VersionFromText(text);
}

bool SetVersionString(const wchar_t* file, const wchar_t* key, const wchar_t* value) {
  std::vector<unsigned char> block = ReadVersionInfo(file);
  if (block.empty()) return false;
  WORD language = 0;
  bool found = false;
  for (const Translation& t : Translations(block)) {
    if (QueryString(block, t, key)) {
      language = t.language;
      found = true;
      break;
    }
  }
  if (!found) return false;
  // The nodes are rebuilt from the block as read; each string table that has
  // the key gives one block, and the last one written is what the file keeps.
  size_t refused = 0;
  for (const auto& rebuilt :
       klupdate::RewriteVersionString(block.data(), block.size(), key, value, &refused)) {
    if (!WriteVersionResource(file, language, rebuilt.data(), static_cast<DWORD>(rebuilt.size())))
      return false;
  }
  return refused == 0;
}

bool WriteVersionResource(const wchar_t* file, WORD language, const void* block, DWORD size) {
  if (language == 0xFFFF) {
    std::vector<unsigned char> current = ReadVersionInfo(file);
    std::vector<Translation> t = Translations(current);
    if (t.empty()) return false;
    language = t[0].language;
  }
  UpdateHandle u;
  u.h = BeginUpdateResourceW(file, FALSE);
  if (!u.h) return false;
  if (!UpdateResourceW(u.h, RT_VERSION, MAKEINTRESOURCEW(1), language, const_cast<void*>(block),
                       size))
    return false;
  return u.Commit();
}

bool CopyResource(const wchar_t* target, const wchar_t* source, const wchar_t* type, WORD id) {
  std::vector<unsigned char> info = ReadVersionInfo(target);
  if (info.empty()) return false;
  std::vector<Translation> t = Translations(info);
  if (t.empty() || t[0].language == 0) return false;
  const WORD language = t[0].language;

  // The installed driver is only read, never run: load it as a data file.
  ui::Module module(LoadLibraryExW(source, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return false;
  HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(id), type);
  if (!found) return false;
  HGLOBAL loaded = LoadResource(module.get(), found);
  void* data = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = SizeofResource(module.get(), found);
  if (!data) return false;
  // The bytes are copied before the module goes (the update reads them at
  // commit time).
  std::vector<unsigned char> bytes(static_cast<const unsigned char*>(data),
                                   static_cast<const unsigned char*>(data) + size);
  module.reset();

  UpdateHandle u;
  u.h = BeginUpdateResourceW(target, FALSE);
  if (!u.h) return false;
  if (!UpdateResourceW(u.h, type, MAKEINTRESOURCEW(id), language, bytes.data(), size)) return false;
  return u.Commit();
}
