// Unattended-run switches and the log's line format (host and win64).
#include <gtest/gtest.h>

#include <string>

#include "state/cmdline.h"
#include "state/setup_log.h"

namespace {

UnattendedSwitches Parse(const char* utf8, bool* ok = nullptr) {
  UnattendedSwitches s;
  const kl::string16 line = kl::FromUtf8(utf8);
  const bool parsed = ParseUnattendedSwitches(line.c_str(), &s);
  if (ok) *ok = parsed;
  return s;
}

std::string U8(const kl::wchar16* s) { return kl::ToUtf8(s); }

TEST(UnattendedSwitches, SilentInFourSpellingsAsAWordOnly) {
  for (const char* line : {"-s", "/s", "-S", "/S", "-u name=[A] -s", "dir=[C:\\x] /S log=[l]"})
    EXPECT_TRUE(Parse(line).silent) << line;
  for (const char* line : {"", "-sx", "x-s", "-s/", "dir=[C:\\a -s b]", "name=[a -s]",
                           "-u name=[A] file=C:\\x -s\\setup.exe", "file=-s"})
    EXPECT_FALSE(Parse(line).silent) << line;
  UnattendedSwitches s;
  EXPECT_TRUE(ParseUnattendedSwitches(nullptr, &s));
  EXPECT_FALSE(s.silent);
}

TEST(UnattendedSwitches, BracketedValuesKeepBlanksAndInnerBrackets) {
  bool ok = false;
  const UnattendedSwitches s =
      Parse("-s dir=[C:\\Apps\\Sample IME] user=[张 三] company=[] log=[C:\\l [1].log] "
            "file=C:\\t\\setup.exe",
            &ok);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(s.silent);
  EXPECT_TRUE(s.hasDir && s.hasUser && s.hasCompany && s.hasLog);
  EXPECT_EQ(U8(s.dir), "C:\\Apps\\Sample IME");
  EXPECT_EQ(U8(s.user), "张 三");
  EXPECT_EQ(U8(s.company), "");
  EXPECT_EQ(U8(s.log), "C:\\l [1].log");
}

TEST(UnattendedSwitches, QuotedWordsAsProgramsPassThem) {
  bool ok = false;
  const UnattendedSwitches s =
      Parse("\"dir=[C:\\Apps\\Sample IME]\" -s \"log=[C:\\a b]\" \"C:\\x -s y\"", &ok);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(s.silent);
  EXPECT_EQ(U8(s.dir), "C:\\Apps\\Sample IME");
  EXPECT_EQ(U8(s.log), "C:\\a b");
  EXPECT_FALSE(Parse("\"C:\\x -s y\"").silent);
  EXPECT_FALSE(Parse("\"dir=[C:\\x]", &ok).hasDir);
  EXPECT_FALSE(ok);  // the quoted value has no closing "]\""
}

TEST(UnattendedSwitches, ValueSwitchesAreBlankedForTheNameSwitch) {
  UnattendedSwitches s;
  kl::string16 rest;
  const kl::string16 line = kl::FromUtf8("-s -u name=[KLBench] \"log=[C:\\b 2.log]\" file=C:\\u.exe");
  ASSERT_TRUE(ParseUnattendedSwitches(line.c_str(), &s, &rest));
  EXPECT_EQ(kl::ToUtf8(rest), "-s -u name=[KLBench] " + std::string(18, ' ') + " file=C:\\u.exe");
  kl::wchar16 mode = 0;
  kl::wchar16 name[kImeNameChars] = {};
  ParseModeSwitches(rest.c_str(), &mode, name);
  EXPECT_EQ(U8(name), "KLBench");
  // Without value switches the line stays as it is.
  const kl::string16 plain = kl::FromUtf8("-u name=[A] x]");
  ASSERT_TRUE(ParseUnattendedSwitches(plain.c_str(), &s, &rest));
  EXPECT_EQ(rest, plain);
}

TEST(UnattendedSwitches, AbsentValuesStayAbsent) {
  const UnattendedSwitches s = Parse("-s -u name=[Sample] xdir=[C:\\y] DIR=[C:\\z]");
  EXPECT_FALSE(s.hasDir || s.hasUser || s.hasCompany || s.hasLog);
  EXPECT_EQ(U8(s.dir), "");
}

TEST(UnattendedSwitches, MalformedValuesAreRefusedAndNamed) {
  const struct {
    const char* line;
    SwitchError error;
    const char* name;
  } cases[] = {
      {"-s dir=[C:\\x", SwitchError::kUnclosed, "dir=["},
      {"-s dir=[C:\\x]y", SwitchError::kUnclosed, "dir=["},
      {"-s log=[]", SwitchError::kEmpty, "log=["},
      {"-s dir=[]", SwitchError::kEmpty, "dir=["},
      {"-s user=[a] user=[b]", SwitchError::kRepeated, "user=["},
  };
  for (const auto& c : cases) {
    bool ok = true;
    const UnattendedSwitches s = Parse(c.line, &ok);
    EXPECT_FALSE(ok) << c.line;
    EXPECT_EQ(s.error, c.error) << c.line;
    EXPECT_EQ(U8(s.badSwitch), c.name) << c.line;
    EXPECT_TRUE(s.silent) << c.line;
    EXPECT_FALSE(s.hasDir || s.hasUser || s.hasLog) << c.line;
  }
  // 259 characters fit a folder; 260 do not, and nothing is cut.
  std::string line = "dir=[" + std::string(259, 'a') + "]";
  bool ok = false;
  EXPECT_EQ(kl::StrLen(Parse(line.c_str(), &ok).dir), 259u);
  EXPECT_TRUE(ok);
  line = "dir=[" + std::string(260, 'a') + "] -s";
  const UnattendedSwitches s = Parse(line.c_str(), &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(s.error, SwitchError::kTooLong);
  EXPECT_TRUE(s.silent);
}

TEST(UnattendedSwitches, StrictReadingNamesTheFirstUnknownWordAndKeepsTheLog) {
  bool ok = false;
  UnattendedSwitches s = Parse("-s --bogus -u name=[My IME] dir=[C:\\a] \"x y\"", &ok);
  EXPECT_TRUE(ok);  // an interactive run ignores unknown words
  EXPECT_FALSE(StrictSwitchesOk(s, ok));
  EXPECT_EQ(U8(s.unknownWord), "--bogus");
  for (const char* known : {"-s -u name=[A b] log=[l]", "/S downgrade", "-g name=[X] /?",
                            "-R name=[X] file=C:\\any thing"}) {
    s = Parse(known, &ok);
    EXPECT_TRUE(StrictSwitchesOk(s, ok)) << known << " -> " << U8(s.unknownWord);
  }
  EXPECT_EQ(U8(Parse("-s foo=[x] bar").unknownWord), "foo=[x]");
  EXPECT_EQ(U8(Parse("-s \"x y\"").unknownWord), "\"x y\"");
  EXPECT_TRUE(Parse("-s downgrade").downgrade);
  for (const char* help : {"/?", "-?", "/help", "-h", "-s --help"}) EXPECT_TRUE(Parse(help).help) << help;
  EXPECT_FALSE(Parse("-s /hx").help);
  // The log is read whatever else is wrong, before or after it.
  for (const char* bad : {"-s dir=[C:\\a] dir=[C:\\b] log=[C:\\d.log]",
                          "log=[C:\\d.log] -s dir=[C:\\a"}) {
    s = Parse(bad, &ok);
    EXPECT_FALSE(ok) << bad;
    EXPECT_TRUE(s.hasLog) << bad;
    EXPECT_EQ(U8(s.log), "C:\\d.log") << bad;
    EXPECT_FALSE(s.hasDir) << bad;
  }
}

TEST(SetupLog, LineIsStampedUtf8WithoutInnerBreaks) {
  const setuplog::Stamp stamp{2026, 12, 8, 7, 5, 9, 42};
  EXPECT_EQ(setuplog::FormatLine(stamp, kl::FromUtf8("  1.创建文件系统....")),
            "2026-12-08 07:05:09.042    1.创建文件系统....\r\n");
  EXPECT_EQ(setuplog::FormatLine(stamp, kl::FromUtf8("a\r\nb\tc")),
            "2026-12-08 07:05:09.042  a  b c\r\n");
  const kl::wchar16 lone[] = {u'x', 0xD800, 0};
  EXPECT_EQ(setuplog::FormatLine(stamp, lone), "2026-12-08 07:05:09.042  x\xEF\xBF\xBD\r\n");
}

TEST(SetupLog, HeaderIsTheMarkAndTheFirstStamp) {
  const setuplog::Stamp stamp{2026, 12, 8, 7, 5, 9, 42};
  const std::string ours = setuplog::kBom + setuplog::FormatLine(stamp, KL_T("command line: -s"));
  auto starts = [](const std::string& s) {
    return setuplog::StartsWithLogHeader(reinterpret_cast<const unsigned char*>(s.data()),
                                         s.size());
  };
  EXPECT_TRUE(starts(ours));
  EXPECT_TRUE(starts(ours.substr(0, setuplog::kHeaderBytes)));
  EXPECT_FALSE(starts(ours.substr(0, setuplog::kHeaderBytes - 1)));  // cut short
  EXPECT_FALSE(starts(ours.substr(3)));                               // no mark
  EXPECT_FALSE(starts("; for 16-bit app support\r\n[fonts]\r\n[extensions]\r\n"));
  EXPECT_FALSE(starts("\xEF\xBB\xBF" "2026-12-08 07:05:09.042 x"));  // one blank
  EXPECT_FALSE(starts("\xEF\xBB\xBF" "2026-1a-08 07:05:09.042  x"));
  EXPECT_FALSE(setuplog::StartsWithLogHeader(nullptr, 0));
}

TEST(SetupLog, ExitLinesAndDefaultName) {
  EXPECT_EQ(kl::ToUtf8(setuplog::ExitLine(0)), "exit code 0 (success)");
  EXPECT_EQ(kl::ToUtf8(setuplog::ExitLine(3010)), "exit code 3010 (success, restart needed)");
  EXPECT_EQ(kl::ToUtf8(setuplog::ExitLine(1602)), "exit code 1602 (nothing done)");
  EXPECT_EQ(kl::ToUtf8(setuplog::ExitLine(1603)), "exit code 1603 (failure)");
  EXPECT_EQ(kl::ToUtf8(setuplog::ExitLine(1618)), "exit code 1618 (another setup is running)");
  EXPECT_EQ(kl::ToUtf8(setuplog::ExitLine(1639)), "exit code 1639 (invalid command line)");
  EXPECT_EQ(kl::ToUtf8(setuplog::DefaultLogName(kl::FromUtf8("Sample"))), "Sample-setup.log");
  EXPECT_EQ(kl::ToUtf8(setuplog::DefaultLogName({})), "kelo-setup.log");
}

}  // namespace
