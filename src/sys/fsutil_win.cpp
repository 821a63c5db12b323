// File-system routines shared by install and uninstall.
#include "sys/fsutil_win.h"

#include <aclapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <unordered_map>

#include "base/format_win.h"
#include "base/keyname.h"
#include "base/text.h"
#include "sys/remove_tree_win.h"

namespace {

using AddAceExFn = BOOL(WINAPI*)(PACL, DWORD, DWORD, DWORD, PSID);
using SetControlFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                   SECURITY_DESCRIPTOR_CONTROL);

// Diagnostics go to standard output only; a windowed program shows nothing.
void Fail(const char* what) {
  char line[128];
  ::wsprintfA(line, what, static_cast<int>(::GetLastError()));
  std::fputs(line, stdout);
  std::fflush(stdout);
}

FARPROC Advapi(const char* name) {
  HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
  return advapi ? ::GetProcAddress(advapi, name) : nullptr;
}

void* HeapZero(size_t bytes) {
  return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

bool EndsWithBackslash(const wchar_t* s) {
  size_t n = kl::StrLen(s);
  return n > 0 && s[n - 1] == L'\\';
}

}  // namespace

bool ScheduleReplacement(const wchar_t* sourceFile, const wchar_t* target) {
  wchar_t pending[MAX_PATH];
  if (!MakePendingCopyName(target, pending)) return false;
  if (!CopyFileAndGrant(sourceFile, pending, TRUE)) {
    ::DeleteFileW(pending);  // a copy without its access list is of no use
    return false;
  }
  if (!::MoveFileExW(pending, target, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(pending);
    return false;
  }
  return true;
}

namespace {

// The Users group's SID, looked up once per process (it does not change
// while the process runs). Looked up with two calls, the first for the sizes;
// a failed look-up prints its message and is tried again by the next caller.
BYTE g_usersSid[SECURITY_MAX_SID_SIZE];
INIT_ONCE g_usersSidOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK LookUpUsersSid(INIT_ONCE*, void*, void**) {
  DWORD sidSize = 0;
  DWORD domainChars = 0;
  SID_NAME_USE use;
  if (::LookupAccountNameW(nullptr, L"Users", nullptr, &sidSize, nullptr, &domainChars, &use) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    Fail("LookupAccountName() failed. Error %d\n");
    return FALSE;
  }
  ui::HeapBlock sid(HeapZero(sidSize));
  if (!sid) {
    Fail("HeapAlloc() failed. Error %d\n");
    return FALSE;
  }
  ui::HeapBlock domain(HeapZero((domainChars + 1) * sizeof(wchar_t)));
  if (!domain) {
    Fail("HeapAlloc() failed. Error %d\n");
    return FALSE;
  }
  if (!::LookupAccountNameW(nullptr, L"Users", sid.get(), &sidSize,
                            static_cast<wchar_t*>(domain.get()), &domainChars, &use)) {
    Fail("LookupAccountName() failed. Error %d\n");
    return FALSE;
  }
  if (!::IsValidSid(sid.get()) || !::CopySid(sizeof(g_usersSid), g_usersSid, sid.get())) {
    Fail("LookupAccountName() failed. Error %d\n");
    return FALSE;
  }
  return TRUE;
}

PSID UsersSid() {
  return ::InitOnceExecuteOnce(&g_usersSidOnce, &LookUpUsersSid, nullptr, nullptr) ? g_usersSid
                                                                                 : nullptr;
}

// A file renamed in from another folder keeps the access list it had there,
// with the entries that folder made it inherit. This gives it what a file
// created in its new folder gets (and what a copy gets): no explicit entries,
// the inheritable ones of the new parent. Best effort: false changes nothing.
bool TakeNewParentAccess(const wchar_t* path) {
  ACL empty;
  if (!::InitializeAcl(&empty, sizeof(empty), ACL_REVISION)) return false;
  return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS;
}

// The explicit part of a placed file's access list: the Users grant alone
// (what BuildUsersAcl makes from an empty list), built once per process.
alignas(DWORD) BYTE g_usersOnlyAcl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
INIT_ONCE g_usersOnlyAclOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK BuildUsersOnlyAcl(INIT_ONCE*, void*, void**) {
  const PSID usersSid = UsersSid();
  if (!usersSid) return FALSE;
  ui::HeapBlock acl;
  if (!BuildUsersAcl(nullptr, usersSid, acl)) return FALSE;
  const ACL* built = static_cast<const ACL*>(acl.get());
  if (built->AclSize > sizeof(g_usersOnlyAcl)) return FALSE;
  std::memcpy(g_usersOnlyAcl, built, built->AclSize);
  return TRUE;
}

// One call gives a renamed file what TakeNewParentAccess and then
// GrantUsersAccess give it: the Users entry as its only explicit one, then
// the inheritable entries of its new parent. Best effort: false when it
// could not be written.
bool TakeNewParentAccessWithUsersGrant(const wchar_t* path) {
  if (!::InitOnceExecuteOnce(&g_usersOnlyAclOnce, &BuildUsersOnlyAcl, nullptr, nullptr))
    return false;
  return ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, reinterpret_cast<PACL>(g_usersOnlyAcl),
                                 nullptr) == ERROR_SUCCESS;
}

// The access list of the files moved into one folder. It is the same for
// every file there (the Users grant as the only explicit entry, then the
// folder's inheritable entries), so the system works it out once, for the
// first file (TakeNewParentAccessWithUsersGrant), and the others get that
// list as it is, with the request to take the folder's inheritable entries
// again that GrantUsersAccess makes for a copy: one plain write per file
// instead of a call that looks up the folder's list each time.
class FolderAccess {
 public:
  // file: the moved file's handle when one is open with WRITE_DAC (the list
  // is then written through it), else null.
  bool Apply(HANDLE file, const wchar_t* path) {
    if (list_ && (file ? ::SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, list_.get())
                       : ::SetFileSecurityW(path, DACL_SECURITY_INFORMATION, list_.get())))
      return true;
    if (!TakeNewParentAccessWithUsersGrant(path)) return false;
    if (!captured_) Capture(path);
    return true;
  }

 private:
  void Capture(const wchar_t* path) {
    captured_ = true;
    DWORD size = 0;
    ::GetFileSecurityW(path, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    if (size == 0) return;
    ui::HeapBlock sd(HeapZero(size));
    if (!sd || !::GetFileSecurityW(path, DACL_SECURITY_INFORMATION, sd.get(), size, &size)) return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorControl(sd.get(), &control, &revision) ||
        !::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present || !dacl)
      return;
    if (control & SE_DACL_AUTO_INHERITED) {
      auto setControl = reinterpret_cast<SetControlFn>(
          reinterpret_cast<void*>(Advapi("SetSecurityDescriptorControl")));
      const SECURITY_DESCRIPTOR_CONTROL bits = SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED;
      if (!setControl || !setControl(sd.get(), bits, bits)) return;
    }
    list_.reset(sd.release());
  }

  ui::HeapBlock list_;
  bool captured_ = false;
};

