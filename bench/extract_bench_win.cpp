// Extraction benchmark for Cabinet::CExtract (run under Wine by extract.sh).
//
//   bench_extract_bench_win make MB KEYED.cab PLAIN.cab
//       writes a package of about MB megabytes of mixed content (incompressible
//       and text-like files, MSZIP): KEYED.cab enciphered as the setup program
//       carries it, PLAIN.cab the same cabinet deciphered (for cabextract).
//   bench_extract_bench_win run KEYED.cab OUTDIR REPEATS
//       extracts REPEATS times with the keyed extractor (unkeyed with "plain") and prints the best
//       time of the Extract() call alone, the throughput of the output and
//       the process's peak working set. Nothing else runs in that process,
//       so the peak is the extraction's.
//   bench_extract_bench_win profile CAB OUTDIR [plain]
//       one keyed (unkeyed with "plain") extraction through an extractor that counts and times its
//       read and seek primitives, and BlowfishDecryptBlocks alone over a
//       buffer of the cabinet's size: where the read layer's time goes.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <algorithm>
#include <string>
#include <vector>

#include "package/blowfish.h"
#include "package/cab_writer.h"
#include "package/cabinet_win.h"
#include "package/cryp_layer.h"

namespace {

bool WriteAll(const wchar_t* path, const std::vector<unsigned char>& data) {
  HANDLE h = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  BOOL ok = ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &done, nullptr);
  ::CloseHandle(h);
  return ok && done == data.size();
}

int Make(double megabytes, const wchar_t* keyedPath, const wchar_t* plainPath) {
  const size_t total = static_cast<size_t>(megabytes * 1024 * 1024);
  std::vector<cab::Entry> files;
  cab::Entry kif;
  kif.name = "InstallInfo.kif";
  kif.data.assign(2668, 0);
  files.push_back(kif);
  uint32_t x = 12345;
  size_t made = 0;
  static const char* const kWords[] = {"input ", "method ", "pinyin ", "dictionary ", "skin ",
                                       "driver ", "\xE4\xB8\xAD\xE6\x96\x87 ", "config\r\n"};
  for (int i = 0; made < total; ++i) {
    cab::Entry e;
    bool text = (i % 5) < 3;  // ~60% text-like, ~40% incompressible
    e.name = std::string(text ? "data\\dict" : "bin\\blob") + std::to_string(i) +
             (text ? ".txt" : ".bin");
    size_t n = std::min<size_t>(total - made, text ? 300000 : 330000);
    e.data.resize(n);
    for (size_t k = 0; k < n;) {
      x = x * 1103515245u + 12345u;
      if (text) {
        const char* w = kWords[(x >> 16) % 8];
        while (*w && k < n) e.data[k++] = static_cast<unsigned char>(*w++);
      } else {
        e.data[k++] = static_cast<unsigned char>(x >> 16);
      }
    }
    made += n;
    files.push_back(std::move(e));
  }
  std::vector<unsigned char> plain = cab::BuildCabinet(files, cab::Compression::MsZip, 7);
  if (plain.empty()) {
    std::fprintf(stderr, "cannot build the cabinet\n");
    return 1;
  }
  std::vector<unsigned char> keyed = plain;
  BlowfishContext ctx;
  BlowfishSetKey(&ctx, kPackageKeyLength);
  EncipherContainer(&ctx, keyed);
  if (!WriteAll(keyedPath, keyed) || !WriteAll(plainPath, plain)) {
    std::fprintf(stderr, "cannot write the cabinets\n");
    return 1;
  }
  std::printf("package: %zu files, %.2f MB content, %.2f MB cabinet\n", files.size(),
              made / 1048576.0, keyed.size() / 1048576.0);
  return 0;
}

uint64_t Uncompressed(const std::wstring& dir) {
  uint64_t sum = 0;
  WIN32_FIND_DATAW fd;
  HANDLE f = ::FindFirstFileW((dir + L"*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return 0;
  do {
    std::wstring n = fd.cFileName;
    if (n == L"." || n == L"..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      sum += Uncompressed(dir + n + L"\\");
    else
      sum += (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  } while (::FindNextFileW(f, &fd));
  ::FindClose(f);
  return sum;
}

SIZE_T PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS pmc = {};
  pmc.cb = sizeof pmc;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof pmc);
  return pmc.PeakWorkingSetSize;
}

int Run(const wchar_t* cabArg, const wchar_t* outArg, int repeats, bool keyed) {
  wchar_t cab[MAX_PATH], out[MAX_PATH];
  ::GetFullPathNameW(cabArg, MAX_PATH, cab, nullptr);
  ::GetFullPathNameW(outArg, MAX_PATH, out, nullptr);
  std::wstring dest = out;
  if (dest.back() != L'\\') dest.push_back(L'\\');
  SIZE_T peakBefore = PeakWorkingSet();
  LARGE_INTEGER freq;
  ::QueryPerformanceFrequency(&freq);
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    Cabinet::CExtract x;
    if (keyed) {
      x.SetPackageKey();
      x.CreateWorkBuffer();
    }
    if (!x.Initialize()) {
      std::fprintf(stderr, "Initialize failed: %d\n", x.LastError().code);
      return 1;
    }
    LARGE_INTEGER t0, t1;
    ::QueryPerformanceCounter(&t0);
    int ok = x.Extract(cab, dest.c_str());
    ::QueryPerformanceCounter(&t1);
    x.Destroy();
    if (!ok) {
      std::fprintf(stderr, "Extract failed: code %d, system %u, FDI %d\n", x.LastError().code,
                   x.LastError().systemError, x.FdiError().erfOper);
      return 1;
    }
    times.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) / freq.QuadPart);
  }
  std::sort(times.begin(), times.end());
  const double best = times.front(), median = times[times.size() / 2];
  uint64_t bytes = Uncompressed(dest);
  SIZE_T peak = PeakWorkingSet();
  const double mb = bytes / 1048576.0;
  std::printf("CExtract: %.2f MB out in %.1f ms (best of %d) = %.0f MB/s, median %.0f MB/s;"
              " peak working set %.1f MB (%.1f MB before extracting)\n",
              mb, best * 1000, repeats, mb / best, mb / median, peak / 1048576.0,
              peakBefore / 1048576.0);
  return 0;
}

