// Mapped files under Wine: results are read back from the real files.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "sys/mapfile_win.h"

namespace {

std::wstring TempFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring dir = std::wstring(temp) + L"kl_mapfile_" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\";
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_EQ(written, bytes.size());
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out(GetFileSize(h, nullptr), '\0');
  DWORD got = 0;
  if (!out.empty()) ReadFile(h, &out[0], static_cast<DWORD>(out.size()), &got, nullptr);
  CloseHandle(h);
  out.resize(got);
  return out;
}

class MappedFile : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = TempFolder(); }
  std::wstring Path(const wchar_t* name) { return dir_ + name; }
  std::wstring dir_;
};

TEST_F(MappedFile, OpenMissingFileGivesZeroAndNothingMapped) {
  MappedFileRecord* record = reinterpret_cast<MappedFileRecord*>(1);
  EXPECT_EQ(OpenMappedFile(0, &record, Path(L"missing.bin").c_str()), 0u);
  EXPECT_EQ(record, nullptr);

  CQXMapfile file;
  EXPECT_EQ(file.Open(Path(L"missing.bin").c_str(), 0), 0u);
  EXPECT_EQ(file.GetPointer(0), nullptr);
  EXPECT_EQ(file.GetSize(), 0u);
  file.Close();  // nothing held: harmless
}

TEST_F(MappedFile, OpenEmptyFileGivesZero) {
  WriteFileBytes(Path(L"empty.bin"), "");
  CQXMapfile file;
  EXPECT_EQ(file.Open(Path(L"empty.bin").c_str(), 0), 0u);
  EXPECT_EQ(file.GetPointer(0), nullptr);
  EXPECT_EQ(file.GetSize(), 0u);
}

TEST_F(MappedFile, OpenReadOnlyShowsTheWholeFile) {
  WriteFileBytes(Path(L"data.bin"), "hello mapped world");
  CQXMapfile file;
  ASSERT_EQ(file.Open(Path(L"data.bin").c_str(), 0), 18u);
  EXPECT_EQ(file.GetSize(), 18u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(file.GetPointer(0)), 18), "hello mapped world");
  EXPECT_EQ(*file.GetPointer(6), 'm');
  EXPECT_EQ(file.Writable(), 0);
}

TEST_F(MappedFile, CreateOverLongerFileLeavesExactlyN) {
  WriteFileBytes(Path(L"long.bin"), std::string(5000, 'x'));
  CQXMapfile file;
  ASSERT_EQ(file.Create(Path(L"long.bin").c_str(), 100), 100u);
  memcpy(file.GetPointer(0), std::string(100, 'a').data(), 100);
  file.Close();
  EXPECT_EQ(ReadFileBytes(Path(L"long.bin")), std::string(100, 'a'));
}

TEST_F(MappedFile, CreateOfZeroBytesFailsAndLeavesEmptyFile) {
  WriteFileBytes(Path(L"zero.bin"), "old");
  CQXMapfile file;
  EXPECT_EQ(file.Create(Path(L"zero.bin").c_str(), 0), 0u);
  EXPECT_EQ(file.GetPointer(0), nullptr);
  EXPECT_EQ(ReadFileBytes(Path(L"zero.bin")), "");
}

TEST_F(MappedFile, CloseFlushesOnlyWritableObjects) {
  WriteFileBytes(Path(L"ro.bin"), "read only");
  WriteFileBytes(Path(L"rw.bin"), "read write");
  {
    CQXMapfile ro;
    ASSERT_NE(ro.Open(Path(L"ro.bin").c_str(), 0), 0u);
    DWORD before = MappedFileFlushCount();
    ro.Close();
    EXPECT_EQ(MappedFileFlushCount(), before);  // Open(path, 0): no flush
  }
  {
    CQXMapfile rw;
    ASSERT_EQ(rw.Open(Path(L"rw.bin").c_str(), 1), 10u);
    rw.GetPointer(0)[0] = 'R';
    DWORD before = MappedFileFlushCount();
    rw.Close();
    EXPECT_EQ(MappedFileFlushCount(), before + 1);
  }
  EXPECT_EQ(ReadFileBytes(Path(L"rw.bin")), "Read write");
  {
    CQXMapfile created;
    ASSERT_EQ(created.Create(Path(L"new.bin").c_str(), 4), 4u);
    memcpy(created.GetPointer(0), "kelo", 4);
    DWORD before = MappedFileFlushCount();
    created.Close();
    EXPECT_EQ(MappedFileFlushCount(), before + 1);
  }
  EXPECT_EQ(ReadFileBytes(Path(L"new.bin")), "kelo");
}

