// File-system utilities under Wine: results are read back from the real
// files and the real registry. (Wine stores no file security, so the access
// list is checked on in-memory ACLs and GrantUsersAccess by its result.)
#include <gtest/gtest.h>
#include <windows.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "fsutil_test_util_win.h"
#include "sys/fsutil_win.h"

namespace {

using namespace fstest;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::vector<std::wstring> PendingRenames() {
  std::vector<std::wstring> out;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key)) return out;
  DWORD type = 0, bytes = 0;
  if (!RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes) &&
      type == REG_MULTI_SZ) {
    std::vector<wchar_t> buf(bytes / sizeof(wchar_t) + 2, 0);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                     reinterpret_cast<BYTE*>(buf.data()), &bytes);
    // Entries come in pairs (source, target); an empty target is a delete.
    const size_t n = bytes / sizeof(wchar_t);
    size_t i = 0;
    while (i < n && buf[i]) {
      std::wstring from(&buf[i]);
      i += from.size() + 1;
      std::wstring to(i < n ? &buf[i] : L"");
      i += to.size() + 1;
      out.push_back(from);
      out.push_back(to);
    }
  }
  RegCloseKey(key);
  return out;
}

void WritePendingRenames(const std::vector<std::wstring>& entries) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key), 0);
  if (entries.empty()) {
    RegDeleteValueW(key, L"PendingFileRenameOperations");
  } else {
    std::wstring data;
    for (const auto& e : entries) data += e + L'\0';
    data += L'\0';
    RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                   reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The pending copy scheduled for target ("" when none).
std::wstring PendingSourceFor(const std::vector<std::wstring>& entries, const std::wstring& target) {
  for (size_t i = 0; i + 1 < entries.size(); i += 2) {
    std::wstring to = entries[i + 1];
    if (!to.empty() && to[0] == L'!') to.erase(0, 1);
    if (to.rfind(L"\\??\\", 0) == 0) to.erase(0, 4);
    if (SameNoCase(to, target)) {
      std::wstring from = entries[i];
      if (from.rfind(L"\\??\\", 0) == 0) from.erase(0, 4);
      return from;
    }
  }
  return L"";
}

class CopyFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = TempFolder() + Unique(L"kl_cf_");
    src_ = root_ + L"\\src";
    dst_ = root_ + L"\\dst";
    CreateDirectoryPath((src_ + L"\\sub\\deeper\\").c_str());
    CreateDirectoryPath((src_ + L"\\.svn\\").c_str());
    Put(src_ + L"\\a.txt", "A");
    Put(src_ + L"\\.dotfile", "dot");
    Put(src_ + L"\\sub\\b.txt", "B");
    Put(src_ + L"\\sub\\deeper\\c.txt", "C");
    Put(src_ + L"\\.svn\\entries", "skip me");
  }
  void TearDown() override {
    // Replacements scheduled for this case's folder go, with their copies,
    // however the case ended.
    const std::vector<std::wstring> entries = PendingRenames();
    std::vector<std::wstring> kept;
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
      if (Ours(entries[i + 1])) {
        std::wstring from = entries[i];
        if (from.rfind(L"\\??\\", 0) == 0) from.erase(0, 4);
        DeleteFileW(from.c_str());
        continue;
      }
      kept.push_back(entries[i]);
      kept.push_back(entries[i + 1]);
    }
    if (kept.size() != entries.size()) WritePendingRenames(kept);
    RemoveTree(root_);
  }
  // Whether a pending entry's target lies in this case's folder.
  bool Ours(const std::wstring& target) const {
    return target.find(root_.substr(2)) != std::wstring::npos;
  }
  std::wstring root_, src_, dst_;
};

TEST_F(CopyFolderTest, MovesFilesLeavesFoldersSkipsDotFolders) {
  bool restart = false;
  EXPECT_EQ(CopyFolder(src_.c_str(), (dst_ + L"\\").c_str(), 0, &restart), 1);
  EXPECT_FALSE(restart);
  EXPECT_EQ(Get(dst_ + L"\\a.txt"), "A");
  EXPECT_EQ(Get(dst_ + L"\\.dotfile"), "dot");
  EXPECT_EQ(Get(dst_ + L"\\sub\\b.txt"), "B");
  EXPECT_EQ(Get(dst_ + L"\\sub\\deeper\\c.txt"), "C");
  EXPECT_FALSE(IsFolder(dst_ + L"\\.svn"));
  // Source: files gone, folders stay; the dot-folder is untouched.
  EXPECT_FALSE(IsFile(src_ + L"\\a.txt"));
  EXPECT_FALSE(IsFile(src_ + L"\\.dotfile"));
  EXPECT_FALSE(IsFile(src_ + L"\\sub\\b.txt"));
  EXPECT_FALSE(IsFile(src_ + L"\\sub\\deeper\\c.txt"));
  EXPECT_TRUE(IsFolder(src_ + L"\\sub\\deeper"));
  EXPECT_EQ(Get(src_ + L"\\.svn\\entries"), "skip me");
}

