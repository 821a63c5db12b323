// Test and demo helper: a "newer" build of a driver as a vendor would publish
// it, made from an existing one: FileVersion (text and fixed information)
// set to VERSION, FileDescription and CompanyName replaced by generic texts,
// and with --drop-bitmaps its bitmaps 103 and 104 removed. What an update
// must carry over from the installed file is thus visibly missing.
//
//   newer_driver.exe SOURCE TARGET VERSION [--drop-bitmaps]
//
// VERSION is "a.b.c.d". Exit codes: 0 done, 2 bad arguments, 3 the source
// has no usable version resource, 4 the target could not be written.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "update/update_list.h"
#include "update/version_block.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || (argc == 5 && wcscmp(argv[4], L"--drop-bitmaps") != 0) || argc > 5) {
    std::fwprintf(stderr, L"usage: newer_driver SOURCE TARGET VERSION [--drop-bitmaps]\n");
    return 2;
  }
  const wchar_t* source = argv[1];
  const wchar_t* target = argv[2];
  const klupdate::Version version = klupdate::VersionFromText(argv[3]);
  const bool dropBitmaps = argc == 5;

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(source, &ignored);
  std::vector<unsigned char> block(size);
  if (!size || !GetFileVersionInfoW(source, 0, size, block.data())) {
    std::fwprintf(stderr, L"newer_driver: \"%ls\" has no version resource\n", source);
    return 3;
  }
  klupdate::VersionNode root;
  if (!klupdate::ReadVersionRoot(block.data(), block.size(), &root)) return 3;
  block.resize(root.end);
  auto translations = klupdate::ListTranslations(block.data(), block.size());
  const WORD language = translations.empty() ? 0x409 : translations[0].first;
  // The fixed information: dwFileVersionMS/LS right after the signature and
  // the structure version.
  if (root.valueBytes >= 52) {
    unsigned char* fixed = block.data() + root.valueOffset;
    const DWORD ms = static_cast<DWORD>(version >> 32), ls = static_cast<DWORD>(version);
    memcpy(fixed + 8, &ms, 4);
    memcpy(fixed + 12, &ls, 4);
  }
  wchar_t text[40];
  klupdate::VersionToText(version, text);
  const std::pair<const wchar_t*, const wchar_t*> values[] = {
      {L"FileVersion", text},
      {L"FileDescription", L"Generic driver build"},
      {L"CompanyName", L"Driver Workshop"}};
  for (const auto& kv : values) {
    auto out = klupdate::RewriteVersionString(block.data(), block.size(), kv.first, kv.second);
    if (!out.empty()) block = out.back();
  }
  if (!CopyFileW(source, target, FALSE)) {
    std::fwprintf(stderr, L"newer_driver: cannot write \"%ls\"\n", target);
    return 4;
  }
  HANDLE h = BeginUpdateResourceW(target, FALSE);
  bool ok = h && UpdateResourceW(h, RT_VERSION, MAKEINTRESOURCEW(1), language, block.data(),
                                 static_cast<DWORD>(block.size()));
  if (ok && dropBitmaps)
    for (WORD id : {103, 104})
      ok = UpdateResourceW(h, RT_BITMAP, MAKEINTRESOURCEW(id), language, nullptr, 0) && ok;
  if (h && !EndUpdateResourceW(h, ok ? FALSE : TRUE)) ok = false;
  if (!ok) {
    DeleteFileW(target);
    std::fwprintf(stderr, L"newer_driver: cannot update the resources of \"%ls\"\n", target);
    return 4;
  }
  return 0;
}
