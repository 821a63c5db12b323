// Folder-tree removal: in this process, then by a hidden command interpreter
// for whatever stays.
#include "sys/remove_tree_win.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <objbase.h>  // owners_win.h needs COM declared under WIN32_LEAN_AND_MEAN

#include <atomic>
#include <new>

#include "base/format_win.h"
#include "base/text.h"
#include "sys/hidden_process_win.h"
#include "ui/owners_win.h"

namespace {

constexpr size_t kNormChars = kNormalisedPathChars;  // room for paths beyond MAX_PATH

std::atomic<ShortPathFunction> g_shortPath{nullptr};
std::atomic<DWORD> g_processStarts{0};

bool SameText(const wchar_t* a, int aLen, const wchar_t* b, int bLen) {
  return ::CompareStringOrdinal(a, aLen, b, bLen, TRUE) == CSTR_EQUAL;
}

bool StartsWith(const wchar_t* s, const wchar_t* prefix) {
  const int n = static_cast<int>(kl::StrLen(prefix));
  return static_cast<int>(kl::StrLen(s)) >= n && SameText(s, n, prefix, n);
}

// Full, long, case-preserving form of path without trailing backslashes
// ("C:\" becomes "C:"). false when the path cannot be brought to that form.
bool Normalise(const wchar_t* path, wchar_t (&out)[kNormChars]) {
  if (!path || !*path) return false;
  wchar_t plain[kNormChars];
  if (StartsWith(path, L"\\\\?\\UNC\\")) {
    kl::Copy(plain, L"\\\\");
    if (!kl::Append(plain, path + 8)) return false;
  } else if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) {
    const wchar_t* rest = path + 4;
    // Only drive paths are understood behind these prefixes; volume and
    // device names are not folders a caller may remove.
    if (!(((rest[0] | 0x20) >= L'a' && (rest[0] | 0x20) <= L'z') && rest[1] == L':'))
      return false;
    if (!kl::Copy(plain, rest)) return false;
  } else {
    if (!kl::Copy(plain, path)) return false;
  }
  // Only fully qualified paths: a relative or drive-relative one ("C:",
  // "C:dir", "\dir", "dir") would mean one folder here and another to the
  // interpreter, which runs in "c:\".
  const bool drivePath = ((plain[0] | 0x20) >= L'a' && (plain[0] | 0x20) <= L'z') &&
                         plain[1] == L':' && plain[2] == L'\\';
  const bool uncPath = plain[0] == L'\\' && plain[1] == L'\\';
  if (!drivePath && !uncPath) return false;
  wchar_t full[kNormChars];
  DWORD n = ::GetFullPathNameW(plain, kNormChars, full, nullptr);
  if (n == 0 || n >= kNormChars) return false;
  n = ::GetLongPathNameW(full, out, kNormChars);
  if (n == 0 || n >= kNormChars) kl::Copy(out, full);
  // Keep the root's own backslash out of the comparison form as well.
  size_t len = kl::StrLen(out);
  while (len > 0 && out[len - 1] == L'\\') out[--len] = 0;
  return len > 0;
}

// true when the normalised path is a drive or share root.
bool IsRoot(const wchar_t* norm) {
  wchar_t probe[kNormChars];
  kl::Copy(probe, norm);
  kl::Append(probe, L"\\");
  const wchar_t* rest = ::PathSkipRootW(probe);
  if (!rest) return kl::StrLen(norm) <= 2;  // no recognisable root: "C:" and the like
  return *rest == 0;
}

bool Equal(const wchar_t* a, const wchar_t* b) {
  return SameText(a, static_cast<int>(kl::StrLen(a)), b, static_cast<int>(kl::StrLen(b)));
}

// true when a equals b or contains it (a is an ancestor of b).
bool EqualOrAncestor(const wchar_t* a, const wchar_t* b) {
  const int la = static_cast<int>(kl::StrLen(a));
  const int lb = static_cast<int>(kl::StrLen(b));
  if (la == lb) return SameText(a, la, b, lb);
  return la < lb && b[la] == L'\\' && SameText(a, la, b, la);
}