// Counts and times the primitives the read hook calls.
class ProfilingExtract : public Cabinet::CExtract {
 public:
  int FileRead(int handle, void* buffer, unsigned count) override {
    LARGE_INTEGER t0, t1;
    ::QueryPerformanceCounter(&t0);
    int n = CExtract::FileRead(handle, buffer, count);
    ::QueryPerformanceCounter(&t1);
    ++reads;
    if (n > 0) readBytes += static_cast<uint64_t>(n);
    readTicks += t1.QuadPart - t0.QuadPart;
    return n;
  }
  long FileSeek(int handle, long distance, int origin) override {
    LARGE_INTEGER t0, t1;
    ::QueryPerformanceCounter(&t0);
    long r = CExtract::FileSeek(handle, distance, origin);
    ::QueryPerformanceCounter(&t1);
    ++seeks;
    seekTicks += t1.QuadPart - t0.QuadPart;
    return r;
  }
  uint64_t reads = 0, readBytes = 0, seeks = 0;
  int64_t readTicks = 0, seekTicks = 0;
};

int Profile(const wchar_t* cabArg, const wchar_t* outArg, bool keyed) {
  wchar_t cab[MAX_PATH], out[MAX_PATH];
  ::GetFullPathNameW(cabArg, MAX_PATH, cab, nullptr);
  ::GetFullPathNameW(outArg, MAX_PATH, out, nullptr);
  std::wstring dest = out;
  if (dest.back() != L'\\') dest.push_back(L'\\');
  LARGE_INTEGER freq;
  ::QueryPerformanceFrequency(&freq);
  const double ms = 1000.0 / static_cast<double>(freq.QuadPart);

  ProfilingExtract x;
  if (keyed) {
    x.SetPackageKey();
    x.CreateWorkBuffer();
  }
  if (!x.Initialize()) return 1;
  LARGE_INTEGER t0, t1;
  ::QueryPerformanceCounter(&t0);
  int ok = x.Extract(cab, dest.c_str());
  ::QueryPerformanceCounter(&t1);
  x.Destroy();
  if (!ok) {
    std::fprintf(stderr, "Extract failed: code %d\n", x.LastError().code);
    return 1;
  }
  WIN32_FILE_ATTRIBUTE_DATA fa;
  if (!::GetFileAttributesExW(cab, GetFileExInfoStandard, &fa)) return 1;
  const size_t cabBytes = fa.nFileSizeLow & ~7u;
  std::printf("%s Extract %.1f ms; FileRead %llu calls, %.2f MB (cabinet %.2f MB), %.2f ms;"
              " FileSeek %llu calls, %.2f ms (%.1f us each)\n",
              keyed ? "keyed" : "unkeyed", (t1.QuadPart - t0.QuadPart) * ms,
              static_cast<unsigned long long>(x.reads),
              x.readBytes / 1048576.0, cabBytes / 1048576.0, x.readTicks * ms,
              static_cast<unsigned long long>(x.seeks), x.seekTicks * ms,
              x.seeks ? x.seekTicks * ms * 1000 / static_cast<double>(x.seeks) : 0.0);

  // The deciphering alone over as many bytes, best of 5.
  std::vector<unsigned char> data(cabBytes, 0x5A);
  BlowfishContext ctx;
  BlowfishSetKey(&ctx, kPackageKeyLength);
  double best = 1e30;
  for (int i = 0; i < 5; ++i) {
    ::QueryPerformanceCounter(&t0);
    BlowfishDecryptBlocks(&ctx, data.data(), data.size() / 8);
    ::QueryPerformanceCounter(&t1);
    best = std::min(best, (t1.QuadPart - t0.QuadPart) * ms);
  }
  std::printf("BlowfishDecryptBlocks over %.2f MB: %.1f ms = %.0f MB/s\n", cabBytes / 1048576.0,
              best, cabBytes / 1048576.0 / (best / 1000));
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return 2;
  if (argc == 5 && std::wcscmp(argv[1], L"make") == 0)
    return Make(std::wcstod(argv[2], nullptr), argv[3], argv[4]);
  if ((argc == 4 || argc == 5) && std::wcscmp(argv[1], L"profile") == 0)
    return Profile(argv[2], argv[3], !(argc == 5 && std::wcscmp(argv[4], L"plain") == 0));
  if ((argc == 5 || argc == 6) && std::wcscmp(argv[1], L"run") == 0)
    return Run(argv[2], argv[3], std::max(1, static_cast<int>(std::wcstol(argv[4], nullptr, 10))),
               !(argc == 6 && std::wcscmp(argv[5], L"plain") == 0));
  std::fprintf(stderr,
               "usage: bench_extract_bench_win make MB KEYED.cab PLAIN.cab\n"
               "       bench_extract_bench_win run CAB OUTDIR REPEATS [plain]\n"
               "       bench_extract_bench_win profile CAB OUTDIR [plain]\n");
  return 2;
}
