#include "window_watch_win.h"

#include <cwchar>

#include "robot_win.h"

namespace robot {

WindowWatch::WindowWatch(DWORD firstPid, const std::wstring& copyTail)
    : firstPid_(firstPid),
      first_(firstPid ? OpenProcess(SYNCHRONIZE, FALSE, firstPid) : nullptr),
      copyTail_(copyTail),
      thread_([this] { Loop(); }) {}

WindowWatch::~WindowWatch() {
  Stop();
  if (first_) CloseHandle(first_);
}

std::vector<std::wstring> WindowWatch::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return Seen();
}

std::vector<std::wstring> WindowWatch::Seen() const {
  std::lock_guard<std::mutex> hold(lock_);
  return seen_;
}

size_t WindowWatch::copiesSeen() const {
  std::lock_guard<std::mutex> hold(lock_);
  return copies_.size();
}

void WindowWatch::Loop() {
  while (!stop_) {
    // Until the first copy is seen; later ones are found by their windows.
    if (copiesSeen() == 0) LookForCopies();
    EnumWindows(&WindowWatch::Visit, reinterpret_cast<LPARAM>(this));
    // Still running after a whole pass: that pass saw what it showed.
    if (first_ && WaitForSingleObject(first_, 0) == WAIT_TIMEOUT) firstSeen_ = true;
    // A copy that ends at once (a refused switch) lives a few milliseconds:
    // until one is seen, the watch looks again without resting.
    Sleep(copiesSeen() == 0 ? 1 : 10);
  }
}

// New processes only: a copy is seen once it runs, windows or not.
void WindowWatch::LookForCopies() {
  for (DWORD pid : ListProcesses()) {
    if (listed_.count(pid)) continue;
    if (Ours(pid) && pid != firstPid_) {
      std::lock_guard<std::mutex> hold(lock_);
      copies_.insert(pid);
    }
    if (ours_.count(pid)) listed_.insert(pid);  // its image was read
  }
}

BOOL CALLBACK WindowWatch::Visit(HWND hwnd, LPARAM self) {
  auto* w = reinterpret_cast<WindowWatch*>(self);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (!w->Ours(pid)) return TRUE;
  const std::wstring cls = ClassName(hwnd);
  if (!IsWindowVisible(hwnd) && cls != L"#32770") return TRUE;
  const std::wstring line = cls + L" \"" + Text(hwnd) + L"\"";
  std::lock_guard<std::mutex> hold(w->lock_);
  for (const auto& s : w->seen_)
    if (s == line) return TRUE;
  w->seen_.push_back(line);
  return TRUE;
}

bool WindowWatch::Ours(DWORD pid) {
  if (pid == 0) return false;
  if (pid == firstPid_) return true;
  auto it = ours_.find(pid);
  if (it != ours_.end()) return it->second;
  const std::wstring image = ProcessImagePath(pid);
  const bool copy = image.size() >= copyTail_.size() &&
                    _wcsicmp(image.c_str() + image.size() - copyTail_.size(), copyTail_.c_str()) == 0;
  if (!image.empty()) ours_[pid] = copy;  // unreadable: asked again next time
  return copy;
}

}  // namespace robot
