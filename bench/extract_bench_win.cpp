// Extraction benchmark for Cabinet::CExtract (run under Wine by extract.sh).
//
//   bench_extract_bench_win make MB KEYED.cab PLAIN.cab [FILES]
//       writes a package of about MB megabytes of mixed content (incompressible
//       and text-like files of ~300 KB, or FILES files, MSZIP): KEYED.cab
//       enciphered as the setup program carries it, PLAIN.cab the same
//       cabinet deciphered (for cabextract).
//   bench_extract_bench_win run KEYED.cab OUTDIR REPEATS [plain|fresh]
//       extracts REPEATS times with the keyed extractor (unkeyed with "plain"; with "fresh" into
//       a folder removed before each round, untimed) and prints the best
//       time of the Extract() call alone, the throughput of the output and
//       the process's peak working set. Nothing else runs in that process,
//       so the peak is the extraction's.
//   bench_extract_bench_win profile CAB OUTDIR [plain]
//       one keyed (unkeyed with "plain") extraction through an extractor that counts and times its
//       read and seek primitives, and BlowfishDecryptBlocks alone over a
//       buffer of the cabinet's size: where the read layer's time goes.
#include <windows.h>
#include <fdi.h>
#include <io.h>
#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <algorithm>
#include <string>
#include <vector>

#include "base/text.h"
#include "package/blowfish.h"
#include "package/cab_writer.h"
#include "package/cabinet_win.h"
#include "package/cryp_layer.h"
#include "sys/remove_tree_win.h"

namespace {

bool WriteAll(const wchar_t* path, const std::vector<unsigned char>& data) {
  HANDLE h = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  BOOL ok = ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &done, nullptr);
  ::CloseHandle(h);
  return ok && done == data.size();
}

