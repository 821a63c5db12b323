// Checks of the sample product's binaries (bin/sample/ beside this program):
// the files the installer, the uninstaller and the driver update work with
// must really have the entry points and resources those steps rely on.
#include <windows.h>
#include <objbase.h>  // ui/owners_win.h uses COM; WIN32_LEAN_AND_MEAN leaves it out
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>

#include "base/format_win.h"
#include "ui/owners_win.h"

namespace {

std::wstring SampleDir() {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring dir(exe);
  dir.resize(dir.find_last_of(L'\\') + 1);
  return dir + L"sample\\";
}

std::wstring Sample(const wchar_t* name) { return SampleDir() + name; }

template <class F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct FileVersion {
  VS_FIXEDFILEINFO fixed = {};
  std::wstring description, company, fileVersion;
};

bool ReadVersion(const std::wstring& file, FileVersion* out) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return false;
  std::string block(size, '\0');
  if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return false;
  void* p = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block.data(), L"\\", &p, &len) || len < sizeof(VS_FIXEDFILEINFO)) return false;
  out->fixed = *static_cast<VS_FIXEDFILEINFO*>(p);
  auto text = [&](const wchar_t* key, std::wstring* dst) {
    wchar_t path[128];
    kl::Format(path, L"\\StringFileInfo\\080404b0\\%s", key);
    if (VerQueryValueW(block.data(), path, &p, &len) && len > 0) dst->assign(static_cast<wchar_t*>(p));
  };
  text(L"FileDescription", &out->description);
  text(L"CompanyName", &out->company);
  text(L"FileVersion", &out->fileVersion);
  return true;
}

TEST(SampleIme, LoadsAndExportsEveryImeEntryPoint) {
  ui::Module ime(LoadLibraryW(Sample(L"KeloSample.ime").c_str()));
  ASSERT_TRUE(ime) << "error " << GetLastError();
  const char* entries[] = {"ImeInquire", "ImeConfigure", "ImeProcessKey", "ImeSelect", "ImeSetActiveContext",
                           "ImeToAsciiEx", "NotifyIME", "ImeSetCompositionString", "ImeConversionList",
                           "ImeDestroy", "ImeEscape", "ImeRegisterWord", "ImeUnregisterWord",
                           "ImeGetRegisterWordStyle", "ImeEnumRegisterWord"};
  for (const char* name : entries) EXPECT_NE(GetProcAddress(ime.get(), name), nullptr) << name;

  // ImeInquire answers with a Unicode IME and a registered UI class.
  using Inquire = BOOL(WINAPI*)(DWORD*, wchar_t*, DWORD);
  using Destroy = BOOL(WINAPI*)(UINT);
  auto inquire = Export<Inquire>(ime.get(), "ImeInquire");
  auto destroy = Export<Destroy>(ime.get(), "ImeDestroy");
  ASSERT_TRUE(inquire && destroy);
  DWORD info[7] = {};
  wchar_t uiClass[16] = {};
  ASSERT_TRUE(inquire(info, uiClass, 0));
  EXPECT_TRUE(info[1] & IME_PROP_UNICODE);
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  EXPECT_TRUE(GetClassInfoExW(ime.get(), uiClass, &wc)) << "UI class not registered";
  EXPECT_TRUE(inquire(info, uiClass, 0)) << "a second inquiry must succeed too";
  EXPECT_FALSE(inquire(nullptr, uiClass, 0));
  EXPECT_TRUE(destroy(0));
}

TEST(SampleIme, IsAnInputMethodDriverFile) {
  FileVersion v;
  ASSERT_TRUE(ReadVersion(Sample(L"KeloSample.ime"), &v));
  EXPECT_EQ(v.fixed.dwFileType, static_cast<DWORD>(VFT_DRV));
  EXPECT_EQ(v.fixed.dwFileSubtype, static_cast<DWORD>(VFT2_DRV_INPUTMETHOD));
  EXPECT_EQ(v.company, L"zorbl");
}

class SampleInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    kl::Format(dir_, L"%sklsample_itf_%lu\\", temp, GetCurrentProcessId());
    CreateDirectoryW(dir_, nullptr);
    kl::Format(log_, L"%sKLInterfaceMessage.log", dir_);
    DeleteFileW(log_);
    GetEnvironmentVariableW(L"TEMP", savedTemp_, MAX_PATH);
    SetEnvironmentVariableW(L"TEMP", dir_);
    dll_.reset(LoadLibraryW(Sample(L"ITF\\Interface.dll").c_str()));
    ASSERT_TRUE(dll_) << "error " << GetLastError();
    fn_ = Export<Fn>(dll_.get(), "KLInterfaceMessage");
    ASSERT_NE(fn_, nullptr);
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TEMP", savedTemp_);
    DeleteFileW(log_);
    RemoveDirectoryW(dir_);
  }
  std::string ReadLog() {
    ui::FileHandle f(CreateFileW(log_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    if (!f) return "<missing>";
    char buf[4096];
    DWORD got = 0;
    ReadFile(f.get(), buf, sizeof(buf), &got, nullptr);
    return std::string(buf, got);
  }
  std::string ExpectedLine(int a, int b, int c, int d) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(dll_.get(), path, MAX_PATH);
    char utf8[4 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof(utf8), nullptr, nullptr);
    char line[5 * MAX_PATH];
    wsprintfA(line, "KLInterfaceMessage(%d,%d,%d,%d) pid=%lu module=%s\r\n", a, b, c, d, GetCurrentProcessId(),
              utf8);
    return line;
  }

  using Fn = int(__cdecl*)(int, int, int, int);
  wchar_t dir_[MAX_PATH] = {}, log_[MAX_PATH] = {}, savedTemp_[MAX_PATH] = {};
  ui::Module dll_;
  Fn fn_ = nullptr;
};

