// A real PE32+ as the stub: this test program itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "klpack.h"
#include "package/pe_layout.h"

namespace fs = std::filesystem;

TEST(PackagerWin, RealExecutableStubCarriesE) {
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const fs::path dir = fs::temp_directory_path() / "klpack_real_stub";
  fs::remove_all(dir);
  fs::create_directories(dir / "in");
  std::ofstream(dir / "in" / "a.txt") << "payload";
  std::ofstream(dir / "m.txt") << "imeName = Real\ndisplayName = Real stub\n";
  const fs::path out = dir / "setup.exe";
  klpack::Status s = klpack::BuildSetup(dir / "m.txt", dir / "in", fs::path(self), out);
  ASSERT_TRUE(s.ok()) << s.message;
  std::ifstream f(out, std::ios::binary);
  std::vector<unsigned char> b((std::istreambuf_iterator<char>(f)), {});
  PeLayout pe{};
  ASSERT_TRUE(ReadPeLayout(b.data(), b.size(), &pe));
  EXPECT_EQ(pe.magic, kPeMagic64);
  EXPECT_EQ(pe.loaderFlags, fs::file_size(fs::path(self)));
  std::string report;
  s = klpack::Inspect(out, &report);
  ASSERT_TRUE(s.ok()) << s.message;
  EXPECT_NE(report.find("imeName = Real"), std::string::npos);
  EXPECT_NE(report.find("a.txt"), std::string::npos);
  f.close();
  fs::remove_all(dir);
}
