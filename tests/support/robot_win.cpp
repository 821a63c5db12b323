#include "robot_win.h"

#include <psapi.h>
#include <winternl.h>
#include <commctrl.h>

#include <cstddef>
#include <cstdio>
#include <cwctype>

namespace robot {
namespace {

constexpr UINT kSendTimeoutMs = 3000;

bool SendWithTimeout(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR* result) {
  DWORD_PTR r = 0;
  if (!SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r))
    return false;
  if (result) *result = r;
  return true;
}

bool EqualsNoCase(wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); }

bool EndsWithNoCase(const std::wstring& s, const std::wstring& tail) {
  if (tail.size() > s.size()) return false;
  const size_t off = s.size() - tail.size();
  for (size_t i = 0; i < tail.size(); ++i)
    if (!EqualsNoCase(s[off + i], tail[i])) return false;
  return true;
}

std::wstring NameOf(const std::wstring& entry) {
  size_t eq = entry.find(L'=', 1);  // "=C:=C:\" entries start with '='
  return eq == std::wstring::npos ? entry : entry.substr(0, eq);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// This process's environment with the given variables set: a block of
// "NAME=value\0" entries ended by one more "\0".
std::vector<wchar_t> BuildEnvironment(
    const std::vector<std::pair<std::wstring, std::wstring>>& changes) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(block);
  }
  for (const auto& change : changes) {
    std::wstring entry = change.first + L"=" + change.second;
    bool replaced = false;
    for (auto& e : entries) {
      if (SameName(NameOf(e), change.first)) {
        e = entry;
        replaced = true;
      }
    }
    if (!replaced) entries.push_back(entry);
  }
  std::vector<wchar_t> out;
  for (const auto& e : entries) {
    out.insert(out.end(), e.begin(), e.end());
    out.push_back(0);
  }
  out.push_back(0);
  return out;
}

struct FindWindowsQuery {
  const std::wstring* caption;
  const wchar_t* className;
  DWORD pid;
  std::vector<HWND>* found;
};

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM lp) {
  auto* q = reinterpret_cast<FindWindowsQuery*>(lp);
  if (!IsWindowVisible(hwnd)) return TRUE;
  if (q->pid && WindowPid(hwnd) != q->pid) return TRUE;
  if (q->className && ClassName(hwnd) != q->className) return TRUE;
  if (q->caption) {
    wchar_t text[512] = {};
    GetWindowTextW(hwnd, text, 512);  // no message: safe on a busy window
    if (*q->caption != text) return TRUE;
  }
  q->found->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> Collect(const std::wstring* caption, const wchar_t* className, DWORD pid) {
  std::vector<HWND> found;
  FindWindowsQuery q{caption, className, pid, &found};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&q));
  return found;
}

// Memory in another process, freed when the owner goes.
class RemoteBlock {
 public:
  RemoteBlock(HANDLE process, size_t size)
      : process_(process),
        p_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
  ~RemoteBlock() {
    if (p_) VirtualFreeEx(process_, p_, 0, MEM_RELEASE);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
  char* get() const { return static_cast<char*>(p_); }

 private:
  HANDLE process_;
  void* p_;
};

}  // namespace

// ---- processes ------------------------------------------------------------

bool Start(const std::wstring& exe, const std::wstring& arguments, Process* out,
           const StartOptions& options) {
  std::wstring line = L"\"" + exe + L"\"";
  if (!arguments.empty()) line += L" " + arguments;
  std::vector<wchar_t> mutableLine(line.begin(), line.end());
  mutableLine.push_back(0);

  std::vector<wchar_t> env;
  if (!options.environment.empty()) env = BuildEnvironment(options.environment);

  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  // A start can fail for a moment while the machine is busy (the program
  // file still held by the ending run before, a fork refused); try again
  // briefly and name the reason if it still fails.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(exe.c_str(), mutableLine.data(), nullptr, nullptr, FALSE,
                       CREATE_UNICODE_ENVIRONMENT, env.empty() ? nullptr : env.data(),
                       options.workingDirectory.empty() ? nullptr
                                                        : options.workingDirectory.c_str(),
                       &si, &pi))
      break;
    const DWORD error = GetLastError();
    if (attempt == 3 || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      fwprintf(stderr, L"robot: cannot start %ls (error %lu, attempt %d)\n", exe.c_str(),
               static_cast<unsigned long>(error), attempt);
      SetLastError(error);
      return false;
    }
    fwprintf(stderr, L"robot: start of %ls failed (error %lu), trying again\n", exe.c_str(),
             static_cast<unsigned long>(error));
    Sleep(300);
  }
  out->info.Take(pi);
  return true;
}

bool WaitExit(HANDLE process, DWORD timeoutMs, DWORD* exitCode) {
  if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return false;
  if (exitCode) GetExitCodeProcess(process, exitCode);
  return true;
}

bool WaitExit(const Process& p, DWORD timeoutMs, DWORD* exitCode) {
  return WaitExit(p.handle(), timeoutMs, exitCode);
}