TEST_F(CopyFolderTest, KeepSourceCopiesAndOverwrites) {
  CreateDirectoryPath((dst_ + L"\\").c_str());
  Put(dst_ + L"\\a.txt", "old contents");
  EXPECT_EQ(CopyFolder((src_ + L"\\").c_str(), dst_.c_str(), 1), 1);
  EXPECT_EQ(Get(dst_ + L"\\a.txt"), "A");
  EXPECT_EQ(Get(dst_ + L"\\sub\\deeper\\c.txt"), "C");
  EXPECT_EQ(Get(src_ + L"\\a.txt"), "A");
  EXPECT_EQ(Get(src_ + L"\\sub\\b.txt"), "B");
}

TEST_F(CopyFolderTest, MissingSourceOrUncreatableDestinationGivesZero) {
  EXPECT_EQ(CopyFolder((root_ + L"\\nothing").c_str(), dst_.c_str(), 0), 0);
  Put(root_ + L"\\afile", "x");  // a file where a folder should be made
  EXPECT_EQ(CopyFolder(src_.c_str(), (root_ + L"\\afile\\dst").c_str(), 0), 0);
  EXPECT_EQ(Get(src_ + L"\\a.txt"), "A");  // nothing lost
}

TEST_F(CopyFolderTest, TargetsInUseAreScheduledAndTheWalkGoesOn) {
  // Two files of one name in different folders and one more, all in use.
  CreateDirectoryPath((src_ + L"\\one\\").c_str());
  CreateDirectoryPath((src_ + L"\\two\\").c_str());
  Put(src_ + L"\\one\\same.dll", "new one");
  Put(src_ + L"\\two\\same.dll", "new two");
  Put(src_ + L"\\busy.ime", "new ime");
  CreateDirectoryPath((dst_ + L"\\one\\").c_str());
  CreateDirectoryPath((dst_ + L"\\two\\").c_str());
  Put(dst_ + L"\\one\\same.dll", "old one");
  Put(dst_ + L"\\two\\same.dll", "old two");
  Put(dst_ + L"\\busy.ime", "old ime");
  const std::vector<std::wstring> before = PendingRenames();
  bool restart = false;
  {
    testfs::HeldFile h1(dst_ + L"\\one\\same.dll"), h2(dst_ + L"\\two\\same.dll"),
        h3(dst_ + L"\\busy.ime");
    ASSERT_TRUE(h1.ok() && h2.ok() && h3.ok()) << "hold_open.exe did not start";
    EXPECT_EQ(CopyFolder(src_.c_str(), dst_.c_str(), 0, &restart), 1);
  }
  std::vector<std::wstring> after = PendingRenames();
  EXPECT_TRUE(restart);
  // The targets in use keep their contents for now ...
  EXPECT_EQ(Get(dst_ + L"\\busy.ime"), "old ime");
  EXPECT_EQ(Get(dst_ + L"\\one\\same.dll"), "old one");
  // ... the rest of each folder was copied ...
  EXPECT_EQ(Get(dst_ + L"\\a.txt"), "A");
  EXPECT_EQ(Get(dst_ + L"\\.dotfile"), "dot");
  EXPECT_EQ(Get(dst_ + L"\\sub\\deeper\\c.txt"), "C");
  // ... and each has its own pending copy, scheduled to replace it.
  std::wstring ime = PendingSourceFor(after, dst_ + L"\\busy.ime");
  std::wstring one = PendingSourceFor(after, dst_ + L"\\one\\same.dll");
  std::wstring two = PendingSourceFor(after, dst_ + L"\\two\\same.dll");
  ASSERT_FALSE(ime.empty());
  ASSERT_FALSE(one.empty());
  ASSERT_FALSE(two.empty());
  EXPECT_NE(one, two);
  // Each waits beside its target (an administrators' folder on the same
  // volume), never in the user's temporary folder.
  EXPECT_TRUE(SameNoCase(ime, dst_ + L"\\busy.ime.temp")) << ime;
  EXPECT_EQ(SameNoCase(one.substr(0, dst_.size() + 5), dst_ + L"\\one\\"), true) << one;
  EXPECT_EQ(Get(ime), "new ime");
  EXPECT_EQ(Get(one) + "|" + Get(two) == "new one|new two" ||
                Get(one) + "|" + Get(two) == "new two|new one",
            true);
  // Scheduled sources are moved out of the source tree like the others.
  EXPECT_FALSE(IsFile(src_ + L"\\busy.ime"));

  // The three were added, nothing else (TearDown drops them again).
  size_t others = 0;
  for (size_t i = 0; i + 1 < after.size(); i += 2)
    if (!Ours(after[i + 1])) others += 2;
  EXPECT_EQ(others, before.size());
  EXPECT_EQ(after.size(), before.size() + 6);
}

