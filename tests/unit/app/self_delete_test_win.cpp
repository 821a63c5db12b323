// The working copy's self-deletion, on a helper program that schedules its
// own deletion from folders with spaces in their names.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app_test_util_win.h"
#include "robot_win.h"

namespace {

ULONGLONG CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The processes the process p started, open for waiting. A process id comes
// back into use once its process has ended, so a process whose recorded
// parent id is p's but that is older than p had another parent.
std::vector<ui::Handle> ChildrenOf(const robot::Process& p) {
  std::vector<ui::Handle> out;
  const ULONGLONG born = CreationTime(p.handle());
  ui::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!born || !snap || snap.get() == INVALID_HANDLE_VALUE) return out;
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof(e);
  for (BOOL ok = Process32FirstW(snap.get(), &e); ok; ok = Process32NextW(snap.get(), &e)) {
    if (e.th32ParentProcessID != p.pid() || e.th32ProcessID == p.pid()) continue;
    ui::Handle child(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE |
                                     PROCESS_QUERY_LIMITED_INFORMATION,
                                 FALSE, e.th32ProcessID));
    if (child && CreationTime(child.get()) >= born) out.push_back(std::move(child));
  }
  return out;
}

class SelfDelete : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = apptest::FreshFolder(L"kl startup self delete");
    helper_ = apptest::ThisExe();
    helper_ = helper_.substr(0, helper_.rfind(L'\\') + 1) + L"self_delete.exe";
    ASSERT_TRUE(apptest::Exists(helper_)) << "self_delete.exe is expected next to the tests";
  }
  void TearDown() override { apptest::RemoveTree(base_); }

  // Copies the helper to path, runs it and waits for it; its exit code.
  DWORD RunCopyAt(const std::wstring& path, const robot::StartOptions& options = {},
                  const std::wstring& arguments = L"") {
    EXPECT_TRUE(CopyFileW(helper_.c_str(), path.c_str(), FALSE));
    robot::Process p;
    if (!robot::Start(path, arguments, &p, options)) return 99;
    DWORD code = 98;
    EXPECT_TRUE(robot::WaitExit(p, 10000, &code));
    return code;
  }

  std::wstring base_, helper_;
};

TEST_F(SelfDelete, FileInFolderWithSpacesIsDeletedAfterExit) {
  std::wstring folder = base_ + L"a b  c\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring path = folder + L"working copy.exe";
  ASSERT_EQ(RunCopyAt(path), 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !apptest::Exists(path); }, 8000))
      << "the program was not deleted";
  EXPECT_TRUE(apptest::Exists(folder)) << "only the file goes";
}

TEST_F(SelfDelete, PathWithSpacesAndNoShortNamesIsDeleted) {
  // On a volume without 8.3 names the path handed to "del" keeps its spaces.
  std::wstring folder = base_ + L"no short names\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring path = folder + L"working copy.exe";
  ASSERT_EQ(RunCopyAt(path, robot::StartOptions(), L"long-names"), 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !apptest::Exists(path); }, 8000))
      << "the program was not deleted";
}

TEST_F(SelfDelete, ReadOnlyFileIsDeletedToo) {
  // The attributes are set to normal before the deletion runs.
  std::wstring path = base_ + L"ro copy.exe";
  ASSERT_TRUE(CopyFileW(helper_.c_str(), path.c_str(), FALSE));
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  robot::Process p;
  ASSERT_TRUE(robot::Start(path, L"", &p));
  DWORD code = 98;
  ASSERT_TRUE(robot::WaitExit(p, 10000, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !apptest::Exists(path); }, 8000));
}

// COMSPEC (a user's own environment reaches an elevated run) plays no part:
// the system's interpreter deletes the file, a planted program never runs.
TEST_F(SelfDelete, ComspecNeverPicksTheInterpreter) {
  const std::wstring planted = base_ + L"planted.exe";
  ASSERT_TRUE(CopyFileW((helper_.substr(0, helper_.rfind(L'\\') + 1) + L"leave_trace.exe").c_str(),
                        planted.c_str(), FALSE));
  for (const wchar_t* comspec : {L"", planted.c_str()}) {
    std::wstring path = base_ + L"comspec copy.exe";
    ASSERT_TRUE(CopyFileW(helper_.c_str(), path.c_str(), FALSE));
    robot::StartOptions options;
    options.environment = {{L"COMSPEC", comspec}};
    robot::Process p;
    ASSERT_TRUE(robot::Start(path, L"", &p, options));
    DWORD code = 98;
    ASSERT_TRUE(robot::WaitExit(p, 10000, &code));
    EXPECT_EQ(code, 0u);
    // Whatever the helper started has ended once the file is gone.
    EXPECT_TRUE(robot::WaitUntil([&] { return !apptest::Exists(path); }, 8000))
        << "the program was not deleted";
    for (const ui::Handle& child : ChildrenOf(p)) robot::WaitExit(child.get(), 15000);
  }
  EXPECT_FALSE(apptest::Exists(planted + L".trace")) << "the planted program ran";
}

// A working copy in one of the run's private folders takes its folder along.
TEST_F(SelfDelete, PrivateFolderOfTheRunGoesWithTheCopy) {
  std::wstring folder = base_ + L"__KLIMEWork0badf00d\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring path = folder + L"___kelo_install_base___.exe";
  ASSERT_EQ(RunCopyAt(path), 0u);
  EXPECT_TRUE(robot::WaitUntil([&] { return !apptest::Exists(folder); }, 8000))
      << "the copy's folder was left";
}

}  // namespace