bool Kill(DWORD pid, DWORD timeoutMs) {
  ui::Handle h(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  if (!h) return false;
  TerminateProcess(h.get(), 1);
  return WaitForSingleObject(h.get(), timeoutMs) == WAIT_OBJECT_0;
}

std::vector<DWORD> ListProcesses() {
  std::vector<DWORD> pids(1024);
  for (;;) {
    DWORD bytes = 0;
    if (!EnumProcesses(pids.data(), static_cast<DWORD>(pids.size() * sizeof(DWORD)), &bytes))
      return {};
    if (bytes < pids.size() * sizeof(DWORD)) {
      pids.resize(bytes / sizeof(DWORD));
      return pids;
    }
    pids.resize(pids.size() * 2);
  }
}

std::wstring ProcessImagePath(DWORD pid) {
  ui::Handle h(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!h) h.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!h) return L"";
  wchar_t path[MAX_PATH * 2] = {};
  if (GetModuleFileNameExW(h.get(), nullptr, path, MAX_PATH * 2)) return path;
  DWORD n = MAX_PATH * 2;
  if (QueryFullProcessImageNameW(h.get(), 0, path, &n)) return path;
  return L"";
}

std::vector<DWORD> FindProcesses(const std::wstring& tail, DWORD excludePid) {
  std::vector<DWORD> found;
  for (DWORD pid : ListProcesses()) {
    if (pid == 0 || pid == excludePid) continue;
    if (EndsWithNoCase(ProcessImagePath(pid), tail)) found.push_back(pid);
  }
  return found;
}

DWORD FindProcess(const std::wstring& tail, DWORD excludePid) {
  std::vector<DWORD> found = FindProcesses(tail, excludePid);
  return found.empty() ? 0 : found.front();
}

DWORD WaitProcess(const std::wstring& tail, DWORD timeoutMs) {
  DWORD pid = 0;
  WaitUntil([&] { return (pid = FindProcess(tail)) != 0; }, timeoutMs);
  return pid;
}

bool WaitNoProcess(const std::wstring& tail, DWORD timeoutMs) {
  return WaitUntil([&] { return FindProcess(tail) == 0; }, timeoutMs);
}

bool ReadCommandLine(DWORD pid, std::wstring* out) {
  using QueryFn = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  if (!query) return false;
  ui::Handle h(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!h) return false;

  PROCESS_BASIC_INFORMATION basic = {};
  ULONG got = 0;
  if (query(h.get(), ProcessBasicInformation, &basic, sizeof(basic), &got) < 0 ||
      !basic.PebBaseAddress)
    return false;
  // Only the part of the PEB up to its parameters pointer is read.
  unsigned char peb[offsetof(PEB, ProcessParameters) + sizeof(void*)];
  SIZE_T read = 0;
  if (!ReadProcessMemory(h.get(), basic.PebBaseAddress, peb, sizeof(peb), &read) ||
      read != sizeof(peb))
    return false;
  void* paramsAddress = nullptr;
  memcpy(&paramsAddress, peb + offsetof(PEB, ProcessParameters), sizeof(paramsAddress));
  RTL_USER_PROCESS_PARAMETERS params = {};
  if (!paramsAddress ||
      !ReadProcessMemory(h.get(), paramsAddress, &params, sizeof(params), &read) ||
      read != sizeof(params))
    return false;
  std::wstring line(params.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!line.empty() &&
      (!ReadProcessMemory(h.get(), params.CommandLine.Buffer, &line[0], params.CommandLine.Length,
                          &read) ||
       read != params.CommandLine.Length))
    return false;
  *out = line;
  return true;
}

// ---- windows --------------------------------------------------------------

std::wstring Text(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!hwnd || !SendWithTimeout(hwnd, WM_GETTEXTLENGTH, 0, 0, &length)) return L"";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendWithTimeout(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                       &copied))
    return L"";
  text.resize(copied < text.size() ? copied : text.size() - 1);
  return text;
}

bool SetText(HWND hwnd, const std::wstring& text) {
  DWORD_PTR ok = 0;
  return hwnd &&
         SendWithTimeout(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &ok) &&
         ok;
}

std::wstring ClassName(HWND hwnd) {
  wchar_t name[256] = {};
  return GetClassNameW(hwnd, name, 256) ? name : L"";
}

