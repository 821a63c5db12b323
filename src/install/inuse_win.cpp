// The scan for processes that hold the input method's module, and the dialog
// that lists them and ends them on request.
#include "install/inuse_win.h"

#include <psapi.h>
#include <tlhelp32.h>

#include "base/format_win.h"
#include "base/text.h"
#include "state/setup_log_win.h"
#include "ui/owners_win.h"

namespace {

// Query-information and virtual-memory-read: enough to list a process's
// modules and read their names.
constexpr DWORD kInspectAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr DWORD kFirstIdBufferBytes = 1024;  // 256 identifiers
constexpr DWORD kModuleBatch = 1024;

// true when `path` ends with `tail`, compared without regard to case.
bool EndsWithNoCase(const wchar_t* path, const wchar_t* tail) {
  const size_t pathLen = kl::StrLen(path);
  const size_t tailLen = kl::StrLen(tail);
  if (tailLen == 0 || tailLen > pathLen) return false;
  return ::CompareStringOrdinal(path + (pathLen - tailLen), static_cast<int>(tailLen), tail,
                                static_cast<int>(tailLen), TRUE) == CSTR_EQUAL;
}

// Tests `count` module handles of `process`: true when one of them is the
// searched module. Each module's path is asked of the memory it maps, one
// question per module; where that cannot be answered, of the process's module
// list (which walks that list again for every module). A module whose name
// cannot be read either way is skipped.
bool AnyModuleMatches(HANDLE process, const HMODULE* modules, DWORD count,
                      const wchar_t* moduleName) {
  // The mapped name is the device form of the path, longer than the one the
  // loader keeps: room for that, and a name cut short is not compared.
  constexpr DWORD kMappedChars = 1024;
  for (DWORD i = 0; i < count; ++i) {
    wchar_t path[kMappedChars] = {};
    const DWORD n = ::GetMappedFileNameW(process, modules[i], path, kMappedChars);
    if ((n == 0 || n >= kMappedChars - 1) &&
        ::GetModuleFileNameExW(process, modules[i], path, MAX_PATH) == 0)
      continue;
    path[kMappedChars - 1] = 0;
    if (EndsWithNoCase(path, moduleName)) return true;
  }
  return false;
}

// The base name of the process's first module in the ANSI code page,
// converted to UTF-16 and cut to fit `name`; "" when it cannot be read.
void ReadProcessBaseName(DWORD processId, wchar_t (&name)[100]) {
  name[0] = 0;
  ui::Handle process(::OpenProcess(kInspectAccess, FALSE, processId));
  if (!process) return;
  HMODULE first = nullptr;
  DWORD needed = 0;
  if (!::EnumProcessModules(process.get(), &first, sizeof(first), &needed) || !first) return;
  char ansi[MAX_PATH] = {};
  if (::GetModuleBaseNameA(process.get(), first, ansi, MAX_PATH) == 0) return;
  wchar_t wide[MAX_PATH + 1] = {};
  if (::MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, MAX_PATH + 1) == 0) return;
  kl::Copy(name, wide);
}

// Looks through one module snapshot of the process: every module's full path
// in a single listing (for a process whose module handles cannot be listed).
// false also when no snapshot can be had either.
bool SnapshotHoldsModule(DWORD processId, const wchar_t* moduleName) {
  ui::Handle snapshot;
  for (int attempt = 0; attempt < 3; ++attempt) {
    snapshot.reset(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
    if (snapshot) break;
    // The module list was changing while it was read: try again.
    if (::GetLastError() != ERROR_BAD_LENGTH) return false;
  }
  if (!snapshot) return false;
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  if (!::Module32FirstW(snapshot.get(), &entry)) return false;
  do {
    entry.szExePath[MAX_PATH - 1] = 0;
    if (EndsWithNoCase(entry.szExePath, moduleName)) return true;
  } while (::Module32NextW(snapshot.get(), &entry));
  return false;
}

}  // namespace

bool ProcessHoldsModule(DWORD processId, const wchar_t* moduleName) {
  if (!moduleName || !*moduleName) return false;
  ui::Handle process(::OpenProcess(kInspectAccess, FALSE, processId));
  if (!process) return false;  // a process this one may not inspect is not listed

  HMODULE modules[kModuleBatch] = {};
  DWORD needed = 0;
  if (!::EnumProcessModules(process.get(), modules, sizeof(modules), &needed))
    return SnapshotHoldsModule(processId, moduleName);
  if (needed <= sizeof(modules))
    return AnyModuleMatches(process.get(), modules, needed / sizeof(HMODULE), moduleName);

  // More modules than the first batch holds: fetch them all into a block
  // that grows with what the system reports (the list may grow meanwhile).
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD bytes = needed + kModuleBatch * static_cast<DWORD>(sizeof(HMODULE));
    ui::HeapBlock block(::HeapAlloc(::GetProcessHeap(), 0, bytes));
    if (!block) break;
    auto* all = static_cast<HMODULE*>(block.get());
    if (!::EnumProcessModules(process.get(), all, bytes, &needed)) break;
    if (needed <= bytes)
      return AnyModuleMatches(process.get(), all, needed / sizeof(HMODULE), moduleName);
  }
  // Could not fetch the longer list: the first batch is what is known.
  return AnyModuleMatches(process.get(), modules, kModuleBatch, moduleName);
}