// The notes of NoteWrittenFile, by folded path (the file system ignores
// letter case; either separator counts).
struct WrittenFiles {
  SRWLOCK lock = SRWLOCK_INIT;
  std::unordered_map<kl::string16, bool> startsLikeImage;
};
WrittenFiles& Written() {
  static WrittenFiles written;
  return written;
}

kl::string16 WrittenKey(const wchar_t* path) {
  kl::string16 key = kl::FoldCase(kl::string16_view(path));
  for (auto& c : key)
    if (c == L'/') c = L'\\';
  return key;
}

// The note for path, taken: false when there is none.
bool TakeWrittenNote(const wchar_t* path, bool* startsLikeImage) {
  WrittenFiles& w = Written();
  const kl::string16 key = WrittenKey(path);
  ::AcquireSRWLockExclusive(&w.lock);
  const auto it = w.startsLikeImage.find(key);
  const bool found = it != w.startsLikeImage.end();
  if (found) {
    *startsLikeImage = it->second;
    w.startsLikeImage.erase(it);
  }
  ::ReleaseSRWLockExclusive(&w.lock);
  return found;
}

// Moves one file onto its target within a volume: a rename, no data copied.
// The target gets the access of a fresh file there plus the Users grant, as a
// copy would. false with the source file where it was when the rename is not
// possible (another volume, a target that is in use, read-only or a folder)
// or the grant fails.
bool MoveIntoPlace(const wchar_t* from, const wchar_t* to, FolderAccess& access) {
  // One handle for the rename and the access list: each name is looked up
  // once. (The rename fails where MoveFileExW without copying would: another
  // volume, a target in use, read-only or a folder.)
  ui::FileHandle file(::CreateFileW(from, DELETE | READ_CONTROL | WRITE_DAC | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file) {
    const size_t chars = kl::StrLen(to);
    if (chars >= MAX_PATH) return false;
    alignas(FILE_RENAME_INFO) BYTE buffer[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    std::memset(buffer, 0, sizeof buffer);
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = static_cast<DWORD>(chars * sizeof(wchar_t));
    std::memcpy(rename->FileName, to, (chars + 1) * sizeof(wchar_t));
    if (!::SetFileInformationByHandle(file.get(), FileRenameInfo, rename, sizeof buffer))
      return false;
  } else if (!::MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING)) {
    return false;
  }
  if (!UsersMayModifyMoved(from, to)) {
    // Code stays administrators': only what the new folder passes on.
    file.reset();
    if (TakeNewParentAccess(to)) return true;
    ::MoveFileExW(to, from, 0);
    return false;
  }
  // (An invalid handle value would name this process: null instead.)
  if (access.Apply(file.valid() ? file.get() : nullptr, to)) return true;
  file.reset();
  // The two-step way: reset to the parent's entries, then add the grant.
  TakeNewParentAccess(to);
  if (GrantUsersAccess(to) == 1) return true;
  // Back to the source, where the copy and its fall-backs take it from.
  ::MoveFileExW(to, from, 0);
  return false;
}

}  // namespace

