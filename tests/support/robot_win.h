// A small robot for end-to-end tests running inside Wine: it starts the real
// programs, finds their processes and windows, reads what they show and acts
// as the user (buttons, edits, message boxes). Every call returns a result;
// nothing throws. Window texts are read with WM_GETTEXT, which the system
// carries across processes.
#pragma once

#include <windows.h>
#include <objbase.h>  // owners_win.h uses COM start-up
#include <commctrl.h>

#include <string>
#include <utility>
#include <vector>

#include "ui/owners_win.h"

namespace robot {

// ---- processes ------------------------------------------------------------

struct StartOptions {
  // Added to (or replacing) this process's environment for the child.
  std::vector<std::pair<std::wstring, std::wstring>> environment;
  std::wstring workingDirectory;  // empty: this process's
};

// A started program: both handles owned.
struct Process {
  ui::ProcessInfo info;
  bool valid() const { return info.process.valid(); }
  DWORD pid() const { return info.pid; }
  HANDLE handle() const { return info.process.get(); }
};

// Starts exe with arguments (the command line is "\"exe\" arguments").
// false (and *out untouched) when CreateProcessW fails.
bool Start(const std::wstring& exe, const std::wstring& arguments, Process* out,
           const StartOptions& options = {});

// Waits for a process to end. true when it ended in time; *exitCode gets its
// exit code then.
bool WaitExit(HANDLE process, DWORD timeoutMs, DWORD* exitCode = nullptr);
bool WaitExit(const Process& p, DWORD timeoutMs, DWORD* exitCode = nullptr);

// Ends a process this test started (or found) and waits for it.
bool Kill(DWORD pid, DWORD timeoutMs = 5000);

std::vector<DWORD> ListProcesses();
// Full image path of a process ("" when it cannot be read).
std::wstring ProcessImagePath(DWORD pid);
// Processes whose image path ends with tail (case-insensitive), e.g.
// L"\\setup.exe". excludePid is skipped (0: none).
std::vector<DWORD> FindProcesses(const std::wstring& tail, DWORD excludePid = 0);
// The first of FindProcesses, or 0.
DWORD FindProcess(const std::wstring& tail, DWORD excludePid = 0);
// Polls until a process with that tail exists; its pid or 0 on time-out.
DWORD WaitProcess(const std::wstring& tail, DWORD timeoutMs);
// Polls until no process with that tail exists.
bool WaitNoProcess(const std::wstring& tail, DWORD timeoutMs);

// Another process's command line, read from its process parameters. A
// process that has only just been created may not have them yet (empty or
// partial result): read once it is up, or poll.
bool ReadCommandLine(DWORD pid, std::wstring* out);

// ---- windows --------------------------------------------------------------

// Caption (or a control's text) through WM_GETTEXT; "" when none.
std::wstring Text(HWND hwnd);
// Sets a window's or edit's text (WM_SETTEXT). true when accepted.
bool SetText(HWND hwnd, const std::wstring& text);
std::wstring ClassName(HWND hwnd);
DWORD WindowPid(HWND hwnd);

// Visible top-level windows with exactly this caption; className and pid
// narrow the search when given (null / 0: any).
std::vector<HWND> FindTopWindows(const std::wstring& caption, const wchar_t* className = nullptr,
                                 DWORD pid = 0);
HWND FindTopWindow(const std::wstring& caption, const wchar_t* className = nullptr,
                   DWORD pid = 0);
// Polls for such a window; nullptr on time-out.
HWND WaitTopWindow(const std::wstring& caption, DWORD timeoutMs,
                   const wchar_t* className = nullptr, DWORD pid = 0);
// Every visible top-level window of a process.
std::vector<HWND> WindowsOf(DWORD pid);

HWND Control(HWND dialog, int id);
bool IsEnabled(HWND hwnd);
bool IsVisible(HWND hwnd);
std::wstring ControlText(HWND dialog, int id);

// Clicks a button control as a user would: false (nothing sent) when it is
// disabled or hidden. Posted BM_CLICK, so a modal loop that the click opens
// does not block the test.
bool Click(HWND button);
bool ClickControl(HWND dialog, int id);
// Posts WM_COMMAND(id, BN_CLICKED) to the dialog, as a click would, without
// looking at the control's state (e.g. for message-box buttons).
bool Command(HWND dialog, int id);

// Sets a list view row's state in the list's process (selection, check box),
// as a click would, through an item block in that process. false when the
// list refused it or could not be reached.
bool SetListViewRowState(HWND listView, int row, UINT state, UINT mask);
inline bool SelectListViewRow(HWND listView, int row) {
  return SetListViewRowState(listView, row, LVIS_SELECTED | LVIS_FOCUSED,
                             LVIS_SELECTED | LVIS_FOCUSED);
}
inline bool CheckListViewRow(HWND listView, int row) {
  return SetListViewRowState(listView, row, INDEXTOSTATEIMAGEMASK(2), LVIS_STATEIMAGEMASK);
}

// List box lines (LB_GETTEXT).
std::vector<std::wstring> ListBoxLines(HWND listBox);
// List view rows, one column (cross-process: the item and its text buffer
// live in the owner's memory). Empty on failure.
std::vector<std::wstring> ListViewColumn(HWND listView, int column = 0);

// ---- message boxes --------------------------------------------------------

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr int kMessageTextId = 0xFFFF;  // the static that holds a message box's text
constexpr int kMessageIconId = 0x0440;  // the static that holds its icon

struct MsgBox {
  HWND hwnd = nullptr;
  std::wstring caption;
  std::wstring text;
  bool hasIcon = false;
  explicit operator bool() const { return hwnd != nullptr; }
};

// Reads a message-box window.
MsgBox ReadMessageBox(HWND hwnd);
// Waits for a "#32770" window with this caption (of pid, when given).
MsgBox WaitMessageBox(const std::wstring& caption, DWORD timeoutMs, DWORD pid = 0);
// Answers it: IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7.
bool Answer(HWND messageBox, int buttonId);

// ---- registry -------------------------------------------------------------

// Writes a REG_SZ value (NUL counted), creating the key. true when written.
bool SetRegistryString(HKEY hive, const std::wstring& key, const wchar_t* name,
                       const std::wstring& value);

// ---- waiting --------------------------------------------------------------

// Calls done() every pollMs until it returns true or timeoutMs have passed.
template <class Pred>
bool WaitUntil(Pred done, DWORD timeoutMs, DWORD pollMs = 50) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(pollMs);
  }
}

}  // namespace robot
