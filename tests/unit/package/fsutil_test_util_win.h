// Shared set-up of the file-system utility tests: the testfs helpers, and
// test files written (asserting) and read back as strings.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "testfs_win.h"

namespace fstest {

using testfs::IsFile;
using testfs::IsFolder;
using testfs::RemoveTree;
using testfs::TempFolder;
using testfs::Unique;

inline void Put(const std::wstring& path, const std::string& bytes) {
  ASSERT_TRUE(testfs::WriteAll(path, bytes)) << "cannot write test file";
}

// The file's bytes; "<missing>" when it cannot be read.
inline std::string Get(const std::wstring& path) { return testfs::ReadText(path); }

}  // namespace fstest
