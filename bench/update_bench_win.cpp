// Driver update benchmark (run under Wine by update.sh).
//
//   bench_update_bench_win bigdriver SOURCE.dll TARGET.dll MB
//       a driver of about MB megabytes: SOURCE with an RCDATA resource of MB
//       megabytes of incompressible bytes and FileVersion "1.0.0.9".
//   bench_update_bench_win download URL TARGET REPEATS
//       KLIMEUpdate::DownloadFile of URL on a worker thread, REPEATS times
//       with its progress reports going into the list view of a live driver
//       update dialog (template 139 from setup.exe, pumped by this thread,
//       the dialog's own "%d KB" cell update), and REPEATS times without a
//       progress callback. Prints the best time and throughput of each, and
//       the number of progress reports of one download.
//   bench_update_bench_win check SERVER INSTALLDIR CONFIG.ksc
//       the whole driver check of the real dialog (CKL_AutoUpdateDlg, run
//       modally) for a product "KeloBench" installed in INSTALLDIR (its
//       skin.dll is the item) with CONFIG.ksc, against SERVER: from the
//       dialog's start to "更新完毕" in its message list. The prismic
//       question is answered No by this program as soon as it appears.
//   bench_update_bench_win silent SERVER INSTALLDIR CONFIG.ksc
//       the same product updated by "setup.exe -s -g", as a whole process
//       from its start to its exit.
#include <windows.h>
#include <commctrl.h>
#include <wininet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "base/format_win.h"
#include "res/resource.h"
#include "state/cmdline_win.h"
#include "ui/dialog_win.h"
#include "update/autoupdate_dlg_win.h"
#include "update/update_engine_win.h"
#include "update/version_res_win.h"

namespace {

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

std::wstring BinFolder() {
  wchar_t p[MAX_PATH];
  GetModuleFileNameW(nullptr, p, MAX_PATH);
  std::wstring s(p);
  return s.substr(0, s.find_last_of(L'\\') + 1);
}

int BigDriver(const wchar_t* source, const wchar_t* target, int mb) {
  if (!CopyFileW(source, target, FALSE)) return 1;
  std::vector<unsigned char> blob(static_cast<size_t>(mb) * 1024 * 1024);
  uint32_t x = 2463534242u;
  for (auto& b : blob) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x);
  }
  HANDLE h = BeginUpdateResourceW(target, FALSE);
  if (!h) return 1;
  if (!UpdateResourceW(h, RT_RCDATA, MAKEINTRESOURCEW(200), 0x804, blob.data(),
                       static_cast<DWORD>(blob.size())) ||
      !EndUpdateResourceW(h, FALSE))
    return 1;
  return SetVersionString(target, L"FileVersion", L"1.0.0.9") ? 0 : 1;
}

// The driver update dialog's template, shown modeless, with one selected row.
class LiveDialog : public ui::Dialog {
 public:
  LiveDialog() : ui::Dialog(IDD_DRIVER_UPDATE) {}
  BOOL OnInitDialog() override {
    LvInsertColumn(IDC_UPDATE_ITEMS, 0, L"状态", 50);
    LvInsertColumn(IDC_UPDATE_ITEMS, 1, L"驱动名称", 150);
    LvAppendRow(IDC_UPDATE_ITEMS, L"-");
    LvSelectRow(IDC_UPDATE_ITEMS, 0);
    return TRUE;
  }
};

std::atomic<uint32_t> g_reports{0};

std::string Utf8(const wchar_t* w) {
  char buf[512];
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
  return n > 0 ? std::string(buf) : std::string();
}

// The dialog's progress handler: the cell of the selected row.
void ProgressIntoList(const UpdateStatus* status, void* user) {
  ++g_reports;
  HWND list = static_cast<HWND>(user);
  if (!status->amount) return;
  wchar_t text[10];
  if (status->amount <= 10240)
    kl::Format(text, L"%d B", static_cast<int>(status->amount));
  else
    kl::Format(text, L"%d KB", static_cast<int>(status->amount / 1024));
  const int row = static_cast<int>(
      SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  if (row < 0) return;
  LVITEMW it = {};
  it.iSubItem = 0;
  it.pszText = text;
  SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&it));
}

// Runs work on a thread while this thread pumps messages; returns seconds.
template <class Fn>
double Pumped(Fn work) {
  std::atomic<bool> done{false};
  const double t0 = Now();
  std::thread th([&] {
    work();
    done = true;
  });
  while (!done) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  th.join();
  return Now() - t0;
}