TEST(CreateDirectoryPath, MakesEveryLevelWithTrailingBackslash) {
  std::wstring top = L"C:\\" + Unique(L"kl_cdp_");
  std::wstring path = top + L"\\level2\\level3\\";
  DWORD attributes = CreateDirectoryPath(path.c_str());
  EXPECT_NE(attributes, 0u);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(IsFolder(top));
  EXPECT_TRUE(IsFolder(top + L"\\level2"));
  EXPECT_TRUE(IsFolder(top + L"\\level2\\level3"));
  EXPECT_NE(CreateDirectoryPath(path.c_str()), 0u);  // existing: still the attributes
  Put(top + L"\\file", "x");
  EXPECT_EQ(CreateDirectoryPath((top + L"\\file").c_str()), 0u);
  EXPECT_EQ(CreateDirectoryPath((top + L"\\file\\below").c_str()), 0u);
  EXPECT_EQ(CreateDirectoryPath(nullptr), 0u);
  RemoveTree(top);
}

TEST(RemoveVirtualizedData, RemovesOnlyDriveLettersCtoY) {
  wchar_t cache[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, 0, cache), S_OK);
  std::wstring base = std::wstring(cache) + L"\\Virtualized\\";
  const wchar_t letters[] = {L'a', L'b', L'c', L'k', L'y', L'z'};
  for (wchar_t c : letters) {
    std::wstring d = base + c + L"\\ProgramData\\KeloIMEs\\";
    ASSERT_NE(CreateDirectoryPath((d + L"kl\\").c_str()), 0u);
    Put(d + L"kl\\data.bin", "x");
  }
  RemoveVirtualizedData();
  for (wchar_t c : letters) {
    std::wstring d = base + c + L"\\ProgramData\\KeloIMEs";
    bool kept = c == L'a' || c == L'b' || c == L'z';
    EXPECT_EQ(IsFolder(d), kept) << static_cast<char>(c);
    EXPECT_TRUE(IsFolder(base + c + L"\\ProgramData")) << static_cast<char>(c);
  }
  RemoveTree(base.substr(0, base.size() - 1));
}

TEST(GrantUsersAccess, ReturnsOneOnRealFileAndFolder) {
  std::wstring dir = TempFolder() + Unique(L"kl_grant_");
  CreateDirectoryW(dir.c_str(), nullptr);
  Put(dir + L"\\f.txt", "x");
  EXPECT_EQ(GrantUsersAccess((dir + L"\\f.txt").c_str()), 1);
  EXPECT_EQ(GrantUsersAccess(dir.c_str()), 1);
  RemoveTree(dir);
}

TEST(GrantUsersAccess, MissingFilePrintsTheExactMessage) {
  std::wstring missing = TempFolder() + Unique(L"kl_missing_") + L".txt";
  ::testing::internal::CaptureStdout();
  int result = GrantUsersAccess(missing.c_str());
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, "GetFileSecurity() failed. Error 2\n");
}

TEST(CopyFileAndGrant, CopiesGrantsAndRefusesWhatItMust) {
  std::wstring dir = TempFolder() + Unique(L"kl_cfg_");
  CreateDirectoryW(dir.c_str(), nullptr);
  std::wstring a = dir + L"\\a.txt", b = dir + L"\\b.txt";
  Put(a, "source");
  EXPECT_TRUE(CopyFileAndGrant(a.c_str(), b.c_str(), TRUE));
  EXPECT_EQ(Get(b), "source");
  Put(b, "keep me");
  EXPECT_FALSE(CopyFileAndGrant(a.c_str(), b.c_str(), TRUE));  // exists
  EXPECT_EQ(Get(b), "keep me");
  EXPECT_TRUE(CopyFileAndGrant(a.c_str(), b.c_str(), FALSE));
  EXPECT_EQ(Get(b), "source");
  EXPECT_FALSE(CopyFileAndGrant((dir + L"\\none").c_str(), b.c_str(), FALSE));
  EXPECT_EQ(Get(b), "source");
  // Equal strings: nothing to do, even for a missing file.
  std::wstring same = dir + L"\\none";
  EXPECT_TRUE(CopyFileAndGrant(same.c_str(), same.c_str(), TRUE));
  EXPECT_FALSE(IsFile(same));
  RemoveTree(dir);
}