int Make(double megabytes, const wchar_t* keyedPath, const wchar_t* plainPath, int fileCount) {
  const size_t total = static_cast<size_t>(megabytes * 1024 * 1024);
  // By default files of about 300 KB; with a count, that many files.
  const size_t perFile = fileCount > 0 ? std::max<size_t>(1, total / static_cast<size_t>(fileCount)) : 0;
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
    size_t n = std::min<size_t>(total - made, perFile ? perFile : text ? 300000 : 330000);
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

// fresh: the output folder is removed before each round (not timed), so
// every file is made anew, as in an install; otherwise each round writes
// over the files of the one before.
int Run(const wchar_t* cabArg, const wchar_t* outArg, int repeats, bool keyed, bool fresh) {
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
    if (fresh) RemoveFolderTree(dest.c_str());
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

// ---------------------------------------------------------------------------
// The reference: the same cabinet through the system cabinet library's FDI
// alone, with a plain client (no read layer, no engine of ours). Its output
// handling is the same sequence as ours (one handle per file, times and
// attributes set on it before it is closed), so the figure compares the
// readers.

HANDLE FdiToHandle(INT_PTR h) { return reinterpret_cast<HANDLE>(h); }

std::wstring Wide(const char* s, UINT codePage) {
  int n = ::MultiByteToWideChar(codePage, 0, s, -1, nullptr, 0);
  std::wstring w(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
  if (n > 0) ::MultiByteToWideChar(codePage, 0, s, -1, &w[0], n);
  w.resize(w.size() - 1);
  return w;
}

void* DIAMONDAPI RefAlloc(ULONG cb) { return std::malloc(cb ? cb : 1); }
void DIAMONDAPI RefFree(void* p) { std::free(p); }
INT_PTR DIAMONDAPI RefOpen(char* path, int flags, int) {
  const bool write = (flags & 3) != 0;
  HANDLE h = ::CreateFileW(Wide(path, CP_UTF8).c_str(), write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                           FILE_SHARE_READ, nullptr, write ? CREATE_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(h);
}
UINT DIAMONDAPI RefRead(INT_PTR h, void* buffer, UINT count) {
  DWORD done = 0;
  return ::ReadFile(FdiToHandle(h), buffer, count, &done, nullptr) ? done : static_cast<UINT>(-1);
}
UINT DIAMONDAPI RefWrite(INT_PTR h, void* data, UINT count) {
  DWORD done = 0;
  return ::WriteFile(FdiToHandle(h), data, count, &done, nullptr) ? done : static_cast<UINT>(-1);
}
int DIAMONDAPI RefClose(INT_PTR h) { return ::CloseHandle(FdiToHandle(h)) ? 0 : -1; }
LONG DIAMONDAPI RefSeek(INT_PTR h, LONG distance, int origin) {
  return static_cast<LONG>(::SetFilePointer(FdiToHandle(h), distance, nullptr, static_cast<DWORD>(origin)));
}

std::wstring g_refDest;

// The file's folders, as ours makes them: one look when the folder is there.
void RefMakeFolders(const std::wstring& path) {
  const size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos || cut < g_refDest.size()) return;
  const DWORD a = ::GetFileAttributesW(path.substr(0, cut).c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return;
  for (size_t i = g_refDest.size(); i < path.size(); ++i)
    if (path[i] == L'\\') ::CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

INT_PTR DIAMONDAPI RefNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
  switch (type) {
    case fdintCOPY_FILE: {
      std::wstring name = Wide(info->psz1, (info->attribs & _A_NAME_IS_UTF) ? CP_UTF8 : CP_ACP);
      std::wstring path = g_refDest + name;
      RefMakeFolders(path);
      HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
      return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(h);
    }
    case fdintCLOSE_FILE_INFO: {
      FILETIME local, utc;
      FILE_BASIC_INFO b = {};
      if (::DosDateTimeToFileTime(info->date, info->time, &local) &&
          ::LocalFileTimeToFileTime(&local, &utc)) {
        b.CreationTime.LowPart = b.LastWriteTime.LowPart = utc.dwLowDateTime;
        b.CreationTime.HighPart = b.LastWriteTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
      }
      const DWORD a = info->attribs & 0x27;
      b.FileAttributes = a ? a : FILE_ATTRIBUTE_NORMAL;
      ::SetFileInformationByHandle(FdiToHandle(info->hf), FileBasicInfo, &b, sizeof b);
      ::CloseHandle(FdiToHandle(info->hf));
      return TRUE;
    }
    default:
      return 0;
  }
}

// bench_extract_bench_win fdi PLAIN.cab OUTDIR REPEATS
int RunFdi(const wchar_t* cabArg, const wchar_t* outArg, int repeats) {
  wchar_t cab[MAX_PATH], out[MAX_PATH];
  ::GetFullPathNameW(cabArg, MAX_PATH, cab, nullptr);
  ::GetFullPathNameW(outArg, MAX_PATH, out, nullptr);
  std::wstring dest = out;
  if (dest.back() != L'\\') dest.push_back(L'\\');
  ::CreateDirectoryW(dest.c_str(), nullptr);
  g_refDest = dest;
  std::wstring full = cab;
  const size_t cut = full.rfind(L'\\');
  std::string folder8 = kl::ToUtf8(full.substr(0, cut + 1));
  std::string file8 = kl::ToUtf8(full.substr(cut + 1));

  HMODULE lib = ::LoadLibraryW(L"Cabinet.dll");
  using FnCreate = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE,
                                     PFNSEEK, int, PERF);
  using FnCopy = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
  using FnDestroy = BOOL(DIAMONDAPI*)(HFDI);
  auto create = reinterpret_cast<FnCreate>(reinterpret_cast<void*>(::GetProcAddress(lib, "FDICreate")));
  auto copy = reinterpret_cast<FnCopy>(reinterpret_cast<void*>(::GetProcAddress(lib, "FDICopy")));
  auto destroy = reinterpret_cast<FnDestroy>(reinterpret_cast<void*>(::GetProcAddress(lib, "FDIDestroy")));
  if (!lib || !create || !copy || !destroy) {
    std::fprintf(stderr, "no FDI in Cabinet.dll\n");
    return 1;
  }
  LARGE_INTEGER freq;
  ::QueryPerformanceFrequency(&freq);
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    ERF erf = {};
    HFDI fdi = create(RefAlloc, RefFree, RefOpen, RefRead, RefWrite, RefClose, RefSeek, cpu80386, &erf);
    if (!fdi) return 1;
    LARGE_INTEGER t0, t1;
    ::QueryPerformanceCounter(&t0);
    BOOL ok = copy(fdi, &file8[0], &folder8[0], 0, RefNotify, nullptr, nullptr);
    ::QueryPerformanceCounter(&t1);
    destroy(fdi);
    if (!ok) {
      std::fprintf(stderr, "FDICopy failed: %d\n", erf.erfOper);
      return 1;
    }
    times.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) / freq.QuadPart);
  }
  std::sort(times.begin(), times.end());
  const double mb = Uncompressed(dest) / 1048576.0;
  std::printf("FDI: %.2f MB out in %.1f ms (best of %d) = %.0f MB/s, median %.0f MB/s\n", mb,
              times.front() * 1000, repeats, mb / times.front(), mb / times[times.size() / 2]);
  return 0;
}

