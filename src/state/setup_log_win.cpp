#include "state/setup_log_win.h"

#include <string>
#include <vector>

#include "base/format_win.h"
#include "base/keyname.h"
#include "base/text.h"
#include "state/setup_log.h"
#include "ui/owners_win.h"

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
  std::wstring key;                  // the product key, once known
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

enum class Refusal { None, CannotWrite, Link, Foreign };

// Opens path as the run's log, never through a link: the file is opened
// itself (a reparse point is refused, so is a file with more than one name),
// and an existing one is checked on the same handle to start with this
// program's log header before that handle truncates it. Anything else is
// kept untouched (why in *why).
HANDLE OpenLogFile(const wchar_t* path, Refusal* why) {
  *why = Refusal::CannotWrite;
  HANDLE raw = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  ui::FileHandle h(raw);
  if (!h) return INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(h.get(), &info)) return INVALID_HANDLE_VALUE;
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      info.nNumberOfLinks > 1) {
    *why = Refusal::Link;
    return INVALID_HANDLE_VALUE;
  }
  if (existed && (info.nFileSizeHigh || info.nFileSizeLow)) {
    unsigned char head[kHeaderBytes];
    DWORD got = 0;
    if (!::ReadFile(h.get(), head, sizeof head, &got, nullptr) ||
        !StartsWithLogHeader(head, got)) {
      *why = Refusal::Foreign;
      return INVALID_HANDLE_VALUE;
    }
    if (::SetFilePointer(h.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !::SetEndOfFile(h.get()))
      return INVALID_HANDLE_VALUE;
  } else if (existed) {
    *why = Refusal::Foreign;  // an empty file is no log of ours either
    return INVALID_HANDLE_VALUE;
  }
  *why = Refusal::None;
  return h.release();
}

// The log line that says why path is not the log.
std::string RefusalLine(const wchar_t* path, Refusal why, DWORD error);

// A new file beside a refused default one: "<name>-<process>-<n>.log",
// created only where nothing (no file, no link) is.
HANDLE OpenFreshBeside(const wchar_t* path) {
  std::wstring base(path);
  if (base.size() > 4) base.resize(base.size() - 4);  // without ".log"
  for (unsigned n = 0; n < 16; ++n) {
    wchar_t fresh[MAX_PATH + 1];
    if (!kl::Format(fresh, L"%s-%lu-%u.log", base.c_str(), ::GetCurrentProcessId(),
                    ::GetTickCount() + n))
      return INVALID_HANDLE_VALUE;
    HANDLE h = ::CreateFileW(fresh, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
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

std::string RefusalLine(const wchar_t* path, Refusal why, DWORD error) {
  wchar_t note[MAX_PATH + 120];
  switch (why) {
    case Refusal::Link:
      kl::Format(note, L"log file %s is a link or a file with other names: kept untouched", path);
      break;
    case Refusal::Foreign:
      kl::Format(note, L"log file %s is not a log of this program: kept untouched", path);
      break;
    default:
      kl::Format(note, L"log file %s cannot be written (Windows error %lu)", path, error);
      break;
  }
  return Line(note);
}

void OpenDefault(LogState& s, const wchar_t* key) {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, path);
  if (n == 0 || n > MAX_PATH) return;
  const kl::string16 name = DefaultLogName(key ? key : L"");
  if (!kl::Append(path, name.c_str())) return;
  Refusal why = Refusal::None;
  HANDLE h = OpenLogFile(path, &why);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    h = OpenFreshBeside(path);
    if (h != INVALID_HANDLE_VALUE) s.pending.push_back(RefusalLine(path, why, error));
  }
  if (h != INVALID_HANDLE_VALUE) {
    Attach(s, h);
  } else {
    s.pending.clear();
    s.active = false;  // no file: the run goes on without a log
  }
}

// The "log=" file, at the first line. When it cannot be written, or is not
// a log of ours, the default file gets the log, and says so.
void OpenExplicit(LogState& s) {
  s.explicitFile = false;
  Refusal why = Refusal::None;
  HANDLE h = OpenLogFile(s.explicitPath.c_str(), &why);
  if (h != INVALID_HANDLE_VALUE) {
    Attach(s, h);
    return;
  }
  s.pending.push_back(RefusalLine(s.explicitPath.c_str(), why, ::GetLastError()));
  if (!s.key.empty()) OpenDefault(s, s.key.c_str());
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
  if (!s.active || s.file != INVALID_HANDLE_VALUE) return;
  if (!key || !kl::IsPlainKeyNameField(key, 40)) return;
  s.key = key;  // names the default file also when "log=" is refused later
  if (!s.explicitFile) OpenDefault(s, key);
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
  if (s.file == INVALID_HANDLE_VALUE && !s.explicitFile)
    OpenDefault(s, s.key.empty() ? nullptr : s.key.c_str());
  if (s.file != INVALID_HANDLE_VALUE) {
    ::CloseHandle(s.file);
    s.file = INVALID_HANDLE_VALUE;
  }
  s.pending.clear();
  s.active = false;
  s.explicitFile = false;
  s.key.clear();
}

}  // namespace setuplog
