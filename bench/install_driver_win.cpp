// Times installs from inside Wine, for bench/install.sh.
//
//   bench_install_driver_win.exe ours SETUP.EXE KEY DISPLAYNAME [keep] [trace]
//     Starts our setup, waits for the wizard "欢迎使用 <display> 安装程序",
//     accepts the licence (1012), clicks install (1) and times from that click
//     until button 1 reads "完成安装(&O)"; then presses it and waits until the
//     whole process tree (the started file, its working copy and what that
//     starts) has ended. Prints
//       click_ms=<click to finished caption> whole_ms=<start to end of tree>
//       ready_ms=<start to the install click: relaunch, extraction, wizard>
//       close_ms=<finish pressed to end of tree: start-up's clean-up>
//       dir=<install folder shown by the wizard>
//     and then removes the install (see clean-ours) unless "keep" is given.
//     "trace" also prints each progress line (list 1006) as it appears, with
//     its time since the click.
//     Exit code 0; 3 when no wizard shows up (its processes are ended);
//     4 when the install ends with "退出安装(&O)" or does not finish in time.
//   bench_install_driver_win.exe uninstall INSTALLDIR KEY DISPLAYNAME
//     Starts "<INSTALLDIR>unstall.exe -u name=[KEY]", waits for the dialog
//     "<display> - 卸载程序", clicks "卸载(&U)" and times from that click
//     until button 1 reads "完成(&O)"; then presses it and waits until the
//     whole process tree has ended. Prints
//       click_ms=<click to finished caption> whole_ms=<start to end of tree>
//     Exit code 0; 3 when no dialog shows up; 4 when it does not finish.
//   bench_install_driver_win.exe time EXE [ARGS...]
//     Times one whole process: CreateProcess until it has exited (for msiexec
//     and the NSIS installer). Prints "whole_ms=<ms> exit=<code>"; the exit
//     code is passed on. Arguments ending in ".msi" are made full paths.
//   bench_install_driver_win.exe timetree EXE [ARGS...]
//     The same until the whole process tree has ended (for an uninstaller
//     that copies itself away and runs the copy).
//   bench_install_driver_win.exe clean-ours KEY DISPLAYNAME [INSTALLDIR]
//     Removes what an install of our product leaves, so the next run starts
//     clean: keyboard layouts of "<KEY>.kelo.ime" and the module, the install
//     folder (default "<program files>\<KEY>\"), the data folder, the
//     uninstall record, the vendor keys and the links.
//   bench_install_driver_win.exe remove PATH...
//     Removes folder trees and (for "HKLM\..." / "HKCU\...") registry trees.
//
// Times are QueryPerformanceCounter deltas in milliseconds.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "install/ime_win.h"
#include "robot_win.h"
#include "state/cmdline_win.h"
#include "testfs_win.h"
#include "ui/owners_win.h"

namespace {

constexpr wchar_t kFinished[] = L"完成安装(&O)";
constexpr wchar_t kFailed[] = L"退出安装(&O)";
constexpr int kAcceptId = 1012;
constexpr int kInstallId = 1;
constexpr int kFolderEditId = 1022;
constexpr int kProgressListId = 1006;
constexpr DWORD kWizardTimeoutMs = 60000;
constexpr DWORD kInstallTimeoutMs = 180000;
constexpr DWORD kPollMs = 2;

double NowMs() {
  static LARGE_INTEGER freq = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

void Print(const std::wstring& s) {  // UTF-8 on the standard output
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, s.c_str(), -1, &out[0], n, nullptr, nullptr);
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buf[MAX_PATH];
  const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, buf, nullptr);
  return (n > 0 && n < MAX_PATH) ? std::wstring(buf) : path;
}

std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  return L"\"" + arg + L"\"";
}

// ---- process trees ----------------------------------------------------------

struct Snapshot {
  DWORD pid;
  DWORD parent;
};

std::vector<Snapshot> TakeSnapshot() {
  std::vector<Snapshot> all;
  ui::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snap) return all;
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof(e);
  for (BOOL ok = Process32FirstW(snap.get(), &e); ok; ok = Process32NextW(snap.get(), &e))
    all.push_back({e.th32ProcessID, e.th32ParentProcessID});
  return all;
}