size_t FindImeProcesses(const wchar_t* moduleName, std::vector<ImeProcessRecord>* out) {
  if (!out || !moduleName || !*moduleName) return 0;

  // Fetch every process identifier; a full buffer may mean there are more,
  // so it is doubled until the system leaves room to spare.
  DWORD bytes = kFirstIdBufferBytes;
  ui::HeapBlock ids;
  DWORD filled = 0;
  for (;;) {
    ids.reset(::HeapAlloc(::GetProcessHeap(), 0, bytes));
    if (!ids) return 0;
    if (!::EnumProcesses(static_cast<DWORD*>(ids.get()), bytes, &filled)) return 0;
    if (filled != bytes) break;
    if (bytes > 0x40000000u) return 0;
    bytes *= 2;
  }

  const DWORD* pids = static_cast<const DWORD*>(ids.get());
  size_t added = 0;
  for (DWORD i = 0; i < filled / sizeof(DWORD); ++i) {
    if (!ProcessHoldsModule(pids[i], moduleName)) continue;
    ImeProcessRecord record = {};
    record.processId = pids[i];
    ReadProcessBaseName(pids[i], record.name);
    out->push_back(record);
    ++added;
  }
  return added;
}

size_t ScanImeProcesses(const wchar_t* moduleName, CKL_IMELoadStatus* dialog) {
  if (!dialog) return 0;
  if (moduleName != dialog->moduleName_) kl::Copy(dialog->moduleName_, moduleName);
  dialog->processes_.clear();
  return FindImeProcesses(dialog->moduleName_, &dialog->processes_);
}

BOOL CKL_IMELoadStatus::OnInitDialog() {
  // No taskbar button of its own.
  HWND self = hwnd();
  const LONG_PTR exStyle = ::GetWindowLongPtrW(self, GWL_EXSTYLE);
  ::SetWindowLongPtrW(self, GWL_EXSTYLE, exStyle & ~static_cast<LONG_PTR>(WS_EX_APPWINDOW));
  SetIcon(::LoadIconW(nullptr, IDI_WARNING));

  if (processes_.empty()) {
    EndDialog(0);
    return TRUE;
  }
  FillList(L"进程ID: %u    进程名称: %ls");
  return TRUE;
}

bool CKL_IMELoadStatus::OnCommand(int id, int code, HWND control) {
  switch (id) {
    case kEndProcessesButtonId:
      if (code == BN_CLICKED) EndProcesses();
      return true;
    case IDOK:
      // No OK button: Enter must not report the processes as ended.
      return true;
    case IDCANCEL:
      OnCancel();
      return true;
    default:
      return ui::Dialog::OnCommand(id, code, control);
  }
}

void CKL_IMELoadStatus::EndProcesses() {
  for (const ImeProcessRecord& record : processes_) {
    ui::Handle process(
        ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                      record.processId));
    if (!process) process.reset(::OpenProcess(PROCESS_TERMINATE, FALSE, record.processId));
    if (!process) continue;
    DWORD exitCode = STILL_ACTIVE;
    if (!::GetExitCodeProcess(process.get(), &exitCode)) exitCode = STILL_ACTIVE;
    ::TerminateProcess(process.get(), exitCode);
  }
  ::Sleep(1000);

  processes_.clear();
  FindImeProcesses(moduleName_, &processes_);
  if (processes_.empty()) {
    OnOk();
    return;
  }
  FillList(L"ID: %u    NAME: %ls");
}

void CKL_IMELoadStatus::FillList(const wchar_t* format) {
  LbClear(kImeProcessListId);
  for (const ImeProcessRecord& record : processes_) {
    wchar_t line[160];
    kl::Format(line, format, static_cast<unsigned>(record.processId), record.name);
    LbAdd(kImeProcessListId, line);
  }
}

int CheckImeInUse(HWND owner, const wchar_t* imeFileName) {
  CKL_IMELoadStatus dialog;
  const size_t found = ScanImeProcesses(imeFileName, &dialog);
  setuplog::Writef(L"in-use check of %s: %u process(es) hold it", imeFileName,
                   static_cast<unsigned>(found));
  if (found == 0) return 0;
  const int answer = static_cast<int>(dialog.DoModal(owner));
  setuplog::Writef(L"in-use dialog ended with %d", answer);
  return answer;
}

size_t LogImeInUse(const wchar_t* imeFileName) {
  std::vector<ImeProcessRecord> found;
  FindImeProcesses(imeFileName, &found);
  const size_t n = found.size();
  for (const ImeProcessRecord& p : found)
    setuplog::Writef(L"%s is in use by process %lu (%s); it is not ended", imeFileName,
                     p.processId, p.name[0] ? p.name : L"?");
  return n;
}
