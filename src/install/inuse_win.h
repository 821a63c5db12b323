// Which running processes hold the input method's module ("<key>.kelo.ime"),
// and the dialog that lists them and can end them by force. Every operation
// that replaces or removes the module checks first:
//
//   CKL_IMELoadStatus dlg;
//   if (ScanImeProcesses(imeFileName, &dlg) != 0 && dlg.DoModal(owner) != IDOK)
//     ...refuse...
//
// or simply CheckImeInUse(owner, imeFileName), which does the same.
#pragma once

#include <windows.h>

#include <vector>

#include "res/resource.h"
#include "ui/dialog_win.h"

// One process that holds the module.
struct ImeProcessRecord {
  wchar_t name[100];  // base name of its first module (ANSI code page, cut); "" when unreadable
  DWORD processId;
};

// Template 140 (IDD_IME_IN_USE) and its controls.
constexpr int kImeLoadStatusTemplate = IDD_IME_IN_USE;
constexpr int kImeProcessListId = IDC_PROCESS_LIST;        // sorted list box, one line per process
constexpr int kEndProcessesButtonId = IDC_END_PROCESSES;  // "结束进程(&E)"

// Whether process `processId` has a module loaded whose full file name ends
// with moduleName (any tail of the path, compared without regard to case).
// A process that cannot be opened for query and read access does not hold it.
// Every module is tested, also beyond the first 1024.
bool ProcessHoldsModule(DWORD processId, const wchar_t* moduleName);

// Appends one record per running process that holds moduleName, in the order
// the system lists the processes. Returns the number appended; 0 when the
// process list cannot be fetched, and for a null or empty name (which would
// otherwise match every process).
size_t FindImeProcesses(const wchar_t* moduleName, std::vector<ImeProcessRecord>* out);

// The in-use dialog (template 140): the processes found by the scan, one line
// each; "结束进程(&E)" (1015) ends them all, waits a second and scans again.
// Ends with IDOK when none remains, IDCANCEL on Cancel/Esc/close box, and 0
// when it is run with an empty list.
class CKL_IMELoadStatus : public ui::Dialog {
 public:
  CKL_IMELoadStatus() : ui::Dialog(kImeLoadStatusTemplate) {}

  const wchar_t* moduleName() const { return moduleName_; }
  const std::vector<ImeProcessRecord>& processes() const { return processes_; }

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(int id, int code, HWND control) override;

 private:
  friend size_t ScanImeProcesses(const wchar_t* moduleName, CKL_IMELoadStatus* dialog);

  void EndProcesses();
  void FillList(const wchar_t* format);

  wchar_t moduleName_[40] = {};
  std::vector<ImeProcessRecord> processes_;
};

// The scan: copies moduleName into the dialog (cut to 39 characters), empties
// its process list and fills it with the processes that hold that module.
// Returns their number. Needs no window; run it before DoModal.
size_t ScanImeProcesses(const wchar_t* moduleName, CKL_IMELoadStatus* dialog);

// The whole check as every caller uses it: scans for imeFileName and, when a
// process holds it, runs the in-use dialog modally over owner. Returns 0 when
// no process holds the module, otherwise the dialog's result: IDOK when the
// user ended every such process, IDCANCEL when the user gave up (-1 when the
// dialog could not be shown). Go on only with 0 or IDOK.
int CheckImeInUse(HWND owner, const wchar_t* imeFileName);

// The unattended form of the check: never shows a window and never ends a
// process. Writes one log line per process that holds imeFileName and
// returns their number.
size_t LogImeInUse(const wchar_t* imeFileName);