TEST_F(MappedFile, DestructorReleasesLikeClose) {
  {
    CQXMapfile file;
    ASSERT_EQ(file.Create(Path(L"dtor.bin").c_str(), 3), 3u);
    memcpy(file.GetPointer(0), "abc", 3);
  }
  // Released: the file can be opened without sharing and holds the bytes.
  HANDLE h = CreateFileW(Path(L"dtor.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  EXPECT_EQ(ReadFileBytes(Path(L"dtor.bin")), "abc");
}

TEST_F(MappedFile, DoubleCloseIsHarmless) {
  WriteFileBytes(Path(L"twice.bin"), "12345");
  CQXMapfile file;
  ASSERT_EQ(file.Open(Path(L"twice.bin").c_str(), 1), 5u);
  file.Close();
  file.Close();
  EXPECT_EQ(file.GetSize(), 0u);
  EXPECT_EQ(file.GetPointer(0), nullptr);
  CloseMappedFile(nullptr, 1);  // a null record is ignored
  EXPECT_EQ(ReadFileBytes(Path(L"twice.bin")), "12345");
}

TEST_F(MappedFile, OverlongPathIsCutTo259Characters) {
  // A real file whose path is exactly 259 characters; the object is given
  // that path with more characters after it and must open the cut form.
  std::wstring cut = dir_;
  cut += std::wstring(259 - cut.size() - 4, L'p') + L".bin";
  ASSERT_EQ(cut.size(), 259u);
  WriteFileBytes(cut, "cut path");
  std::wstring longer = cut + L"_and_more_characters";

  CQXMapfile file;
  ASSERT_EQ(file.Open(longer.c_str(), 0), 8u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(file.GetPointer(0)), 8), "cut path");
  EXPECT_EQ(std::wstring(file.Path()), cut);
  file.Close();
  DeleteFileW(cut.c_str());
}

TEST_F(MappedFile, ResizeGrowsAndShrinksTheFile) {
  CQXMapfile file;
  ASSERT_EQ(file.Create(Path(L"resize.bin").c_str(), 4), 4u);
  memcpy(file.GetPointer(0), "abcd", 4);
  ASSERT_EQ(file.Resize(10), 1);
  EXPECT_EQ(file.GetSize(), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(file.GetPointer(0)), 4), "abcd");
  memcpy(file.GetPointer(4), "efghij", 6);
  ASSERT_EQ(file.Resize(6), 1);
  EXPECT_EQ(file.GetSize(), 6u);
  file.Close();
  EXPECT_EQ(ReadFileBytes(Path(L"resize.bin")), "abcdef");
}

TEST_F(MappedFile, ResizeWithNothingMappedGivesZero) {
  CQXMapfile file;
  EXPECT_EQ(file.Resize(100), 0);
  EXPECT_EQ(ResizeMappedFile(nullptr, 100), 0);
  EXPECT_EQ(file.Open(Path(L"none.bin").c_str(), 1), 0u);
  EXPECT_EQ(file.Resize(100), 0);
  EXPECT_EQ(GetFileAttributesW(Path(L"none.bin").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(MappedFile, OpenOverHeldRecordReleasesTheOldOne) {
  WriteFileBytes(Path(L"first.bin"), "first");
  WriteFileBytes(Path(L"second.bin"), "second!");
  CQXMapfile file;
  ASSERT_EQ(file.Open(Path(L"first.bin").c_str(), 1), 5u);
  file.GetPointer(0)[0] = 'F';
  ASSERT_EQ(file.Open(Path(L"second.bin").c_str(), 0), 7u);
  // The first file was released (with its change) and can be replaced.
  EXPECT_EQ(ReadFileBytes(Path(L"first.bin")), "First");
  EXPECT_TRUE(DeleteFileW(Path(L"first.bin").c_str()));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(file.GetPointer(0)), 7), "second!");
  ASSERT_EQ(file.Create(Path(L"third.bin").c_str(), 2), 2u);
  EXPECT_TRUE(DeleteFileW(Path(L"second.bin").c_str()));
}

TEST_F(MappedFile, FreeFunctionsWorkWithoutTheObject) {
  MappedFileRecord* record = nullptr;
  ASSERT_EQ(CreateMappedFile(3, Path(L"free.bin").c_str(), &record), 3u);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::wstring(record->path), Path(L"free.bin"));
  memcpy(record->view, "xyz", 3);
  EXPECT_EQ(ResizeMappedFile(record, 5), 1);
  EXPECT_EQ(record->size, 5u);
  CloseMappedFile(record, 1);
  EXPECT_EQ(ReadFileBytes(Path(L"free.bin")), std::string("xyz\0\0", 5));

  record = nullptr;
  ASSERT_EQ(OpenMappedFile(1, &record, Path(L"free.bin").c_str()), 5u);
  static_cast<char*>(record->view)[3] = '!';
  CloseMappedFile(record, 0);
  EXPECT_EQ(ReadFileBytes(Path(L"free.bin")).substr(0, 4), "xyz!");
}

}  // namespace
