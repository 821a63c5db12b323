// Switch parsing of the command line (host and win64).
#include "state/cmdline.h"

#include <gtest/gtest.h>

#include <string>

#include "state/records.h"

namespace {

struct Parsed {
  kl::wchar16 mode = u'?';
  kl::wchar16 name[kImeNameChars] = {};
  std::string Name() const { return kl::ToUtf8(name); }
};

Parsed Parse(const char* utf8) {
  Parsed p;
  kl::string16 line = kl::FromUtf8(utf8);
  ParseModeSwitches(line.c_str(), &p.mode, p.name);
  return p;
}

TEST(ModeSwitches, NoSwitchMeansInstall) {
  for (const char* line : {"", "-x", "file=C:\\dir\\setup.exe", "name=[A]", "-u name=A]"}) {
    Parsed p = Parse(line);
    EXPECT_EQ(p.mode, kModeInstall) << line;
    EXPECT_EQ(p.Name(), "") << line;
  }
  Parsed p;
  ParseModeSwitches(nullptr, &p.mode, p.name);
  EXPECT_EQ(p.mode, kModeInstall);
}

TEST(ModeSwitches, FourSpellingsOfEachSwitch) {
  const struct {
    const char* prefix;
    kl::wchar16 mode;
  } cases[] = {{"-u", kModeUninstall}, {"-U", kModeUninstall}, {"/u", kModeUninstall},
               {"/U", kModeUninstall}, {"-r", kModeRepair},    {"-R", kModeRepair},
               {"/r", kModeRepair},    {"/R", kModeRepair},    {"-g", kModeUpdate},
               {"-G", kModeUpdate},    {"/g", kModeUpdate},    {"/G", kModeUpdate}};
  for (const auto& c : cases) {
    std::string line = std::string(c.prefix) + " name=[Alpha]";
    Parsed p = Parse(line.c_str());
    EXPECT_EQ(p.mode, c.mode) << line;
    EXPECT_EQ(p.Name(), "Alpha") << line;
  }
}

TEST(ModeSwitches, OtherSpellingsAreNotRecognised) {
  for (const char* line : {"-U NAME=[A]", "-u Name=[A]", "-u  name=[A]", "-x name=[A]",
                           "\\u name=[A]", "-uname=[A]", "u name=[A]"}) {
    Parsed p = Parse(line);
    EXPECT_EQ(p.mode, kModeInstall) << line;
    EXPECT_EQ(p.Name(), "") << line;
  }
}

TEST(ModeSwitches, SwitchMayStandAnywhere) {
  Parsed p = Parse("a--u name=[A]x");
  EXPECT_EQ(p.mode, kModeUninstall);
  EXPECT_EQ(p.Name(), "A");
}

TEST(ModeSwitches, UpdateWinsOverUninstallWhicheverComesFirst) {
  Parsed p = Parse("-u name=[A] -g name=[B]");
  EXPECT_EQ(p.mode, kModeUpdate);
  EXPECT_EQ(p.Name(), "B");

  // The update copy runs to the end and is cut at its last "]".
  p = Parse("-g name=[B] -u name=[A]");
  EXPECT_EQ(p.mode, kModeUpdate);
  EXPECT_EQ(p.Name(), "B] -u name=[A");

  p = Parse("-r name=[R] -u name=[U]");
  EXPECT_EQ(p.mode, kModeRepair);
  EXPECT_EQ(p.Name(), "R] -u name=[U");
}

TEST(ModeSwitches, FirstSpellingFoundIsTakenWithinOneSwitch) {
  // "-u" is searched before "/U", wherever they stand.
  Parsed p = Parse("/U name=[Second] -u name=[First]");
  EXPECT_EQ(p.mode, kModeUninstall);
  EXPECT_EQ(p.Name(), "First");
}

TEST(ModeSwitches, FileTailIsCutAtLastBracket) {
  Parsed p = Parse("-u name=[A] file=C:\\x\\setup.exe");
  EXPECT_EQ(p.mode, kModeUninstall);
  EXPECT_EQ(p.Name(), "A");

  p = Parse("-r name=[卸载测试] file=C:\\Program Files\\a]b\\setup.exe");
  EXPECT_EQ(p.mode, kModeRepair);
  // The last "]" among the 39 characters kept is the one in the path.
  EXPECT_EQ(p.Name(), "卸载测试] file=C:\\Program Files\\a");
}

TEST(ModeSwitches, NameIsLimitedTo39Characters) {
  std::string longName(50, 'n');
  Parsed p = Parse(("-u name=[" + longName).c_str());
  EXPECT_EQ(p.Name(), std::string(39, 'n'));

  // A "]" beyond the 39th character does not count.
  p = Parse(("-g name=[" + longName + "]").c_str());
  EXPECT_EQ(p.Name(), std::string(39, 'n'));

  // A "]" at the 39th character is the cut.
  p = Parse(("-g name=[" + std::string(38, 'n') + "]xyz").c_str());
  EXPECT_EQ(p.Name(), std::string(38, 'n'));

  // Exactly 39 characters fit.
  p = Parse(("-u name=[" + std::string(39, 'q')).c_str());
  EXPECT_EQ(p.Name(), std::string(39, 'q'));
}

TEST(ModeSwitches, EmptyNameAndUnterminatedName) {
  Parsed p = Parse("-u name=[]");
  EXPECT_EQ(p.mode, kModeUninstall);
  EXPECT_EQ(p.Name(), "");

  p = Parse("-u name=[Alpha");
  EXPECT_EQ(p.mode, kModeUninstall);
  EXPECT_EQ(p.Name(), "Alpha");
}

TEST(ModeSwitches, AbsentSwitchKeepsEarlierName) {
  // A later search that finds nothing leaves the earlier switch's name.
  Parsed p;
  kl::Copy(p.name, KL_T("stale"));
  kl::string16 line = kl::FromUtf8("-r name=[Kept]");
  ParseModeSwitches(line.c_str(), &p.mode, p.name);
  EXPECT_EQ(p.mode, kModeRepair);
  EXPECT_EQ(p.Name(), "Kept");

  line = kl::FromUtf8("-x");
  ParseModeSwitches(line.c_str(), &p.mode, p.name);
  EXPECT_EQ(p.mode, kModeInstall);
  EXPECT_EQ(p.Name(), "Kept");
}

}  // namespace