// bench_extract_bench_win spawn REPEATS COMMAND-LINE
//   best and median time from CreateProcess to exit of the command line.
int Spawn(int repeats, const wchar_t* commandLine) {
  LARGE_INTEGER freq;
  ::QueryPerformanceFrequency(&freq);
  std::vector<double> times;
  DWORD code = 0;
  for (int i = 0; i < repeats; ++i) {
    std::wstring cmd = commandLine;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER t0, t1;
    ::QueryPerformanceCounter(&t0);
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      std::fprintf(stderr, "cannot start: %lu\n", ::GetLastError());
      return 1;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::QueryPerformanceCounter(&t1);
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    times.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 / freq.QuadPart);
  }
  std::sort(times.begin(), times.end());
  std::printf("spawn: best_ms=%.1f median_ms=%.1f exit=%lu\n", times.front(),
              times[times.size() / 2], code);
  return 0;
}

// bench_extract_bench_win outputs FILES KB OUTDIR
//   the per-file cost of the extractor's output handling, call by call: the
//   earlier sequence (attributes cleared by name, runtime open, write, close,
//   a second open by name for the times, attributes by name) against the one
//   the extractor uses now (runtime open, write, times and attributes on the
//   same handle, close). Both write FILES files of KB kilobytes into 16
//   folders under OUTDIR, with a time and the archive attribute, best of 3.
int Outputs(int files, int kb, const wchar_t* outArg) {
  wchar_t out[MAX_PATH];
  ::GetFullPathNameW(outArg, MAX_PATH, out, nullptr);
  std::wstring root = out;
  if (root.back() != L'\\') root.push_back(L'\\');
  ::CreateDirectoryW(root.c_str(), nullptr);
  std::vector<char> data(static_cast<size_t>(kb) * 1024, 'k');
  LARGE_INTEGER freq;
  ::QueryPerformanceFrequency(&freq);
  auto now = [] { LARGE_INTEGER c; ::QueryPerformanceCounter(&c); return c.QuadPart; };
  FILETIME utc;
  ::DosDateTimeToFileTime(0x40E6, 0x6000, &utc);
  const DWORD kOutAttrs = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
  int wrong = 0;  // files whose size, time or attributes read back differently
  enum { kClear, kOpen, kWrite, kClose, kTimes, kAttrs, kSteps };
  static const char* const kNames[kSteps] = {"clear attributes by name", "open", "write", "close",
                                            "reopen+times+close", "attributes by name"};
  double best[2][kSteps + 1];
  for (auto& row : best)
    for (double& v : row) v = 1e30;
  for (int round = 0; round < 3; ++round) {
    for (int variant = 0; variant < 2; ++variant) {
      std::wstring dir = root + (variant ? L"new" : L"old") + std::to_wstring(round) + L"\\";
      ::CreateDirectoryW(dir.c_str(), nullptr);
      for (int f = 0; f < 16; ++f) ::CreateDirectoryW((dir + L"f" + std::to_wstring(f)).c_str(), nullptr);
      int64_t ticks[kSteps] = {};
      const int64_t start = now();
      for (int i = 0; i < files; ++i) {
        std::wstring path = dir + L"f" + std::to_wstring(i % 16) + L"\\file" + std::to_wstring(i) + L".dat";
        int64_t t = now(), u;
        if (!variant) {
          ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          u = now(); ticks[kClear] += u - t; t = u;
        }
        int h = _wopen(path.c_str(), 0x8321, 0x180);
        u = now(); ticks[kOpen] += u - t; t = u;
        if (h < 0) return 1;
        _write(h, data.data(), static_cast<unsigned>(data.size()));
        u = now(); ticks[kWrite] += u - t; t = u;
        if (variant) {
          FILE_BASIC_INFO b = {};
          b.CreationTime.LowPart = b.LastWriteTime.LowPart = utc.dwLowDateTime;
          b.CreationTime.HighPart = b.LastWriteTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
          b.FileAttributes = kOutAttrs;
          ::SetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(h)), FileBasicInfo, &b, sizeof b);
          u = now(); ticks[kTimes] += u - t; t = u;
        }
        _close(h);
        u = now(); ticks[kClose] += u - t; t = u;
        if (!variant) {
          HANDLE f2 = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          ::SetFileTime(f2, &utc, nullptr, &utc);
          ::CloseHandle(f2);
          u = now(); ticks[kTimes] += u - t; t = u;
          ::SetFileAttributesW(path.c_str(), kOutAttrs);
          u = now(); ticks[kAttrs] += u - t; t = u;
        }
      }
      const int64_t total = now() - start;
      for (int i = 0; i < files; ++i) {
        std::wstring path = dir + L"f" + std::to_wstring(i % 16) + L"\\file" + std::to_wstring(i) + L".dat";
        WIN32_FILE_ATTRIBUTE_DATA d = {};
        if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d) ||
            (d.dwFileAttributes & 0x27) != kOutAttrs || d.nFileSizeLow != data.size() ||
            d.ftLastWriteTime.dwLowDateTime != utc.dwLowDateTime ||
            d.ftLastWriteTime.dwHighDateTime != utc.dwHighDateTime ||
            d.ftCreationTime.dwLowDateTime != utc.dwLowDateTime)
          ++wrong;
      }
      for (int k = 0; k < kSteps; ++k)
        best[variant][k] = std::min(best[variant][k], ticks[k] * 1e6 / freq.QuadPart / files);
      best[variant][kSteps] = std::min(best[variant][kSteps], total * 1e6 / freq.QuadPart / files);
    }
  }
  for (int variant = 0; variant < 2; ++variant) {
    std::printf("%s sequence: %.1f us a file (%d files of %d KB, best of 3):", variant ? "new" : "old",
                best[variant][kSteps], files, kb);
    for (int k = 0; k < kSteps; ++k)
      if (best[variant][k] > 0.05)
        std::printf(" %s %.1f;", variant && k == kTimes ? "times+attributes on the handle" : kNames[k],
                    best[variant][k]);
    std::printf("\n");
  }
  std::printf("output handling per file: new/old %.2f; files read back with other size, times or"
              " attributes: %d\n", best[1][kSteps] / best[0][kSteps], wrong);
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return 2;
  if ((argc == 5 || argc == 6) && std::wcscmp(argv[1], L"make") == 0)
    return Make(std::wcstod(argv[2], nullptr), argv[3], argv[4],
                argc == 6 ? static_cast<int>(std::wcstol(argv[5], nullptr, 10)) : 0);
  if (argc == 5 && std::wcscmp(argv[1], L"outputs") == 0)
    return Outputs(std::max(1, static_cast<int>(std::wcstol(argv[2], nullptr, 10))),
                   std::max(1, static_cast<int>(std::wcstol(argv[3], nullptr, 10))), argv[4]);
  if (argc == 5 && std::wcscmp(argv[1], L"fdi") == 0)
    return RunFdi(argv[2], argv[3], std::max(1, static_cast<int>(std::wcstol(argv[4], nullptr, 10))));
  if (argc == 4 && std::wcscmp(argv[1], L"spawn") == 0)
    return Spawn(std::max(1, static_cast<int>(std::wcstol(argv[2], nullptr, 10))), argv[3]);
  if ((argc == 4 || argc == 5) && std::wcscmp(argv[1], L"profile") == 0)
    return Profile(argv[2], argv[3], !(argc == 5 && std::wcscmp(argv[4], L"plain") == 0));
  if ((argc == 5 || argc == 6) && std::wcscmp(argv[1], L"run") == 0)
    return Run(argv[2], argv[3], std::max(1, static_cast<int>(std::wcstol(argv[4], nullptr, 10))),
               !(argc == 6 && std::wcscmp(argv[5], L"plain") == 0),
               argc == 6 && std::wcscmp(argv[5], L"fresh") == 0);
  std::fprintf(stderr,
               "usage: bench_extract_bench_win make MB KEYED.cab PLAIN.cab [FILES]\n"
               "       bench_extract_bench_win run CAB OUTDIR REPEATS [plain|fresh]\n"
               "       bench_extract_bench_win profile CAB OUTDIR [plain]\n"
               "       bench_extract_bench_win fdi PLAIN.cab OUTDIR REPEATS\n"
               "       bench_extract_bench_win outputs FILES KB OUTDIR\n"
               "       bench_extract_bench_win spawn REPEATS \"COMMAND LINE\"\n");
  return 2;
}