// Follows the descendants of one started process: every process seen with a
// known parent is opened (so its handle can be waited on even after it has
// ended), and the tree is done when every opened process has exited.
class Tree {
 public:
  explicit Tree(DWORD root, HANDLE rootHandle) {
    HANDLE dup = nullptr;
    DuplicateHandle(GetCurrentProcess(), rootHandle, GetCurrentProcess(), &dup, SYNCHRONIZE, FALSE,
                    0);
    Add(root, dup);
  }
  void Refresh() {
    for (const Snapshot& s : TakeSnapshot()) {
      if (Known(s.pid) || !Known(s.parent)) continue;
      Add(s.pid, OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, s.pid));
    }
  }
  bool Ended() {
    Refresh();
    for (auto& m : members_)
      if (m.handle && WaitForSingleObject(m.handle.get(), 0) == WAIT_TIMEOUT) return false;
    return true;
  }
  bool WaitEnded(DWORD timeoutMs) {
    return robot::WaitUntil([this] { return Ended(); }, timeoutMs, 5);
  }
  // " <pid> <image>" for each member still running.
  std::wstring Alive() {
    std::wstring out;
    for (auto& m : members_) {
      if (!m.handle || WaitForSingleObject(m.handle.get(), 0) != WAIT_TIMEOUT) continue;
      out += L" " + std::to_wstring(m.pid) + L" " + robot::ProcessImagePath(m.pid);
    }
    return out;
  }
  void KillAll() {
    Refresh();
    for (auto& m : members_) robot::Kill(m.pid, 3000);
  }

 private:
  struct Member {
    DWORD pid;
    ui::Handle handle;
  };
  bool Known(DWORD pid) const {
    for (const auto& m : members_)
      if (m.pid == pid) return true;
    return false;
  }
  void Add(DWORD pid, HANDLE h) { members_.push_back({pid, ui::Handle(h)}); }
  std::vector<Member> members_;
};

// ---- the wizard -------------------------------------------------------------

struct ChildQuery {
  int id;
  HWND found;
};

