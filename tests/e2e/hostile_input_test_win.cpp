// The real setup program under Wine given hostile packages and switches:
// a package cabinet that names itself as the next cabinet of a set, file
// entries that overlap over one large folder (hundreds of gigabytes of
// output from a few megabytes) or reach past its data, key names that would
// become paths - in the package header and in a name=[...] switch.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "package/blowfish.h"
#include "package_maker_win.h"
#include "robot_win.h"
#include "sample_product_win.h"
#include "testfs_win.h"
#include "window_watch_win.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testfs::BinFolder;
using testfs::Exists;
using testfs::RemoveTree;
using testfs::TempFolder;

constexpr wchar_t kCopyTail[] = L"\\___kelo_install_base___.exe";
constexpr wchar_t kPromptCaption[] = L"安装程序提示信息";
constexpr wchar_t kPromptText[] = L"程序无法执行任何操作，可能启动参数错误或者文件格式错误。";

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}
uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// A cabinet of our writer made part of a set: "next cabinet" names itself.
Bytes WithNextCabinet(Bytes c, const std::string& next) {
  std::string names = next + '\0' + "disk" + '\0';
  c.insert(c.begin() + 36, names.begin(), names.end());
  const uint32_t k = static_cast<uint32_t>(names.size());
  Put16(c, 30, 0x0002);
  Put32(c, 8, Get32(c, 8) + k);    // cabinet length
  Put32(c, 16, Get32(c, 16) + k);  // first file entry
  const uint16_t folders = static_cast<uint16_t>(c[26] | c[27] << 8);
  for (uint16_t i = 0; i < folders; ++i) {
    const size_t at = 36 + k + 8 * i;
    Put32(c, at, Get32(c, at) + k);  // first data block
  }
  return c;
}

// One MSZIP folder of `blocks` blocks of 32768 zero bytes each (a few dozen
// bytes apiece), with the given file entries over it.
struct Entry {
  std::string name;
  uint32_t size, offset;
  uint16_t folder = 0;
};
Bytes ZeroFolderCabinet(uint16_t blocks, const std::vector<Entry>& files, uint16_t folders = 1) {
  Bytes block(2 + 1024);
  {
    Bytes zeros(32768, 0);
    z_stream z = {};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    block[0] = 'C';
    block[1] = 'K';
    z.next_in = zeros.data();
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = block.data() + 2;
    z.avail_out = static_cast<uInt>(block.size() - 2);
    deflate(&z, Z_FINISH);
    block.resize(block.size() - z.avail_out);
    deflateEnd(&z);
  }
  Bytes b(36 + 8 * folders, 0);
  std::memcpy(b.data(), "MSCF", 4);
  b[24] = 3;
  b[25] = 1;
  Put16(b, 26, folders);
  Put16(b, 28, static_cast<uint32_t>(files.size()));
  Put32(b, 16, static_cast<uint32_t>(b.size()));
  for (const Entry& f : files) {
    const size_t at = b.size();
    b.resize(at + 16, 0);
    Put32(b, at, f.size);
    Put32(b, at + 4, f.offset);
    Put16(b, at + 8, f.folder);
    Put16(b, at + 10, 0x40E6);
    Put16(b, at + 14, 0x20);
    b.insert(b.end(), f.name.begin(), f.name.end());
    b.push_back(0);
  }
  b.reserve(b.size() + size_t(folders) * blocks * (8 + block.size()));
  for (uint16_t k = 0; k < folders; ++k) {
    Put32(b, 36 + 8 * k, static_cast<uint32_t>(b.size()));
    Put16(b, 40 + 8 * k, blocks);
    Put16(b, 42 + 8 * k, 1);
    for (uint32_t i = 0; i < blocks; ++i) {
      const size_t at = b.size();
      b.resize(at + 8, 0);  // checksum 0: not checked
      Put16(b, at + 4, static_cast<uint32_t>(block.size()));
      Put16(b, at + 6, 32768);
      b.insert(b.end(), block.begin(), block.end());
    }
  }
  Put32(b, 8, static_cast<uint32_t>(b.size()));
  return b;
}