bool BuildUsersAcl(PACL oldAcl, PSID usersSid, ui::HeapBlock& newAcl) {
  DWORD aceCount = 0;
  DWORD bytesInUse = 8;  // an empty ACL
  if (oldAcl) {
    ACL_SIZE_INFORMATION info = {};
    if (!::GetAclInformation(oldAcl, &info, sizeof(info), AclSizeInformation)) {
      Fail("GetAclInformation() failed. Error %d\n");
      return false;
    }
    aceCount = info.AceCount;
    bytesInUse = info.AclBytesInUse;
  }
  const DWORD size = bytesInUse + ::GetLengthSid(usersSid) + 8;
  newAcl.reset(HeapZero(size));
  if (!newAcl) {
    Fail("HeapAlloc() failed. Error %d\n");
    return false;
  }
  PACL acl = static_cast<PACL>(newAcl.get());
  if (!::InitializeAcl(acl, size, ACL_REVISION)) {
    Fail("InitializeAcl() failed. Error %d\n");
    return false;
  }

  // Explicit ACEs first, without any for Users.
  DWORD index = 0;
  for (; index < aceCount; ++index) {
    void* ace = nullptr;
    if (!::GetAce(oldAcl, index, &ace)) {
      Fail("GetAce() failed. Error %d\n");
      return false;
    }
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceFlags & INHERITED_ACE) break;
    // Every ACE type this is read for starts with header and mask, then the SID.
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    if (::EqualSid(usersSid, sid)) continue;
    if (!::AddAce(acl, ACL_REVISION, MAXDWORD, ace, header->AceSize)) {
      Fail("AddAce() failed. Error %d\n");
      return false;
    }
  }

  // The new ACE for Users.
  if (auto addEx = reinterpret_cast<AddAceExFn>(
          reinterpret_cast<void*>(Advapi("AddAccessAllowedAceEx")))) {
    if (!addEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, kUsersModifyAccess,
               usersSid)) {
      Fail("AddAccessAllowedAceEx() failed. Error %d\n");
      return false;
    }
  } else if (!::AddAccessAllowedAce(acl, ACL_REVISION, kUsersModifyAccess, usersSid)) {
    Fail("AddAccessAllowedAce() failed. Error %d\n");
    return false;
  }

  // Inherited ACEs follow unchanged.
  for (; index < aceCount; ++index) {
    void* ace = nullptr;
    if (!::GetAce(oldAcl, index, &ace)) {
      Fail("GetAce() failed. Error %d\n");
      return false;
    }
    if (!::AddAce(acl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize)) {
      Fail("AddAce() failed. Error %d\n");
      return false;
    }
  }
  return true;
}