// WinINet alone, on this thread, into memory: reads of `chunk` bytes.
double RawRead(const wchar_t* url, DWORD chunk) {
  const double t0 = Now();
  HINTERNET net = InternetOpenW(L"Mavren/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET u = InternetOpenUrlW(net, url, nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE, 0);
  std::vector<unsigned char> buf(chunk + 1);
  DWORD got = 0;
  while (u && InternetReadFile(u, buf.data(), chunk, &got) && got) {
  }
  if (u) InternetCloseHandle(u);
  InternetCloseHandle(net);
  return Now() - t0;
}

int Download(const wchar_t* url, const wchar_t* target, int repeats) {
  ui::Module setup(LoadLibraryExW((BinFolder() + L"setup.exe").c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE));
  ui::SetTemplateModule(setup.get());
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  LiveDialog dialog;
  if (!dialog.Create(nullptr)) {
    std::printf("download: the dialog template could not be created\n");
    return 1;
  }
  dialog.SetVisible(true);
  HWND list = dialog.Item(IDC_UPDATE_ITEMS);
  double bestWith = 1e9, bestWithout = 1e9;
  uint32_t reports = 0;
  LARGE_INTEGER size = {};
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < repeats; ++i) {
      KLIMEUpdate engine;
      UpdateCallbacks cb = {pass == 0 ? &ProgressIntoList : nullptr, nullptr, list};
      // The engine works only in a folder of the run's own: the target's.
      std::wstring folder(target);
      folder.resize(folder.find_last_of(L'\\') + 1);
      engine.SetDownloadFolder(folder.c_str());
      if (!engine.Prepare(cb)) {
        std::printf("download: the engine does not start (the target needs a full path)\n");
        return 1;
      }
      g_reports = 0;
      bool ok = false;
      const double t = Pumped([&] { ok = engine.DownloadFile(url, target); });
      if (!ok) {
        std::printf("download: failed\n");
        return 1;
      }
      if (pass == 0) {
        bestWith = std::min(bestWith, t);
        reports = g_reports;
      } else {
        bestWithout = std::min(bestWithout, t);
      }
    }
  }
  HANDLE f = CreateFileW(target, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  GetFileSizeEx(f, &size);
  CloseHandle(f);
  const double mb = static_cast<double>(size.QuadPart) / (1024.0 * 1024.0);
  std::printf("bytes %lld\n", static_cast<long long>(size.QuadPart));
  std::printf("with progress into the dialog: best %.3f s, %.1f MB/s, %u reports (cell shows \"%s\")\n",
              bestWith, mb / bestWith, reports,
              Utf8(dialog.LvCellText(IDC_UPDATE_ITEMS, 0, 0).c_str()).c_str());
  std::printf("without progress callback:     best %.3f s, %.1f MB/s\n", bestWithout,
              mb / bestWithout);
  double raw511 = 1e9, raw64k = 1e9;
  for (int i = 0; i < repeats; ++i) {
    raw511 = std::min(raw511, RawRead(url, 511));
    raw64k = std::min(raw64k, RawRead(url, 65536));
  }
  std::printf("WinINet alone, 511-byte reads into memory: best %.3f s, %.1f MB/s\n", raw511, mb / raw511);
  std::printf("WinINet alone, 64 KB reads into memory:    best %.3f s, %.1f MB/s\n", raw64k, mb / raw64k);
  std::printf("seconds_with %.6f\nseconds_without %.6f\n", bestWith, bestWithout);
  dialog.Destroy();
  return 0;
}

void SetString(HKEY hive, const std::wstring& key, const wchar_t* name, const std::wstring& v) {
  HKEY k = nullptr;
  if (RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr))
    return;
  RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                 static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
}

constexpr wchar_t kBenchKey[] = L"KeloBench";
const std::wstring kBenchVendor = std::wstring(L"Software\\zorbl\\") + kBenchKey;

// Records the product "KeloBench" as installed in installDir, its update
// server and its config.ksc; false when the data folder cannot be had.
bool RegisterBenchProduct(const wchar_t* server, const wchar_t* installDir,
                          const wchar_t* config, wchar_t (&data)[kPathChars]) {
  SetString(HKEY_LOCAL_MACHINE, kBenchVendor, L"KMEInstallPath", installDir);
  SetString(HKEY_LOCAL_MACHINE, kBenchVendor, L"UpdateServer", server);
  if (!GetProductDataFolder(kBenchKey, data)) return false;
  std::wstring parent(data);
  parent.resize(parent.size() - 1);
  parent.resize(parent.find_last_of(L'\\') + 1);
  CreateDirectoryW(parent.c_str(), nullptr);
  CreateDirectoryW(data, nullptr);
  return CopyFileW(config, (std::wstring(data) + L"config.ksc").c_str(), FALSE) != 0;
}

void UnregisterBenchProduct(const wchar_t* data) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBenchVendor.c_str());
  DeleteFileW((std::wstring(data) + L"config.ksc").c_str());
  RemoveDirectoryW(data);
}

// The unattended update of the same product as a whole process:
// "setup.exe -s -g name=[KeloBench]" from its start to its exit.
int Silent(const wchar_t* server, const wchar_t* installDir, const wchar_t* config) {
  wchar_t data[kPathChars];
  if (!RegisterBenchProduct(server, installDir, config, data)) return 1;
  std::wstring command = L"\"" + BinFolder() + L"setup.exe\" -s -g name=[KeloBench]";
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  const double t0 = Now();
  DWORD code = ~0u;
  if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                     &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  const double t1 = Now();
  UnregisterBenchProduct(data);
  std::printf("silent update, process start to exit: %.3f s (exit code %lu)\n", t1 - t0, code);
  std::printf("seconds_silent %.6f\n", t1 - t0);
  return code == 0 ? 0 : 1;
}