// The folder that holds norm ("" for a root).
void Parent(const wchar_t* norm, wchar_t (&out)[kNormChars]) {
  kl::Copy(out, norm);
  wchar_t* slash = nullptr;
  for (wchar_t* p = out; *p; ++p)
    if (*p == L'\\') slash = p;
  if (slash) *slash = 0; else out[0] = 0;
}

class Candidates {
 public:
  void Add(const wchar_t* path) {
    if (count_ >= kMax || !path || !*path) return;
    if (Normalise(path, items_[count_])) ++count_;
  }
  void AddFolder(int csidl) {
    wchar_t buf[MAX_PATH];
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf)))
      Add(buf);
  }
  void AddEnv(const wchar_t* name) {
    wchar_t buf[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(name, buf, MAX_PATH);
    if (n > 0 && n < MAX_PATH) Add(buf);
  }
  void AddParentOf(const wchar_t* path) {
    wchar_t norm[kNormChars];
    wchar_t parent[kNormChars];
    if (!Normalise(path, norm)) return;
    Parent(norm, parent);
    Add(parent);
  }
  size_t count() const { return count_; }
  const wchar_t* operator[](size_t i) const { return items_[i]; }

 private:
  static constexpr size_t kMax = 24;
  wchar_t items_[kMax][kNormChars];
  size_t count_ = 0;
};

void ProtectedFolders(Candidates& c) {
  wchar_t buf[MAX_PATH];
  if (::GetWindowsDirectoryW(buf, MAX_PATH)) c.Add(buf);
  if (::GetSystemWindowsDirectoryW(buf, MAX_PATH)) c.Add(buf);
  if (::GetSystemDirectoryW(buf, MAX_PATH)) c.Add(buf);
  if (::GetSystemWow64DirectoryW(buf, MAX_PATH)) c.Add(buf);
  c.AddFolder(CSIDL_PROGRAM_FILES);
  c.AddFolder(CSIDL_PROGRAM_FILESX86);
  c.AddEnv(L"ProgramFiles");
  c.AddEnv(L"ProgramFiles(x86)");
  c.AddEnv(L"ProgramW6432");
  c.AddFolder(CSIDL_COMMON_APPDATA);
  c.AddEnv(L"ProgramData");
}

// The folders whose direct children are user profiles.
void ProfileFolders(Candidates& c) {
  ui::RegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                      KEY_QUERY_VALUE, key.out()) == ERROR_SUCCESS) {
    wchar_t raw[MAX_PATH] = {};
    DWORD type = 0;
    DWORD bytes = sizeof(raw) - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"ProfilesDirectory", nullptr, &type,
                           reinterpret_cast<BYTE*>(raw), &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
      wchar_t expanded[MAX_PATH];
      DWORD n = ::ExpandEnvironmentStringsW(raw, expanded, MAX_PATH);
      if (n > 0 && n <= MAX_PATH) c.Add(expanded);
    }
  }
  wchar_t buf[MAX_PATH];
  if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buf)))
    c.AddParentOf(buf);
  DWORD n = ::GetEnvironmentVariableW(L"USERPROFILE", buf, MAX_PATH);
  if (n > 0 && n < MAX_PATH) c.AddParentOf(buf);
}

// Puts the current directory back on every way out.
class CurrentDirectoryKeeper {
 public:
  CurrentDirectoryKeeper() {
    DWORD n = ::GetCurrentDirectoryW(MAX_PATH, saved_);
    if (n == 0 || n >= MAX_PATH) saved_[0] = 0;
  }
  ~CurrentDirectoryKeeper() {
    if (saved_[0]) ::SetCurrentDirectoryW(saved_);
  }
  CurrentDirectoryKeeper(const CurrentDirectoryKeeper&) = delete;
  CurrentDirectoryKeeper& operator=(const CurrentDirectoryKeeper&) = delete;