BOOL CALLBACK FindChildById(HWND hwnd, LPARAM lp) {
  auto* q = reinterpret_cast<ChildQuery*>(lp);
  if (GetDlgCtrlID(hwnd) == q->id) {
    q->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

// A control anywhere below the dialog (the pages are child dialogs).
HWND Descendant(HWND dialog, int id) {
  ChildQuery q{id, nullptr};
  EnumChildWindows(dialog, FindChildById, reinterpret_cast<LPARAM>(&q));
  return q.found;
}

int CleanOurs(const std::wstring& key, const std::wstring& display, std::wstring dir);

int RunOurs(const std::wstring& setup, const std::wstring& key, const std::wstring& display,
            bool keep, bool trace) {
  const std::wstring caption = L"欢迎使用 " + display + L" 安装程序";
  const double start = NowMs();
  robot::Process p;
  if (!robot::Start(FullPath(setup), L"", &p)) {
    Print(L"cannot start " + setup + L"\n");
    return 2;
  }
  Tree tree(p.pid(), p.handle());

  // The started file relaunches itself from its working copy; the wizard
  // belongs to that copy. Keep the tree current while waiting.
  HWND wizard = nullptr;
  bool ended = false;
  robot::WaitUntil(
      [&] {
        wizard = robot::FindTopWindow(caption);
        ended = !wizard && tree.Ended();
        return wizard != nullptr || ended;
      },
      kWizardTimeoutMs, 10);
  if (!wizard) {
    Print(L"no wizard \"" + caption + (ended ? L"\": the setup ended without one\n"
                                             : L"\" within the time-out\n"));
    tree.KillAll();
    return 3;
  }
  HWND install = robot::Control(wizard, kInstallId);
  robot::ClickControl(wizard, kAcceptId);
  if (!robot::WaitUntil([&] { return robot::IsEnabled(install); }, 10000, kPollMs)) {
    Print(L"the install button stays disabled after accepting the licence\n");
    tree.KillAll();
    return 4;
  }
  const std::wstring folder = robot::Text(Descendant(wizard, kFolderEditId));

  // Traced runs also print each new progress line with its time since the
  // click (reading the list costs time of its own: not for the figures).
  HWND progress = trace ? Descendant(wizard, kProgressListId) : nullptr;
  size_t shown = 0;
  const double click = NowMs();
  robot::Click(install);
  std::wstring state;
  const bool done = robot::WaitUntil(
      [&] {
        if (progress) {
          const std::vector<std::wstring> lines = robot::ListViewColumn(progress);
          for (; shown < lines.size(); ++shown) {
            wchar_t at[40];
            swprintf(at, 40, L"%8.1f ms  ", NowMs() - click);
            Print(at + lines[shown] + L"\n");
          }
        }
        state = robot::Text(install);
        return state == kFinished || state == kFailed;
      },
      kInstallTimeoutMs, progress ? 5 : kPollMs);
  const double finished = NowMs();
  if (!done || state != kFinished) {
    Print(L"install did not finish: button 1 reads \"" + state + L"\"\n");
    tree.KillAll();
    return 4;
  }

  // The worker sets the caption first and enables the button after it; a
  // click on the still disabled button would be lost.
  robot::WaitUntil([&] { return robot::IsEnabled(install); }, 10000, kPollMs);
  robot::Click(install);  // closes the wizard; start-up then cleans up
  const double close = NowMs();
  if (!tree.WaitEnded(60000)) {
    Print(L"the setup processes did not end:" + tree.Alive() + L"\n");
    tree.KillAll();
    return 4;
  }
  const double end = NowMs();
  wchar_t line[600];
  swprintf(line, 600, L"click_ms=%.1f whole_ms=%.1f ready_ms=%.1f close_ms=%.1f dir=%ls\n",
           finished - click, end - start, click - start, end - close, folder.c_str());
  Print(line);
  return keep ? 0 : CleanOurs(key, display, folder);
}

// ---- our uninstall ----------------------------------------------------------

int RunOurUninstall(const std::wstring& dir, const std::wstring& key, const std::wstring& display) {
  const std::wstring caption = display + L" - 卸载程序";
  const double start = NowMs();
  robot::Process p;
  std::wstring folder = dir;
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  if (!robot::Start(folder + L"unstall.exe", L"-u name=[" + key + L"]", &p)) {
    Print(L"cannot start " + folder + L"unstall.exe\n");
    return 2;
  }
  Tree tree(p.pid(), p.handle());
  HWND dialog = nullptr;
  robot::WaitUntil(
      [&] {
        tree.Refresh();
        dialog = robot::FindTopWindow(caption);
        return dialog != nullptr;
      },
      kWizardTimeoutMs, 10);
  if (!dialog) {
    Print(L"no dialog \"" + caption + L"\"\n");
    tree.KillAll();
    return 3;
  }
  HWND button = robot::Control(dialog, kInstallId);
  const double click = NowMs();
  robot::Click(button);
  // The uninstall runs on the dialog's thread: the caption can be read
  // only once it has returned, which is the moment measured.
  const bool done = robot::WaitUntil([&] { return robot::Text(button) == L"完成(&O)"; },
                                     kInstallTimeoutMs, kPollMs);
  const double finished = NowMs();
  if (!done) {
    Print(L"the uninstall did not finish\n");
    tree.KillAll();
    return 4;
  }
  robot::Click(button);
  if (!tree.WaitEnded(60000)) {
    Print(L"the uninstall processes did not end:" + tree.Alive() + L"\n");
    tree.KillAll();
    return 4;
  }
  wchar_t line[200];
  swprintf(line, 200, L"click_ms=%.1f whole_ms=%.1f\n", finished - click, NowMs() - start);
  Print(line);
  return 0;
}

// ---- msiexec and NSIS -------------------------------------------------------

int RunTimed(const std::vector<std::wstring>& args, bool wholeTree) {
  std::wstring exe = args[0];
  if (exe.find(L'\\') != std::wstring::npos || exe.find(L'/') != std::wstring::npos)
    exe = FullPath(exe);
  std::wstring command = Quote(exe);
  for (size_t i = 1; i < args.size(); ++i) {
    std::wstring a = args[i];
    // Package paths given relative to the working folder: msiexec is told
    // full paths.
    if (a.size() > 4 && (a.compare(a.size() - 4, 4, L".msi") == 0)) a = FullPath(a);
    command += L" " + Quote(a);
  }
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION raw = {};
  const double t0 = NowMs();
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &raw)) {
    Print(L"cannot start: " + command + L"\n");
    return 2;
  }
  ui::ProcessInfo pi;
  pi.Take(raw);
  if (wholeTree) {
    Tree tree(raw.dwProcessId, pi.process.get());
    tree.WaitEnded(INFINITE);
  }
  WaitForSingleObject(pi.process.get(), INFINITE);
  const double t1 = NowMs();
  DWORD code = 0;
  GetExitCodeProcess(pi.process.get(), &code);
  wchar_t line[120];
  swprintf(line, 120, L"whole_ms=%.1f exit=%lu\n", t1 - t0, static_cast<unsigned long>(code));
  Print(line);
  return static_cast<int>(code);
}