int Check(const wchar_t* server, const wchar_t* installDir, const wchar_t* config) {
  const wchar_t* key = kBenchKey;
  wchar_t data[kPathChars];
  if (!RegisterBenchProduct(server, installDir, config, data)) return 1;

  ui::Module setup(LoadLibraryExW((BinFolder() + L"setup.exe").c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE));
  ui::SetTemplateModule(setup.get());
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);

  std::atomic<bool> stop{false};
  std::atomic<double> doneAt{0};
  std::atomic<double> questionAt{0};
  const DWORD self = GetCurrentProcessId();
  const double t0 = Now();
  // Watches this process's windows: notes when each message line and each
  // change of the item's state cell appear, answers the prismic question,
  // and closes the dialog once "更新完毕" is there.
  std::thread watcher([&] {
    std::wstring lastCell;
    int lastCount = 0;
    double lastCellAt = 0;
    while (!stop) {
      HWND box = FindWindowW(L"#32770", L"prismic驱动更新");
      DWORD pid = 0;
      if (box) GetWindowThreadProcessId(box, &pid);
      if (box && pid == self && questionAt == 0) {
        questionAt = Now();
        std::printf("%7.3f s  prismic question (answered No)\n", questionAt - t0);
        PostMessageW(box, WM_COMMAND, IDNO, 0);
      }
      HWND dlg = FindWindowW(L"#32770", L"KeloBench - 更新程序");
      if (dlg) {
        HWND lb = GetDlgItem(dlg, IDC_MESSAGE_LIST);
        wchar_t cell[32] = {};
        LVITEMW it = {};
        it.pszText = cell;
        it.cchTextMax = 32;
        SendMessageW(GetDlgItem(dlg, IDC_UPDATE_ITEMS), LVM_GETITEMTEXTW, 0,
                     reinterpret_cast<LPARAM>(&it));
        if (lastCell != cell) {
          const bool progress = wcsstr(cell, L"B") != nullptr;
          if (!progress || lastCell.find(L'B') == std::wstring::npos)
            std::printf("%7.3f s  item state \"%s\"\n", Now() - t0, Utf8(cell).c_str());
          if (!progress && lastCell.find(L'B') != std::wstring::npos)
            std::printf("%7.3f s  last progress report \"%s\"\n", lastCellAt - t0,
                        Utf8(lastCell.c_str()).c_str());
          lastCell = cell;
          lastCellAt = Now();
        }
        const int n = static_cast<int>(SendMessageW(lb, LB_GETCOUNT, 0, 0));
        for (; lastCount < n; ++lastCount) {
          wchar_t line[128] = {};
          if (SendMessageW(lb, LB_GETTEXTLEN, lastCount, 0) < 127)
            SendMessageW(lb, LB_GETTEXT, lastCount, reinterpret_cast<LPARAM>(line));
          std::printf("%7.3f s  message \"%s\"\n", Now() - t0, Utf8(line).c_str());
          if (std::wstring(line) == L"更新完毕") {
            doneAt = Now();
            PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
            return;
          }
        }
      }
      Sleep(20);  // light polling: each look is a message to the dialog's thread
    }
  });
  CKL_AutoUpdateDlg dialog;
  dialog.SetName(key);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring downloads = std::wstring(temp) + L"klbench_update\\";
  dialog.SetDownloadFolder(downloads.c_str());
  dialog.DoModal(nullptr);
  stop = true;
  watcher.join();

  UnregisterBenchProduct(data);
  if (doneAt == 0) {
    std::printf("check: no 更新完毕\n");
    return 1;
  }
  std::printf("whole check, dialog start to 更新完毕: %.3f s (fixed waits included: 200 ms timer, "
              "500 ms pause; the prismic question answered after %.3f s)\n",
              doneAt - t0, questionAt > 0 ? questionAt - t0 : 0.0);
  std::printf("seconds_check %.6f\n", doneAt - t0);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 5 && !wcscmp(argv[1], L"bigdriver")) return BigDriver(argv[2], argv[3], _wtoi(argv[4]));
  if (argc >= 5 && !wcscmp(argv[1], L"download")) return Download(argv[2], argv[3], _wtoi(argv[4]));
  if (argc >= 5 && !wcscmp(argv[1], L"check")) return Check(argv[2], argv[3], argv[4]);
  if (argc >= 5 && !wcscmp(argv[1], L"silent")) return Silent(argv[2], argv[3], argv[4]);
  std::fprintf(stderr, "usage: bigdriver SRC DST MB | download URL TARGET N | check SERVER DIR KSC\n");
  return 2;
}
