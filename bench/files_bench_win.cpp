// Costs of the file routines: mapping a file whole, the protected-folder
// check that guards every tree removal, and the virtualized-data sweep (23
// removals, usually of folders that do not exist).
//   bench_files_bench_win.exe [MEGABYTES]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sys/fsutil_win.h"
#include "sys/mapfile_win.h"
#include "sys/remove_tree_win.h"

namespace {

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  const DWORD mb = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 32;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring path = std::wstring(temp) + L"kl_bench_map.bin";
  const DWORD size = mb * 1024 * 1024;

  double t = Now();
  {
    CQXMapfile file;
    if (file.Create(path.c_str(), size) != size) {
      std::printf("cannot create %lu bytes\n", static_cast<unsigned long>(size));
      return 1;
    }
    unsigned char* p = file.GetPointer(0);
    for (DWORD i = 0; i < size; i += 4096) p[i] = static_cast<unsigned char>(i >> 12);
  }
  std::printf("create+touch+flush %lu MB: %.1f ms\n", static_cast<unsigned long>(mb),
              (Now() - t) * 1000);

  t = Now();
  unsigned sum = 0;
  {
    CQXMapfile file;
    file.Open(path.c_str(), 0);
    const unsigned char* p = file.GetPointer(0);
    for (DWORD i = 0; i < file.GetSize(); i += 4096) sum += p[i];
  }
  std::printf("open read-only+read %lu MB: %.1f ms (check %u)\n",
              static_cast<unsigned long>(mb), (Now() - t) * 1000, sum);
  DeleteFileW(path.c_str());

  const int rounds = 200;
  t = Now();
  int hits = 0;
  for (int i = 0; i < rounds; ++i) hits += IsProtectedFolder(L"C:\\Program Files\\Kelo IME\\");
  std::printf("IsProtectedFolder: %.3f ms per call (%d protected)\n",
              (Now() - t) * 1000 / rounds, hits);

  t = Now();
  RemoveVirtualizedData();
  std::printf("RemoveVirtualizedData (nothing to remove): %.1f ms\n", (Now() - t) * 1000);
  return 0;
}