DWORD WindowPid(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

std::vector<HWND> FindTopWindows(const std::wstring& caption, const wchar_t* className,
                                 DWORD pid) {
  return Collect(&caption, className, pid);
}

HWND FindTopWindow(const std::wstring& caption, const wchar_t* className, DWORD pid) {
  std::vector<HWND> found = FindTopWindows(caption, className, pid);
  return found.empty() ? nullptr : found.front();
}

HWND WaitTopWindow(const std::wstring& caption, DWORD timeoutMs, const wchar_t* className,
                   DWORD pid) {
  HWND hwnd = nullptr;
  WaitUntil([&] { return (hwnd = FindTopWindow(caption, className, pid)) != nullptr; },
            timeoutMs);
  return hwnd;
}

std::vector<HWND> WindowsOf(DWORD pid) { return Collect(nullptr, nullptr, pid); }

HWND Control(HWND dialog, int id) { return dialog ? GetDlgItem(dialog, id) : nullptr; }
bool IsEnabled(HWND hwnd) { return hwnd && IsWindowEnabled(hwnd); }
bool IsVisible(HWND hwnd) { return hwnd && IsWindowVisible(hwnd); }
std::wstring ControlText(HWND dialog, int id) { return Text(Control(dialog, id)); }

bool Click(HWND button) {
  // A user cannot click what is disabled or hidden; BM_CLICK itself would.
  if (!button || !IsWindowEnabled(button) || !IsWindowVisible(button)) return false;
  return PostMessageW(button, BM_CLICK, 0, 0);
}
bool ClickControl(HWND dialog, int id) { return Click(Control(dialog, id)); }

bool Command(HWND dialog, int id) {
  return dialog && PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                reinterpret_cast<LPARAM>(Control(dialog, id)));
}

std::vector<std::wstring> ListBoxLines(HWND listBox) {
  std::vector<std::wstring> lines;
  DWORD_PTR count = 0;
  if (!listBox || !SendWithTimeout(listBox, LB_GETCOUNT, 0, 0, &count) ||
      static_cast<LONG_PTR>(count) < 0)
    return lines;
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    if (!SendWithTimeout(listBox, LB_GETTEXTLEN, i, 0, &length) ||
        static_cast<LONG_PTR>(length) < 0)
      return {};
    std::wstring line(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendWithTimeout(listBox, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&line[0]), &copied) ||
        static_cast<LONG_PTR>(copied) < 0)
      return {};
    line.resize(copied <= length ? copied : length);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::wstring> ListViewColumn(HWND listView, int column) {
  std::vector<std::wstring> rows;
  DWORD_PTR count = 0;
  if (!listView || !SendWithTimeout(listView, LVM_GETITEMCOUNT, 0, 0, &count)) return rows;
  ui::Handle process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE,
                                 FALSE, WindowPid(listView)));
  if (!process) return rows;

  constexpr int kChars = 1024;
  RemoteBlock remote(process.get(), sizeof(LVITEMW) + kChars * sizeof(wchar_t));
  if (!remote.get()) return rows;
  char* remoteText = remote.get() + sizeof(LVITEMW);

  for (DWORD_PTR i = 0; i < count; ++i) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.iSubItem = column;
    item.pszText = reinterpret_cast<LPWSTR>(remoteText);
    item.cchTextMax = kChars;
    SIZE_T moved = 0;
    if (!WriteProcessMemory(process.get(), remote.get(), &item, sizeof(item), &moved))
      return {};
    DWORD_PTR length = 0;
    if (!SendWithTimeout(listView, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(remote.get()),
                         &length))
      return {};
    wchar_t text[kChars] = {};
    if (!ReadProcessMemory(process.get(), remoteText, text, sizeof(text), &moved)) return {};
    text[kChars - 1] = 0;
    rows.emplace_back(text);
  }
  return rows;
}

bool SetListViewRowState(HWND listView, int row, UINT state, UINT mask) {
  ui::Handle process(
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, WindowPid(listView)));
  if (!process) return false;
  RemoteBlock remote(process.get(), sizeof(LVITEMW));
  if (!remote.get()) return false;
  LVITEMW item = {};
  item.state = state;
  item.stateMask = mask;
  SIZE_T moved = 0;
  DWORD_PTR result = 0;
  return WriteProcessMemory(process.get(), remote.get(), &item, sizeof item, &moved) &&
         SendWithTimeout(listView, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                         reinterpret_cast<LPARAM>(remote.get()), &result) &&
         result;
}

bool SetRegistryString(HKEY hive, const std::wstring& key, const wchar_t* name,
                       const std::wstring& value) {
  ui::RegKey k;
  if (RegCreateKeyExW(hive, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.out(),
                      nullptr) != ERROR_SUCCESS)
    return false;
  return RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
         ERROR_SUCCESS;
}

// ---- message boxes --------------------------------------------------------

MsgBox ReadMessageBox(HWND hwnd) {
  MsgBox box;
  if (!hwnd) return box;
  box.hwnd = hwnd;
  box.caption = Text(hwnd);
  box.text = ControlText(hwnd, kMessageTextId);
  HWND icon = Control(hwnd, kMessageIconId);
  DWORD_PTR handle = 0;
  box.hasIcon = icon && IsWindowVisible(icon) &&
                SendWithTimeout(icon, STM_GETICON, 0, 0, &handle) && handle != 0;
  return box;
}

MsgBox WaitMessageBox(const std::wstring& caption, DWORD timeoutMs, DWORD pid) {
  return ReadMessageBox(WaitTopWindow(caption, timeoutMs, kDialogClass, pid));
}

bool Answer(HWND messageBox, int buttonId) { return Command(messageBox, buttonId); }

}  // namespace robot