int GrantUsersAccess(const wchar_t* path) {
  const PSID usersSid = UsersSid();
  if (!usersSid) return 0;

  // The file's current security descriptor (its DACL).
  DWORD sdSize = 0;
  if (!::GetFileSecurityW(path, DACL_SECURITY_INFORMATION, nullptr, 0, &sdSize) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    Fail("GetFileSecurity() failed. Error %d\n");
    return 0;
  }
  ui::HeapBlock fileSd(HeapZero(sdSize ? sdSize : 1));
  if (!fileSd) {
    Fail("HeapAlloc() failed. Error %d\n");
    return 0;
  }
  if (!::GetFileSecurityW(path, DACL_SECURITY_INFORMATION, fileSd.get(), sdSize, &sdSize)) {
    Fail("GetFileSecurity() failed. Error %d\n");
    return 0;
  }

  SECURITY_DESCRIPTOR newSd;
  if (!::InitializeSecurityDescriptor(&newSd, SECURITY_DESCRIPTOR_REVISION)) {
    Fail("InitializeSecurityDescriptor() failed.Error %d\n");
    return 0;
  }

  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL oldAcl = nullptr;
  if (!::GetSecurityDescriptorDacl(fileSd.get(), &present, &oldAcl, &defaulted)) {
    Fail("GetSecurityDescriptorDacl() failed. Error %d\n");
    return 0;
  }
  if (!present) oldAcl = nullptr;  // a null DACL counts as absent

  ui::HeapBlock newAcl;
  if (!BuildUsersAcl(oldAcl, usersSid, newAcl)) return 0;

  if (!::SetSecurityDescriptorDacl(&newSd, TRUE, static_cast<PACL>(newAcl.get()), FALSE)) {
    Fail("SetSecurityDescriptorDacl() failed. Error %d\n");
    return 0;
  }

  if (auto setControl = reinterpret_cast<SetControlFn>(
          reinterpret_cast<void*>(Advapi("SetSecurityDescriptorControl")))) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(fileSd.get(), &control, &revision)) {
      Fail("GetSecurityDescriptorControl() failed.Error %d\n");
      return 0;
    }
    SECURITY_DESCRIPTOR_CONTROL bits = 0;
    if (control & SE_DACL_AUTO_INHERITED)
      bits = SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED;
    else if (control & SE_DACL_PROTECTED)
      bits = SE_DACL_PROTECTED;
    if (bits && !setControl(&newSd, bits, bits)) {
      Fail("SetSecurityDescriptorControl() failed.Error %d\n");
      return 0;
    }
  }

  if (!::SetFileSecurityW(path, DACL_SECURITY_INFORMATION, &newSd)) {
    Fail("SetFileSecurity() failed. Error %d\n");
    return 0;
  }
  return 1;
}

bool CopyFileAndGrant(const wchar_t* existing, const wchar_t* target, BOOL failIfExists) {
  if (existing && target && std::wcscmp(existing, target) == 0) return true;
  if (!::CopyFileW(existing, target, failIfExists)) return false;
  return ApplyPlacedFileAccess(target);
}

bool IsExecutableName(const wchar_t* path) {
  static const wchar_t* const kCode[] = {
      L"exe", L"dll", L"ime", L"sys", L"ocx", L"cpl", L"com", L"scr", L"drv", L"ax",  L"acm",
      L"tsp", L"efi", L"mui", L"msi", L"msp", L"bat", L"cmd", L"vbs", L"vbe", L"js",  L"jse",
      L"wsf", L"wsh", L"ps1", L"pif", L"hta", L"msc", L"inf", L"tlb", L"olb", L"lnk"};
  if (!path) return false;
  // Trailing dots and blanks are dropped by the system ("a.exe. " is a.exe).
  size_t end = kl::StrLen(path);
  while (end > 0 && (path[end - 1] == L'.' || path[end - 1] == L' ')) --end;
  size_t dot = end;
  for (size_t i = end; i > 0 && path[i - 1] != L'\\' && path[i - 1] != L'/'; --i)
    if (path[i - 1] == L'.') {
      dot = i - 1;
      break;
    }
  if (dot == end) return false;
  const int n = static_cast<int>(end - dot - 1);
  for (const wchar_t* ext : kCode)
    if (::CompareStringOrdinal(path + dot + 1, n, ext, -1, TRUE) == CSTR_EQUAL)
      return true;
  return false;
}

namespace {

// true when the file starts with "MZ" (a program image whatever its name).
bool StartsLikeImage(const wchar_t* path) {
  ui::FileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  char head[2] = {};
  DWORD got = 0;
  return file && ::ReadFile(file.get(), head, 2, &got, nullptr) && got == 2 && head[0] == 'M' &&
         head[1] == 'Z';
}

// true when path is in the Windows folder (at any depth).
bool InWindowsFolder(const wchar_t* path) {
  wchar_t windows[MAX_PATH];
  wchar_t full[MAX_PATH];
  const UINT w = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const DWORD f = ::GetFullPathNameW(path, MAX_PATH, full, nullptr);
  if (w == 0 || w >= MAX_PATH || f == 0 || f >= MAX_PATH) return true;  // unknown: the safe side
  size_t n = w;
  while (n > 0 && windows[n - 1] == L'\\') --n;
  return f > n && full[n] == L'\\' &&
         ::CompareStringOrdinal(full, static_cast<int>(n), windows, static_cast<int>(n), TRUE) ==
             CSTR_EQUAL;
}

bool NameIs(const wchar_t* path, const wchar_t* name) {
  const wchar_t* base = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') base = p + 1;
  return ::CompareStringOrdinal(base, -1, name, -1, TRUE) == CSTR_EQUAL;
}

// The rule of UsersMayModify by the file's path alone: false when its name
// or place already make it code.
bool NameAllowsUsers(const wchar_t* path) {
  return path && *path && !IsExecutableName(path) && !NameIs(path, L"_backup_.dat") &&
         !NameIs(path, L"unstall.exe") && !InWindowsFolder(path);
}

}  // namespace