 private:
  wchar_t saved_[MAX_PATH] = {};
};

}  // namespace

void SetRemoveTreeShortPathFunction(ShortPathFunction fn) { g_shortPath = fn; }

DWORD RemoveTreeProcessCount() { return g_processStarts.load(); }

bool NormaliseFolderPath(const wchar_t* path, wchar_t (&out)[kNormalisedPathChars]) {
  return Normalise(path, out);
}

namespace {

// The system and profile folders, in their long form. Each takes a look-up
// of every level of its path, so they are worked out once per process (some
// 30 folder listings) and serve every later check of the run: the removals
// of an uninstall ask for them three or four times. Never destroyed: a
// thread may still be checking when a run ends.
struct ProtectedLists {
  Candidates fixed;
  Candidates profiles;
};
ProtectedLists* g_protected = nullptr;
INIT_ONCE g_protectedOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK BuildProtectedLists(INIT_ONCE*, void*, void**) {
  auto* lists = new (std::nothrow) ProtectedLists;
  if (!lists) return FALSE;
  ProtectedFolders(lists->fixed);
  ProfileFolders(lists->profiles);
  g_protected = lists;
  return TRUE;
}

}  // namespace

bool IsProtectedFolder(const wchar_t* path) {
  wchar_t norm[kNormChars];
  if (!Normalise(path, norm)) return true;
  if (IsRoot(norm)) return true;
  // Without the lists nothing can be told apart: everything is protected.
  if (!::InitOnceExecuteOnce(&g_protectedOnce, &BuildProtectedLists, nullptr, nullptr))
    return true;

  const Candidates& fixed = g_protected->fixed;
  for (size_t i = 0; i < fixed.count(); ++i)
    if (EqualOrAncestor(norm, fixed[i])) return true;

  const Candidates& profiles = g_protected->profiles;
  wchar_t parent[kNormChars];
  Parent(norm, parent);
  for (size_t i = 0; i < profiles.count(); ++i) {
    if (EqualOrAncestor(norm, profiles[i])) return true;
    if (parent[0] && Equal(parent, profiles[i]))
      return true;  // a profile directly in the profiles folder
  }
  return false;
}

namespace {

// The short form of path for an interpreter's command line (the test seam's
// conversion when set). false when it cannot be had or holds a "%": the
// interpreter expands %NAME% even inside quotes, so such a path could name
// another folder.
bool ShortNameForCommand(const wchar_t* path, wchar_t (&out)[MAX_PATH]) {
  ShortPathFunction shortPath = g_shortPath.load();
  if (!shortPath) shortPath = &::GetShortPathNameW;
  const DWORD n = shortPath(path, out, MAX_PATH);
  return n != 0 && n < MAX_PATH && !kl::Find<wchar_t>(out, L"%");
}

constexpr int kMaxTreeDepth = 128;  // a MAX_PATH path has at most ~130 levels

// A file of the tree: read-only ones too, as the interpreter's "rmdir /s"
// removes them.
bool DeleteTreeFile(const wchar_t* path, DWORD attributes) {
  if (::DeleteFileW(path)) return true;
  if (!(attributes & FILE_ATTRIBUTE_READONLY) || ::GetLastError() != ERROR_ACCESS_DENIED)
    return false;
  return ::SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY) &&
         ::DeleteFileW(path);
}

bool RemoveTreeFolder(const wchar_t* path) {
  if (::RemoveDirectoryW(path)) return true;
  const DWORD a = ::GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) &&
         ::SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_READONLY) && ::RemoveDirectoryW(path);
}