// ---- clean-up -----------------------------------------------------------------

using testfs::RemoveTree;

std::wstring ShellFolder(int csidl) {
  wchar_t d[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, d))) return L"";
  std::wstring s(d);
  if (!s.empty() && s.back() != L'\\') s += L'\\';
  return s;
}

void RemovePath(const std::wstring& path) {
  if (path.compare(0, 5, L"HKLM\\") == 0) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str() + 5);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str() + 5);
  } else if (path.compare(0, 5, L"HKCU\\") == 0) {
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str() + 5);
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str() + 5);
  } else {
    RemoveTree(FullPath(path));
  }
}

int CleanOurs(const std::wstring& key, const std::wstring& display, std::wstring dir) {
  if (dir.empty()) dir = ShellFolder(CSIDL_PROGRAM_FILES) + key + L"\\";
  const std::wstring module = key + L".kelo.ime";
  RemoveImeLayouts(module.c_str());
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  DeleteFileW((std::wstring(system) + L"\\" + module).c_str());
  wchar_t data[kPathChars];
  if (GetProductDataFolder(key.c_str(), data)) RemoveTree(data);
  RemoveTree(dir);
  RemovePath(L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + key);
  RemovePath(L"HKLM\\Software\\zorbl\\" + key);
  RemovePath(L"HKCU\\Software\\zorbl\\" + key);
  const std::wstring programs = ShellFolder(CSIDL_COMMON_PROGRAMS);
  if (!display.empty() && !programs.empty()) RemoveTree(programs + display);
  const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
  if (!display.empty() && !desktop.empty())
    DeleteFileW((desktop + display + L"系统设置.lnk").c_str());
  const bool clean = GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES;
  if (!clean) Print(L"cannot remove " + dir + L"\n");
  return clean ? 0 : 1;
}

int Usage() {
  Print(
      L"usage: bench_install_driver_win ours SETUP.EXE KEY DISPLAYNAME [keep] [trace]\n"
      L"       bench_install_driver_win uninstall INSTALLDIR KEY DISPLAYNAME\n"
      L"       bench_install_driver_win time EXE [ARGS...]\n"
      L"       bench_install_driver_win timetree EXE [ARGS...]\n"
      L"       bench_install_driver_win clean-ours KEY DISPLAYNAME [INSTALLDIR]\n"
      L"       bench_install_driver_win remove PATH...\n");
  return 2;
}

}  // namespace

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 2;
  std::vector<std::wstring> args(argv + 1, argv + argc);
  LocalFree(argv);
  if (args.empty()) return Usage();
  const std::wstring cmd = args[0];
  args.erase(args.begin());

  if (cmd == L"ours" && args.size() >= 3) {
    bool keep = false, trace = false, known = true;
    for (size_t i = 3; i < args.size(); ++i) {
      keep = keep || args[i] == L"keep";
      trace = trace || args[i] == L"trace";
      known = known && (args[i] == L"keep" || args[i] == L"trace");
    }
    if (known) return RunOurs(args[0], args[1], args[2], keep, trace);
  }
  if (cmd == L"time" && !args.empty()) return RunTimed(args, false);
  if (cmd == L"timetree" && !args.empty()) return RunTimed(args, true);
  if (cmd == L"uninstall" && args.size() == 3) return RunOurUninstall(args[0], args[1], args[2]);
  if (cmd == L"clean-ours" && (args.size() == 2 || args.size() == 3))
    return CleanOurs(args[0], args[1], args.size() == 3 ? args[2] : L"");
  if (cmd == L"remove" && !args.empty()) {
    for (const auto& a : args) RemovePath(a);
    return 0;
  }
  return Usage();
}