// Enciphers a plain cabinet into a package container.
Bytes Container(Bytes cab) {
  Bytes c = cab;
  while (c.size() % 8) c.push_back(0);
  BlowfishContext ctx;
  BlowfishSetKey(&ctx, kPackageKeyLength);
  BlowfishEncryptBlocks(&ctx, c.data() + 56, (c.size() - 56) / 8);
  std::memcpy(c.data(), "CRYP", 4);
  return c;
}

uint64_t TreeBytes(const std::wstring& folder) {
  uint64_t total = 0;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  do {
    std::wstring n = fd.cFileName;
    if (n == L"." || n == L"..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      total += TreeBytes(folder + n + L"\\");
    else
      total += (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return total;
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    CleanRun();
    folder_ = TempFolder() + L"kl hostile e2e\\";
    RemoveTree(folder_);
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    setup_ = folder_ + L"setup.exe";
    ASSERT_TRUE(CopyFileW((BinFolder() + L"setup.exe").c_str(), setup_.c_str(), FALSE));
  }
  void TearDown() override {
    CleanRun();
    RemoveTree(folder_);
  }
  void CleanRun() {
    for (DWORD pid : robot::FindProcesses(kCopyTail)) robot::Kill(pid);
    robot::WaitUntil([&] { return DeleteFileW(WorkingCopy().c_str()) || !Exists(WorkingCopy()); },
                     5000);
    RemoveTree(WorkFolder());
  }
  static std::wstring WorkingCopy() { return TempFolder() + (kCopyTail + 1); }
  static std::wstring WorkFolder() { return TempFolder() + L"__KLIMEInstall\\"; }

  void Package(const Bytes& container) {
    Bytes program;
    ASSERT_TRUE(testpkg::ReadFileBytes((BinFolder() + L"setup.exe").c_str(), &program));
    Bytes packaged = testpkg::AppendPackage(program, container);
    ASSERT_FALSE(packaged.empty());
    ASSERT_TRUE(testpkg::WriteFileBytes(setup_, packaged));
    setupBytes_ = packaged.size();
  }

  // Runs the packaged setup: it must show the generic message within
  // seconds, with the work folder no larger than the split program and
  // package, then clean up once it is answered. Shows nothing else.
  void ExpectPromptAndCleanUp(const char* what) {
    SCOPED_TRACE(what);
    const std::set<std::wstring> before = sample::RunFolders();
    const auto start = std::chrono::steady_clock::now();
    robot::Process first;
    ASSERT_TRUE(robot::Start(setup_, L"", &first));
    ASSERT_TRUE(robot::WaitExit(first, 15000));
    DWORD pid = robot::WaitProcess(kCopyTail, 10000);
    ASSERT_NE(pid, 0u) << "no working copy";
    ui::Handle copy(OpenProcess(SYNCHRONIZE, FALSE, pid));
    robot::MsgBox box = robot::WaitMessageBox(kPromptCaption, 20000, pid);
    ASSERT_TRUE(box) << "no message";
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("seconds_to_message", std::to_string(seconds));
    EXPECT_LT(seconds, 20.0);
    EXPECT_EQ(box.text, kPromptText);
    EXPECT_EQ(robot::WindowsOf(pid).size(), 1u);
    uint64_t used = 0;
    for (const std::wstring& name : sample::RunFolders())
      if (!before.count(name)) used += TreeBytes(TempFolder() + name + L"\\");
    RecordProperty("work_folder_bytes", std::to_string(used));
    EXPECT_LE(used, 2 * setupBytes_ + (1 << 20)) << "the extraction wrote more than it may";
    ASSERT_TRUE(robot::Answer(box.hwnd, IDOK));
    EXPECT_TRUE(robot::WaitExit(copy.get(), 15000));
    EXPECT_TRUE(robot::WaitUntil([&] { return sample::NoRunFolderBut(before); }, 8000))
        << "a private folder of the run stayed";
  }

  // Starts the program with a switch; its working copy must run and end by
  // itself without any window. The watch covers both processes from the
  // start; "no window" counts only once it has seen the copy alive.
  void ExpectSilentEnd(const std::wstring& arguments) {
    SCOPED_TRACE(std::string(arguments.begin(), arguments.end()));
    robot::Process first;
    ASSERT_TRUE(robot::Start(setup_, arguments, &first));
    robot::WindowWatch watch(first.pid(), kCopyTail);
    ASSERT_TRUE(robot::WaitExit(first, 15000));
    EXPECT_TRUE(robot::WaitUntil([&] { return watch.copiesSeen() > 0; }, 10000, 10))
        << "the working copy was never seen running";
    EXPECT_TRUE(robot::WaitNoProcess(kCopyTail, 15000));
    const std::vector<std::wstring> seen = watch.Stop();
    EXPECT_TRUE(seen.empty()) << "a window was shown: " << kl::ToUtf8(seen.front().c_str());
  }

  std::wstring folder_, setup_;
  uint64_t setupBytes_ = 0;
};

// --- sets ----------------------------------------------------------------------

TEST_F(HostileInput, PackageCabinetNamingItselfAsNextIsRefused) {
  Bytes cab = cab::BuildCabinet(
      {{"InstallInfo.kif", testpkg::MakeManifest(u"KlHostileSet", u"Set")},
       {"a.txt", Bytes(5000, 'a')}});
  ASSERT_FALSE(cab.empty());
  Package(Container(WithNextCabinet(cab, "klinstallbaseexe.cab")));
  ExpectPromptAndCleanUp("next cabinet is the package itself");
}

// --- output far larger than the package -------------------------------------------

TEST_F(HostileInput, OverlappingOrOverlongFileRangesAreRefused) {
  // 200 entries over one folder of 65535 blocks (2 GiB): about 429 GB.
  std::vector<Entry> files;
  for (int i = 0; i < 200; ++i)
    files.push_back({"f" + std::to_string(i) + ".bin", 65535u * 32768u, 0});
  Package(Container(ZeroFolderCabinet(65535, files)));
  ExpectPromptAndCleanUp("200 overlapping 2 GiB files");

  // One file that claims more than its folder's data holds.
  Package(Container(ZeroFolderCabinet(2, {{"InstallInfo.kif", 2668, 0},
                                          {"big.bin", 70000, 2668}})));
  ExpectPromptAndCleanUp("file past the folder's data");
}

TEST_F(HostileInput, NotEnoughFreeSpaceIsToldBeforeAnythingIsWritten) {
  // The temporary folder on a volume of known size (the host's /dev/shm,
  // seen through drive Z:); enough folders of 2 GiB each to need more than it has.
  const std::wstring temp = L"Z:\\dev\\shm\\klhostilespace\\";
  RemoveTree(temp);
  if (!CreateDirectoryW(temp.c_str(), nullptr)) GTEST_SKIP() << "no /dev/shm to put the temporary folder on";
  ULARGE_INTEGER avail{};
  ASSERT_TRUE(GetDiskFreeSpaceExW(temp.c_str(), &avail, nullptr, nullptr));
  const uint64_t perFolder = 65535ull * 32768ull;
  const uint16_t folders = static_cast<uint16_t>(avail.QuadPart / perFolder + 1);
  if (folders > 40) GTEST_SKIP() << "the volume is too large for this test";
  std::vector<Entry> files = {{"InstallInfo.kif", 2668, 0, 0}};
  for (uint16_t k = 0; k < folders; ++k)
    files.push_back({"f" + std::to_string(k) + ".bin", static_cast<uint32_t>(perFolder - (k ? 0 : 2668)),
                     k ? 0u : 2668u, k});
  Package(Container(ZeroFolderCabinet(65535, files, folders)));

  robot::StartOptions options;
  options.environment = {{L"TMP", temp}, {L"TEMP", temp}};
  robot::Process first;
  ASSERT_TRUE(robot::Start(setup_, L"", &first, options));
  ASSERT_TRUE(robot::WaitExit(first, 30000));
  DWORD pid = robot::WaitProcess(kCopyTail, 10000);
  ASSERT_NE(pid, 0u);
  ui::Handle copy(OpenProcess(SYNCHRONIZE, FALSE, pid));
  // The extractor's own message with the space needed.
  robot::MsgBox space = robot::WaitMessageBox(kPromptCaption, 60000, pid);
  ASSERT_TRUE(space);
  const uint64_t neededMb = (2668 + uint64_t(folders) * perFolder - 2668 + (1 << 20) - 1) >> 20;
  EXPECT_NE(space.text.find(L"磁盘空间不足"), std::wstring::npos) << space.text;
  EXPECT_NE(space.text.find(std::to_wstring(neededMb) + L" MB"), std::wstring::npos) << space.text;
  EXPECT_LT(TreeBytes(temp), 4 * setupBytes_ + (1 << 20)) << "files were written";
  ASSERT_TRUE(robot::Answer(space.hwnd, IDOK));
  ASSERT_TRUE(robot::WaitUntil([&] { return !IsWindow(space.hwnd); }, 10000));
  // That message says it all: no generic one follows, the run ends.
  bool second = false;
  EXPECT_TRUE(robot::WaitUntil(
      [&] {
        second = second ||
                 robot::FindTopWindow(kPromptCaption, robot::kDialogClass, pid) != nullptr;
        return WaitForSingleObject(copy.get(), 0) == WAIT_OBJECT_0;
      },
      20000, 20));
  EXPECT_FALSE(second) << "a second message followed the space message";
  // (The work folder's removal is checked on the usual temporary folder by
  // the other tests; on Wine's Z: drive the interpreter's removal does not
  // take, so it is not asserted here.)
  robot::WaitUntil([&] { return !Exists(temp + (kCopyTail + 1)); }, 8000);
  RemoveTree(temp);
}

// --- key names ---------------------------------------------------------------------

TEST_F(HostileInput, PackageHeaderWithAPathAsKeyNameIsRefused) {
  for (const std::u16string& name :
       {std::u16string(u"..\\..\\Windows\\KlHostile"), std::u16string(31, u'k')}) {
    Package(testpkg::MakeContainer(
        {{"InstallInfo.kif", testpkg::MakeManifest(name, u"Hostile")}, {"a.txt", {'a'}}}));
    ExpectPromptAndCleanUp("key name in the header");
  }
}

TEST_F(HostileInput, SwitchWithABadKeyNameDoesNothing) {
  // A product installed under names that are not plain key names (the
  // registry holds them): the switches must not reach it.
  const std::wstring installed = folder_ + L"installed\\";
  ASSERT_TRUE(CreateDirectoryW(installed.c_str(), nullptr));
  ASSERT_TRUE(testfs::WriteAll(installed + L"keep.txt", std::string("keep")));
  const std::wstring names[] = {L"KlHostileE2e.", L"KlHostileE2eNameLongerThanThirty"};
  for (const std::wstring& n : names) {
    const std::wstring key = L"Software\\zorbl\\" + n;
    ui::RegKey k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              k.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k.get(), L"KMEInstallPath", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(installed.c_str()),
                             static_cast<DWORD>((installed.size() + 1) * 2)),
              ERROR_SUCCESS);
  }
  for (const std::wstring& n : names)
    for (const wchar_t* sw : {L"-u", L"-r", L"-g"}) ExpectSilentEnd(std::wstring(sw) + L" name=[" + n + L"]");
  ExpectSilentEnd(L"-u name=[..\\..\\Windows] -r name=[a]b -g x]");
  for (const std::wstring& n : names)
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\zorbl\\" + n).c_str());
  EXPECT_EQ(testfs::ReadText(installed + L"keep.txt"), "keep");
}

}  // namespace