bool UsersMayModify(const wchar_t* path) { return NameAllowsUsers(path) && !StartsLikeImage(path); }

bool UsersMayModifyMoved(const wchar_t* from, const wchar_t* to) {
  if (!NameAllowsUsers(to)) return false;
  bool image = false;
  return !(TakeWrittenNote(from, &image) ? image : StartsLikeImage(to));
}

void NoteWrittenFile(const wchar_t* path, bool startsLikeImage) {
  if (!path || !*path) return;
  WrittenFiles& w = Written();
  kl::string16 key = WrittenKey(path);
  ::AcquireSRWLockExclusive(&w.lock);
  w.startsLikeImage[std::move(key)] = startsLikeImage;
  ::ReleaseSRWLockExclusive(&w.lock);
}

void ForgetWrittenFiles() {
  WrittenFiles& w = Written();
  ::AcquireSRWLockExclusive(&w.lock);
  w.startsLikeImage.clear();
  ::ReleaseSRWLockExclusive(&w.lock);
}

bool ApplyPlacedFileAccess(const wchar_t* path) {
  if (UsersMayModify(path)) return GrantUsersAccess(path) == 1;
  // A file that replaced another keeps the list that one had: back to what
  // the folder passes on. (Wine keeps no lists: nothing to do there.)
  TakeNewParentAccess(path);
  return true;
}

bool MakePendingCopyName(const wchar_t* target, wchar_t (&out)[MAX_PATH]) {
  if (!target || !*target || !kl::Format(out, L"%s.temp", target)) return false;
  for (unsigned counter = 1; PathExists(out); ++counter) {
    if (counter > 9999) return false;
    if (!kl::Format(out, L"%s.%u.temp", target, counter)) return false;
  }
  return true;
}

int CopyFolder(const wchar_t* source, const wchar_t* destination, int keepSource,
               bool* restartNeeded) {
  if (!source || !destination) return 0;
  CreateDirectoryPath(destination);

  wchar_t pattern[MAX_PATH];
  wchar_t sourcePrefix[MAX_PATH];
  wchar_t destPrefix[MAX_PATH];
  const bool sourceSlash = EndsWithBackslash(source);
  if (!kl::Format(pattern, sourceSlash ? L"%s*" : L"%s\\*", source) ||
      !kl::Format(sourcePrefix, sourceSlash ? L"%s" : L"%s\\", source) ||
      !kl::Format(destPrefix, EndsWithBackslash(destination) ? L"%s" : L"%s\\", destination))
    return 0;

  if (!PathExists(destination) && !CreateDirectoryPath(destination)) return 0;

  WIN32_FIND_DATAW entry;
  ui::FindHandle find(::FindFirstFileW(pattern, &entry));
  if (!find) return 0;
  FolderAccess movedAccess;
  // Every entry is examined, the first one included: it is normally the
  // folder's own "." entry, which the full-stop rule below skips.
  do {
    const wchar_t* name = entry.cFileName;
    wchar_t from[MAX_PATH];
    wchar_t to[MAX_PATH];
    if (!kl::Format(from, L"%s%s", sourcePrefix, name) ||
        !kl::Format(to, L"%s%s", destPrefix, name))
      continue;  // a path that does not fit is left where it is

    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name[0] != L'.') CopyFolder(from, to, keepSource, restartNeeded);
      continue;
    }
    if (std::wcscmp(from, to) == 0) continue;  // never copied onto itself

    // A file that is not kept is renamed into place where that works; the
    // copy below handles the rest (other volumes, targets in use).
    if (!keepSource && MoveIntoPlace(from, to, movedAccess)) continue;

    bool placed = ::CopyFileW(from, to, FALSE) && ApplyPlacedFileAccess(to);
    if (!placed && ScheduleReplacement(from, to)) {
      placed = true;
      if (restartNeeded) *restartNeeded = true;
    }
    // A file that could be neither placed nor scheduled stays in the source.
    if (placed && !keepSource) ::DeleteFileW(from);
  } while (::FindNextFileW(find.get(), &entry));
  return 1;
}

