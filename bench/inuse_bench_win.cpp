// Speed of the IME-in-use scan (run under Wine inside scripts/wine-session.sh):
//
//   bench_inuse_bench_win [REPEATS] [MODULE_NAME]
//
// Scans every running process for MODULE_NAME (default a name nobody holds,
// so every module of every process is compared) REPEATS times (default 20)
// and prints the number of processes and modules looked at, the best and the
// median time of one scan.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "install/inuse_win.h"

int main(int argc, char** argv) {
  int repeats = argc > 1 ? std::atoi(argv[1]) : 20;
  if (repeats < 1) repeats = 1;
  wchar_t name[40] = L"KlBenchNobody.kelo.ime";
  if (argc > 2) MultiByteToWideChar(CP_ACP, 0, argv[2], -1, name, 40);

  DWORD ids[4096];
  DWORD bytes = 0;
  EnumProcesses(ids, sizeof(ids), &bytes);
  size_t modules = 0, readable = 0;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
    if (!h) continue;
    DWORD needed = 0;
    HMODULE one = nullptr;
    if (EnumProcessModules(h, &one, sizeof(one), &needed)) {
      ++readable;
      modules += needed / sizeof(HMODULE);
    }
    CloseHandle(h);
  }

  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  std::vector<double> ms;
  size_t found = 0;
  for (int r = 0; r < repeats; ++r) {
    std::vector<ImeProcessRecord> out;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    found = FindImeProcesses(name, &out);
    QueryPerformanceCounter(&t1);
    ms.push_back(1000.0 * double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart));
  }
  std::sort(ms.begin(), ms.end());
  std::printf("processes %lu (readable %zu), modules %zu, found %zu\n",
              static_cast<unsigned long>(bytes / sizeof(DWORD)), readable, modules, found);
  std::printf("scan: best %.2f ms, median %.2f ms over %d runs\n", ms.front(), ms[ms.size() / 2],
              repeats);
  return 0;
}