TEST(PendingCopyName, BesideTheTargetWithACounterWhenTheNameIsTaken) {
  std::wstring target = L"C:\\" + Unique(L"kl_pend_") + L".dll";
  wchar_t first[MAX_PATH];
  ASSERT_TRUE(MakePendingCopyName(target.c_str(), first));
  EXPECT_EQ(std::wstring(first), target + L".temp");
  Put(first, "taken");
  wchar_t second[MAX_PATH];
  ASSERT_TRUE(MakePendingCopyName(target.c_str(), second));
  EXPECT_EQ(std::wstring(second), target + L".1.temp");
  DeleteFileW(first);
  EXPECT_FALSE(MakePendingCopyName(L"", first));
}

// In-memory ACLs: the list GrantUsersAccess writes.
class UsersAcl : public ::testing::Test {
 protected:
  struct Sid {
    explicit Sid(WELL_KNOWN_SID_TYPE t) {
      DWORD n = sizeof(bytes);
      CreateWellKnownSid(t, nullptr, bytes, &n);
    }
    PSID get() { return bytes; }
    BYTE bytes[SECURITY_MAX_SID_SIZE];
  };
  Sid users{WinBuiltinUsersSid}, world{WinWorldSid}, admins{WinBuiltinAdministratorsSid},
      system{WinLocalSystemSid};

  struct Ace {
    BYTE type, flags;
    DWORD mask;
    PSID sid;
  };
  static std::vector<Ace> Read(PACL acl) {
    std::vector<Ace> out;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
      void* p = nullptr;
      GetAce(acl, i, &p);
      auto* a = static_cast<ACCESS_ALLOWED_ACE*>(p);
      out.push_back({a->Header.AceType, a->Header.AceFlags, a->Mask, &a->SidStart});
    }
    return out;
  }
};