void RemoveVirtualizedData() {
  wchar_t cache[MAX_PATH];
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT,
                                cache)) ||
      !PathExists(cache))
    return;
  if (!EndsWithBackslash(cache) && !kl::Append(cache, L"\\")) return;
  for (wchar_t letter = L'c'; letter <= L'y'; ++letter) {
    wchar_t folder[MAX_PATH];
    if (kl::Format(folder, L"%sVirtualized\\%c\\ProgramData\\KeloIMEs\\", cache, letter))
      RemoveFolderTree(folder);
  }
}

bool WriteFileAnew(const wchar_t* path, const void* data, DWORD size) {
  const DWORD attributes = ::GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // A link to a folder is deleted as a folder name; a real folder stays.
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !link) return false;
    if (attributes & FILE_ATTRIBUTE_READONLY)
      ::SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!((attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path)
                                                   : ::DeleteFileW(path)))
      return false;
  }
  ui::FileHandle h(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) return false;
  DWORD put = 0;
  if (size && (!::WriteFile(h.get(), data, size, &put, nullptr) || put != size)) {
    h.reset();
    ::DeleteFileW(path);
    return false;
  }
  return true;
}

DWORD CreateDirectoryPath(const wchar_t* path) {
  if (!path) return 0;
  wchar_t buf[MAX_PATH];
  kl::Copy(buf, path);
  for (wchar_t* p = buf; *p; ++p) {
    if (*p != L'\\') continue;
    *p = 0;
    ::CreateDirectoryW(buf, nullptr);  // existing folders and bare drives fail harmlessly
    *p = L'\\';
  }
  ::CreateDirectoryW(buf, nullptr);
  DWORD attributes = ::GetFileAttributesW(buf);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return 0;
  return attributes;
}

bool BuildPrivateFolderSecurity(PrivateFolderSecurity& security) {
  DWORD size = sizeof(security.administrators);
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, security.administrators, &size))
    return false;
  size = sizeof(security.system);
  if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, security.system, &size)) return false;
  PACL acl = reinterpret_cast<PACL>(security.acl);
  const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  auto addEx = reinterpret_cast<AddAceExFn>(
      reinterpret_cast<void*>(Advapi("AddAccessAllowedAceEx")));
  auto setControl = reinterpret_cast<SetControlFn>(
      reinterpret_cast<void*>(Advapi("SetSecurityDescriptorControl")));
  return addEx && setControl && ::InitializeAcl(acl, sizeof(security.acl), ACL_REVISION) &&
         addEx(acl, ACL_REVISION, inherit, GENERIC_ALL, security.administrators) &&
         addEx(acl, ACL_REVISION, inherit, GENERIC_ALL, security.system) &&
         ::InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         ::SetSecurityDescriptorDacl(&security.descriptor, TRUE, acl, FALSE) &&
         setControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

bool CreatePrivateFolder(const wchar_t* parent, const wchar_t* prefix, wchar_t (&out)[MAX_PATH],
                         ui::FileHandle* hold) {
  out[0] = 0;
  PrivateFolderSecurity security;
  if (!parent || !prefix || !BuildPrivateFolderSecurity(security)) return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &security.descriptor, FALSE};
  static LONG counter = 0;
  const DWORD seed = ::GetCurrentProcessId() * 0x10001u ^ ::GetTickCount();
  for (int attempt = 0; attempt < 64; ++attempt) {
    const DWORD number = seed + static_cast<DWORD>(::InterlockedIncrement(&counter)) * 0x9E3779B1u;
    if (!kl::Format(out, L"%s%s%08lx\\", parent, prefix, static_cast<unsigned long>(number)))
      break;
    if (!::CreateDirectoryW(out, &attributes)) {
      if (::GetLastError() == ERROR_ALREADY_EXISTS) continue;
      break;
    }
    if (!hold) return true;
    // The folder was just made by this process; it is opened as a folder,
    // never through a link, and kept from being renamed while held.
    hold->reset(::CreateFileW(out, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (hold->valid() && ::GetFileInformationByHandle(hold->get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return true;
    hold->reset();
    break;
  }
  out[0] = 0;
  return false;
}
