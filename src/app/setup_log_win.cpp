#include "app/setup_log_win.h"

#include <string>
#include <vector>

#include "app/setup_log.h"
#include "base/format_win.h"
#include "base/keyname.h"
#include "base/text.h"

namespace setuplog {

namespace {

struct LogState {
  SRWLOCK lock = SRWLOCK_INIT;  // the system's own lock: no thread library in the program
  bool silent = false;
  bool active = false;
  bool explicitFile = false;
  HANDLE file = INVALID_HANDLE_VALUE;
  std::vector<std::string> pending;  // lines written before the file is open
  std::wstring explicitPath;         // "log=": opened at the first line
  bool written = false;
};

class Guard {
 public:
  explicit Guard(SRWLOCK& l) : l_(l) { AcquireSRWLockExclusive(&l_); }
  ~Guard() { ReleaseSRWLockExclusive(&l_); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  SRWLOCK& l_;
};

LogState& State() {
  static LogState state;
  return state;
}

// Opens path for writing, never through a link: a reparse point at path is
// refused. replaceExisting: truncate what is there, else the old file is
// deleted first (the link itself, never its target) and a new one made.
HANDLE OpenLogFile(const wchar_t* path, bool replaceExisting) {
  if (!replaceExisting) ::DeleteFileW(path);
  HANDLE h = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           replaceExisting ? CREATE_ALWAYS : CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    ::CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

void OpenExplicit(LogState& s);

void WriteRaw(LogState& s, const std::string& bytes) {
  s.written = true;
  if (s.file == INVALID_HANDLE_VALUE && s.explicitFile) OpenExplicit(s);
  if (s.file == INVALID_HANDLE_VALUE) {
    s.pending.push_back(bytes);
    return;
  }
  DWORD written = 0;
  ::WriteFile(s.file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string Line(const wchar_t* text) {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  const Stamp stamp{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  return FormatLine(stamp, text ? text : L"");
}

// Takes the file for the run and writes the mark and the waiting lines.
void Attach(LogState& s, HANDLE h) {
  s.file = h;
  WriteRaw(s, kBom);
  std::vector<std::string> waiting;
  waiting.swap(s.pending);
  for (const std::string& line : waiting) WriteRaw(s, line);
}

void OpenDefault(LogState& s, const wchar_t* key) {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, path);
  if (n == 0 || n > MAX_PATH) return;
  const kl::string16 name = DefaultLogName(key ? key : L"");
  if (!kl::Append(path, name.c_str())) return;
  HANDLE h = OpenLogFile(path, false);
  if (h != INVALID_HANDLE_VALUE) {
    Attach(s, h);
  } else {
    s.pending.clear();
    s.active = false;  // no file: the run goes on without a log
  }
}

// The "log=" file, at the first line. When it cannot be written the default
// file gets the log, and says so.
void OpenExplicit(LogState& s) {
  s.explicitFile = false;
  HANDLE h = OpenLogFile(s.explicitPath.c_str(), true);
  if (h != INVALID_HANDLE_VALUE) {
    Attach(s, h);
    return;
  }
  wchar_t note[MAX_PATH + 80];
  kl::Format(note, L"log file %s cannot be written (Windows error %lu)", s.explicitPath.c_str(),
             ::GetLastError());
  s.pending.push_back(Line(note));
}

}  // namespace

bool Written() {
  LogState& s = State();
  Guard guard(s.lock);
  return s.active && s.written;
}

void SetSilent(bool silent) { State().silent = silent; }
bool Silent() { return State().silent; }

bool Active() {
  LogState& s = State();
  Guard guard(s.lock);
  return s.active;
}

void Open(const wchar_t* explicitPath) {
  LogState& s = State();
  Guard guard(s.lock);
  if (s.active) return;
  s.active = true;
  s.written = false;
  s.explicitFile = explicitPath && explicitPath[0];
  s.explicitPath = s.explicitFile ? explicitPath : L"";
}

void UseProductKey(const wchar_t* key) {
  LogState& s = State();
  Guard guard(s.lock);
  if (!s.active || s.file != INVALID_HANDLE_VALUE || s.explicitFile) return;
  if (!key || !kl::IsPlainKeyNameField(key, 40)) return;
  OpenDefault(s, key);
}

void Write(const wchar_t* text) {
  LogState& s = State();
  Guard guard(s.lock);
  if (!s.active) return;
  WriteRaw(s, Line(text));
}

void Writef(const wchar_t* format, ...) {
  if (!Active()) return;
  wchar_t text[1024];
  va_list ap;
  va_start(ap, format);
  ::StringCchVPrintfW(text, 1024, format, ap);
  va_end(ap);
  Write(text);
}

void Failure(const wchar_t* what, DWORD error) {
  Writef(L"%s failed (Windows error %lu)", what ? what : L"", error);
}

void Close(int exitCode) {
  LogState& s = State();
  Guard guard(s.lock);
  if (!s.active) return;
  WriteRaw(s, Line(ExitLine(exitCode).c_str()));
  if (s.file == INVALID_HANDLE_VALUE && !s.explicitFile) OpenDefault(s, nullptr);
  if (s.file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(s.file);
    s.file = INVALID_HANDLE_VALUE;
  }
  s.pending.clear();
  s.active = false;
  s.explicitFile = false;
}

}  // namespace setuplog
