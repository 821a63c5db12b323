// Watches the top-level windows a setup run shows: those of the first
// instance (by its id) and of every working copy (by the copy's file name),
// from a thread of its own, every few milliseconds, for as long as it lives.
// Hidden windows do not count; dialogs (#32770) always do. A check that no
// window was shown means something only once the watch has looked while the
// run was alive: runSeen() says so (the first instance, or one of its copies).
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace robot {

class WindowWatch {
 public:
  // firstPid: the process the test started (0: none); copyTail: the
  // working copy's file name with its backslash (e.g. L"\\copy.exe").
  WindowWatch(DWORD firstPid, const std::wstring& copyTail);
  ~WindowWatch();
  WindowWatch(const WindowWatch&) = delete;
  WindowWatch& operator=(const WindowWatch&) = delete;

  // Ends the watch; every window seen ("class \"caption\"", each once).
  std::vector<std::wstring> Stop();
  // The same while the watch goes on.
  std::vector<std::wstring> Seen() const;
  // Working copies seen alive: 0 until the first is, then at least 1.
  size_t copiesSeen() const;
  // The watch went through the windows while the first instance still ran,
  // or saw a working copy alive.
  bool runSeen() const { return firstSeen_ || copiesSeen() > 0; }

 private:
  void Loop();
  static BOOL CALLBACK Visit(HWND hwnd, LPARAM self);
  bool Ours(DWORD pid);
  void LookForCopies();

  DWORD firstPid_;
  HANDLE first_ = nullptr;  // the first instance, to tell whether it still runs
  std::atomic<bool> firstSeen_{false};
  std::wstring copyTail_;
  std::atomic<bool> stop_{false};
  std::map<DWORD, bool> ours_;   // watch thread only
  std::set<DWORD> listed_;       // processes already looked at, watch thread only
  mutable std::mutex lock_;      // guards seen_ and copies_
  std::vector<std::wstring> seen_;
  std::set<DWORD> copies_;
  std::thread thread_;
};

}  // namespace robot