// A link found in the tree (a reparse point: junction or symbolic link, to a
// folder or a file), removed as a link through a handle to the link itself.
// Where the system opens what the link points to instead (Wine does so for
// the Unix links it reports as reparse points, and its removal by name would
// act on the target), nothing is done and false is returned.
bool RemoveLink(const wchar_t* path) {
  ui::FileHandle link(::CreateFileW(
      path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!link) return false;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!::GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
      !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  if (tag.FileAttributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = tag.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    ::SetFileInformationByHandle(link.get(), FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO remove = {};
  remove.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(link.get(), FileDispositionInfo, &remove, sizeof remove) != 0;
}

// Deletes the folder in path (len characters, no trailing backslash) and
// everything in it, in this process. A link (any reparse point, to a folder
// or a file) is removed itself and never entered, so nothing outside the tree
// is reached; one that cannot be removed sets *linkStayed. Whatever cannot go
// (a file in use, a name too long for path) stays; false then.
bool DeleteTreeHere(wchar_t (&path)[MAX_PATH], size_t len, int depth, bool* linkStayed) {
  if (depth > kMaxTreeDepth || len + 2 >= MAX_PATH) return false;
  // Looked at again right before it is listed: a folder swapped for a link
  // since its parent was listed is not entered either.
  const DWORD self = ::GetFileAttributesW(path);
  if (self == INVALID_FILE_ATTRIBUTES || !(self & FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (self & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (RemoveLink(path)) return true;
    *linkStayed = true;
    return false;
  }
  path[len] = L'\\';
  path[len + 1] = L'*';
  path[len + 2] = 0;
  bool complete = true;
  WIN32_FIND_DATAW entry;
  ui::FindHandle find(::FindFirstFileExW(path, FindExInfoBasic, &entry, FindExSearchNameMatch,
                                         nullptr, 0));
  if (find) {
    do {
      const wchar_t* name = entry.cFileName;
      if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
      const size_t n = kl::StrLen(name);
      if (len + 1 + n >= MAX_PATH) {
        complete = false;
        continue;
      }
      for (size_t i = 0; i <= n; ++i) path[len + 1 + i] = name[i];
      const DWORD a = entry.dwFileAttributes;
      bool gone;
      if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
        gone = RemoveLink(path);
        if (!gone) *linkStayed = true;
      } else if (a & FILE_ATTRIBUTE_DIRECTORY) {
        gone = DeleteTreeHere(path, len + 1 + n, depth + 1, linkStayed);
      } else {
        gone = DeleteTreeFile(path, a);
      }
      if (!gone) complete = false;
    } while (::FindNextFileW(find.get(), &entry));
    find.reset();
  }
  path[len] = 0;
  return RemoveTreeFolder(path) && complete;
}

// true when the folder in path (len characters, no trailing backslash) is a
// link or holds one at any depth, or cannot be looked through entirely.
bool TreeHoldsLink(wchar_t (&path)[MAX_PATH], size_t len, int depth) {
  if (depth > kMaxTreeDepth || len + 2 >= MAX_PATH) return true;
  const DWORD self = ::GetFileAttributesW(path);
  if (self == INVALID_FILE_ATTRIBUTES || (self & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  path[len] = L'\\';
  path[len + 1] = L'*';
  path[len + 2] = 0;
  bool found = false;
  WIN32_FIND_DATAW entry;
  ui::FindHandle find(::FindFirstFileExW(path, FindExInfoBasic, &entry, FindExSearchNameMatch,
                                         nullptr, 0));
  if (find) {
    do {
      const wchar_t* name = entry.cFileName;
      if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
      const DWORD a = entry.dwFileAttributes;
      if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
        found = true;
      } else if (a & FILE_ATTRIBUTE_DIRECTORY) {
        const size_t n = kl::StrLen(name);
        if (len + 1 + n >= MAX_PATH) {
          found = true;
        } else {
          for (size_t i = 0; i <= n; ++i) path[len + 1 + i] = name[i];
          found = TreeHoldsLink(path, len + 1 + n, depth + 1);
        }
      }
    } while (!found && ::FindNextFileW(find.get(), &entry));
  }
  path[len] = 0;
  return found;
}

// The in-process removal of a folder the checks have let through. true when
// the folder is gone; *linkStayed tells that a link in it (or the folder
// itself, when it is one) could not be removed.
bool RemoveTreeInProcess(const wchar_t* folder, bool* linkStayed) {
  wchar_t norm[kNormChars];
  if (!Normalise(folder, norm)) return false;
  const size_t len = kl::StrLen(norm);
  if (len + 2 >= MAX_PATH) return false;  // left to the interpreter's short names
  wchar_t path[MAX_PATH];
  kl::Copy(path, norm);
  const DWORD a = ::GetFileAttributesW(path);
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!RemoveLink(path)) *linkStayed = true;  // the link, never its target
  } else {
    DeleteTreeHere(path, len, 0, linkStayed);
  }
  return ::GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool RemoveFolderTree(const wchar_t* path) {
  // A folder that is not there has no short name either: nothing to start.
  // Tested first because it is cheap and most calls (the virtualized-data
  // sweep) ask for folders that do not exist; the guard below reads several
  // shell folders and the registry.
  if (!path || !*path) return false;
  if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
  }
  if (IsProtectedFolder(path)) return false;

  CurrentDirectoryKeeper keeper;
  ::SetCurrentDirectoryW(L"c:\\");

  // The interpreter is only needed for what this process cannot remove
  // (files in use, names beyond MAX_PATH): starting it costs far more than
  // deleting an ordinary tree here. The checks above still decide first, so
  // a folder the interpreter would have refused is refused all the same.
  wchar_t checkName[MAX_PATH];
  if (!ShortNameForCommand(path, checkName)) return false;
  {
    wchar_t command[520];
    if (!kl::Format(command, L"rmdir \"%s\" /s /q", checkName)) return false;
  }
  bool linkStayed = false;
  if (RemoveTreeInProcess(path, &linkStayed)) return true;
  // The interpreter would go through a link it cannot remove (Wine's does:
  // it deletes the folder the link points to): such a tree is left as it is.
  if (linkStayed) return false;

  for (int attempt = 1; attempt <= 2; ++attempt) {
    // The path is quoted: where a volume keeps no short names it may hold
    // blanks, and the interpreter would otherwise read several folders. A
    // command line cut short would name a folder that holds this one: not
    // started either.
    wchar_t shortName[MAX_PATH];
    if (!ShortNameForCommand(path, shortName)) return false;
    wchar_t command[520];
    if (!kl::Format(command, L"rmdir \"%s\" /s /q", shortName)) return false;

    ui::ProcessInfo process;
    if (!StartHiddenInterpreter(command, &process)) return false;
    ++g_processStarts;

    ::SetPriorityClass(::GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    ResumeAtIdlePriority(process);
    ::WaitForSingleObject(process.process.get(), 1000);

    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return true;
    if (attempt == 2) return true;
  }
  return true;
}

bool RemoveFolderTreeAfterExit(const wchar_t* path) {
  if (!path || !*path || ::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return false;
  if (IsProtectedFolder(path)) return false;
  {
    // The interpreter would follow a link out of the tree: a tree that holds
    // one (or one too deep to look through) is not handed to it.
    wchar_t norm[kNormChars];
    if (!Normalise(path, norm) || kl::StrLen(norm) + 2 >= MAX_PATH) return false;
    wchar_t probe[MAX_PATH];
    kl::Copy(probe, norm);
    if (TreeHoldsLink(probe, kl::StrLen(probe), 0)) return false;
  }
  CurrentDirectoryKeeper keeper;
  ::SetCurrentDirectoryW(L"c:\\");
  wchar_t shortName[MAX_PATH];
  if (!ShortNameForCommand(path, shortName)) return false;
  wchar_t command[560];
  if (!kl::Format(command, L"rmdir \"%s\" /s /q", shortName) || !StartAfterPause(command))
    return false;
  ++g_processStarts;
  return true;
}