TEST_F(SampleInterface, EachCallAppendsOneLineAndKeepsEarlierOnes) {
  EXPECT_EQ(fn_(0, 7, 0, 0), 1);
  EXPECT_EQ(ReadLog(), ExpectedLine(0, 7, 0, 0));
  EXPECT_EQ(fn_(-1, 2, 3, 2147483647), 1);
  EXPECT_EQ(ReadLog(), ExpectedLine(0, 7, 0, 0) + ExpectedLine(-1, 2, 3, 2147483647));
}

TEST_F(SampleInterface, UnusableTempFolderReportsFailureAndWritesNothing) {
  // TEMP naming a folder that does not exist: the call reports failure
  // (returns 0) instead of writing somewhere unexpected, and nothing breaks.
  wchar_t missing[MAX_PATH];
  kl::Format(missing, L"%sno-such-folder", dir_);
  SetEnvironmentVariableW(L"TEMP", missing);
  EXPECT_EQ(fn_(0, 7, 0, 0), 0);
  EXPECT_EQ(ReadLog(), "<missing>");
}

TEST(SampleConfig, HasIconsAtEveryShortcutIndex) {
  std::wstring exe = Sample(L"config.exe");
  EXPECT_GE(ExtractIconExW(exe.c_str(), -1, nullptr, nullptr, 0), 7u);
  for (int index : {0, 2, 3, 6}) {
    HICON large = nullptr;
    ASSERT_EQ(ExtractIconExW(exe.c_str(), index, &large, nullptr, 1), 1u) << index;
    EXPECT_NE(large, nullptr);
    DestroyIcon(large);
  }
  FileVersion v;
  ASSERT_TRUE(ReadVersion(exe, &v));
  EXPECT_EQ(v.fixed.dwFileType, static_cast<DWORD>(VFT_APP));
}

struct FindByCaption {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindWindowOfProcess(HWND hwnd, LPARAM lp) {
  auto* f = reinterpret_cast<FindByCaption*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t caption[64] = {};
  GetWindowTextW(hwnd, caption, 64);
  if (pid == f->pid && lstrcmpW(caption, L"可乐示例输入法 - 系统设置") == 0) {
    f->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

TEST(SampleConfig, ShowsItsCommandLineInAWindow) {
  wchar_t cmd[2 * MAX_PATH];
  kl::Format(cmd, L"\"%s\" /n 'KeloSample' /do mabiaochaxun", Sample(L"config.exe").c_str());
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  ui::ProcessInfo proc;
  proc.Take(pi);
  FindByCaption f = {proc.pid, nullptr};
  for (int i = 0; i < 100 && !f.found; ++i) {
    Sleep(100);
    EnumWindows(FindWindowOfProcess, reinterpret_cast<LPARAM>(&f));
  }
  ASSERT_NE(f.found, nullptr) << "no config window";
  wchar_t text[2 * MAX_PATH] = {};
  GetDlgItemTextW(f.found, 100, text, 2 * MAX_PATH);
  EXPECT_NE(wcsstr(text, L"/n 'KeloSample' /do mabiaochaxun"), nullptr) << text;
  PostMessageW(f.found, WM_CLOSE, 0, 0);
  ASSERT_EQ(WaitForSingleObject(proc.process.get(), 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(proc.process.get(), &code);
  EXPECT_EQ(code, 0u);
}

TEST(SampleDrivers, VersionResourcesReadBack) {
  for (const wchar_t* name : {L"mb.dll", L"skin.dll", L"KeloSample_sys.dll", L"ITF\\Interface.dll"}) {
    FileVersion v;
    ASSERT_TRUE(ReadVersion(Sample(name), &v)) << name;
    EXPECT_EQ(v.fileVersion, L"1.0.0.1");
    EXPECT_EQ(v.company, L"zorbl");
    EXPECT_FALSE(v.description.empty());
    EXPECT_EQ(v.fixed.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(v.fixed.dwFileVersionLS, 0x00000001u);
  }
}

TEST(SampleDrivers, SkinHasBitmaps103And104) {
  ui::Module skin(LoadLibraryW(Sample(L"skin.dll").c_str()));
  ASSERT_TRUE(skin);
  for (int id : {103, 104}) {
    EXPECT_NE(FindResourceW(skin.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(2)), nullptr) << id;
    ui::GdiObject bmp(LoadImageW(skin.get(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
    EXPECT_TRUE(bmp) << id;
  }
  EXPECT_EQ(FindResourceW(skin.get(), MAKEINTRESOURCEW(105), MAKEINTRESOURCEW(2)), nullptr);
}

TEST(SampleHelp, CompiledHelpFileIsPresent) {
  ui::FileHandle chm(CreateFileW(Sample(L"main.chm").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 0, nullptr));
  ASSERT_TRUE(chm);
  char magic[4] = {};
  DWORD got = 0;
  ReadFile(chm.get(), magic, 4, &got, nullptr);
  EXPECT_EQ(std::string(magic, got), "ITSF");
}

}  // namespace