TEST_F(UsersAcl, ReplacesUsersAceKeepsOrderAndInheritedFollow) {
  BYTE buf[1024];
  PACL old = reinterpret_cast<PACL>(buf);
  ASSERT_TRUE(InitializeAcl(old, sizeof(buf), ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAceEx(old, ACL_REVISION, 0, FILE_GENERIC_READ, world.get()));
  ASSERT_TRUE(AddAccessAllowedAceEx(old, ACL_REVISION, 0, FILE_GENERIC_READ, users.get()));
  ASSERT_TRUE(AddAccessDeniedAceEx(old, ACL_REVISION, 0, WRITE_DAC, admins.get()));
  ASSERT_TRUE(AddAccessAllowedAceEx(old, ACL_REVISION, INHERITED_ACE, GENERIC_ALL, system.get()));
  ASSERT_TRUE(AddAccessAllowedAceEx(old, ACL_REVISION, INHERITED_ACE | OBJECT_INHERIT_ACE,
                                    FILE_GENERIC_READ, users.get()));

  ui::HeapBlock block;
  ASSERT_TRUE(BuildUsersAcl(old, users.get(), block));
  PACL acl = static_cast<PACL>(block.get());
  EXPECT_TRUE(IsValidAcl(acl));
  std::vector<Ace> aces = Read(acl);
  ASSERT_EQ(aces.size(), 5u);
  // Explicit ACEs of others, in their order.
  EXPECT_TRUE(EqualSid(aces[0].sid, world.get()));
  EXPECT_EQ(aces[0].mask, static_cast<DWORD>(FILE_GENERIC_READ));
  EXPECT_EQ(aces[1].type, ACCESS_DENIED_ACE_TYPE);
  EXPECT_TRUE(EqualSid(aces[1].sid, admins.get()));
  // One modify ACE (never full control) for Users, inherited by files and
  // folders.
  EXPECT_EQ(aces[2].type, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_TRUE(EqualSid(aces[2].sid, users.get()));
  EXPECT_EQ(aces[2].mask, kUsersModifyAccess);
  EXPECT_EQ(aces[2].flags, 3);
  // Inherited ACEs follow unchanged (an inherited Users ACE included).
  EXPECT_TRUE(EqualSid(aces[3].sid, system.get()));
  EXPECT_EQ(aces[3].flags, INHERITED_ACE);
  EXPECT_TRUE(EqualSid(aces[4].sid, users.get()));
  EXPECT_EQ(aces[4].flags, INHERITED_ACE | OBJECT_INHERIT_ACE);
  EXPECT_EQ(aces[4].mask, static_cast<DWORD>(FILE_GENERIC_READ));
}

TEST_F(UsersAcl, AbsentDaclGivesJustTheUsersAce) {
  ui::HeapBlock block;
  ASSERT_TRUE(BuildUsersAcl(nullptr, users.get(), block));
  std::vector<Ace> aces = Read(static_cast<PACL>(block.get()));
  ASSERT_EQ(aces.size(), 1u);
  EXPECT_TRUE(EqualSid(aces[0].sid, users.get()));
  EXPECT_EQ(aces[0].mask, kUsersModifyAccess);
  EXPECT_EQ(aces[0].flags, 3);
}

TEST_F(UsersAcl, OnlyUsersAcesAndEmptyListBecomeOneAce) {
  BYTE buf[256];
  PACL old = reinterpret_cast<PACL>(buf);
  ASSERT_TRUE(InitializeAcl(old, sizeof(buf), ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAceEx(old, ACL_REVISION, 0, FILE_GENERIC_READ, users.get()));
  ASSERT_TRUE(AddAccessAllowedAceEx(old, ACL_REVISION, 0, FILE_GENERIC_WRITE, users.get()));
  ui::HeapBlock block;
  ASSERT_TRUE(BuildUsersAcl(old, users.get(), block));
  std::vector<Ace> aces = Read(static_cast<PACL>(block.get()));
  ASSERT_EQ(aces.size(), 1u);
  EXPECT_EQ(aces[0].mask, kUsersModifyAccess);
}

// Users may change data, never code: no write, delete or access-list change
// on what the system runs.
TEST_F(UsersAcl, ModifyRightsAreNoFullControl) {
  EXPECT_EQ(kUsersModifyAccess & (WRITE_DAC | WRITE_OWNER | GENERIC_ALL), 0u);
  EXPECT_EQ(kUsersModifyAccess & FILE_GENERIC_WRITE, static_cast<DWORD>(FILE_GENERIC_WRITE));
}

TEST(PlacedFileAccess, CodeBackupUninstallerAndWindowsFolderGetNoUsersGrant) {
  for (const wchar_t* code : {L"C:\\Program Files\\K\\a.EXE", L"C:\\K\\ITF\\Interface.dll",
                              L"x.ime", L"d.sys", L"c.ocx", L"p.cpl", L"t.com", L"s.scr",
                              L"v.drv", L"C:\\K\\run.bat", L"C:\\K\\a.exe. "})
    EXPECT_TRUE(IsExecutableName(code)) << std::wstring(code).size();
  for (const wchar_t* data : {L"C:\\K\\user.dic", L"C:\\K\\readme.txt", L"C:\\K.exe\\skin.ini",
                              L"C:\\K\\exe", L""})
    EXPECT_FALSE(IsExecutableName(data)) << std::wstring(data).size();

  std::wstring dir = TempFolder() + Unique(L"kl_rule_");
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  Put(dir + L"\\words.dic", "data");
  Put(dir + L"\\image.dat", std::string("MZ\x90\0", 4));  // a program under another name
  Put(dir + L"\\_backup_.dat", "package");
  Put(dir + L"\\unstall.exe", "MZ");
  EXPECT_TRUE(UsersMayModify((dir + L"\\words.dic").c_str()));
  EXPECT_FALSE(UsersMayModify((dir + L"\\image.dat").c_str()));
  EXPECT_FALSE(UsersMayModify((dir + L"\\_backup_.dat").c_str()));
  EXPECT_FALSE(UsersMayModify((dir + L"\\unstall.exe").c_str()));
  EXPECT_FALSE(UsersMayModify((dir + L"\\Interface.DLL").c_str()));
  wchar_t windows[MAX_PATH];
  ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
  EXPECT_FALSE(UsersMayModify((std::wstring(windows) + L"\\Fonts\\kelo.ttf").c_str()));
  EXPECT_FALSE(UsersMayModify((std::wstring(windows) + L"\\system32\\kelo.dic").c_str()));
  RemoveTree(dir);
}

}  // namespace
