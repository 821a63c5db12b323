// The one name rule: file names, relative cabinet paths and key names.
#include "base/keyname.h"

#include <gtest/gtest.h>

namespace {

using kl::NameProblem;

kl::string16 U(const char* utf8) { return kl::FromUtf8(utf8); }

TEST(NameRule, RelativePaths) {
  for (const char* ok : {"a.txt", "sub\\deeper\\x.bin", "sub/x", "$system32$\\k.dll",
                         "\xE4\xB8\xAD.txt", "console.txt", "com10", "nullable", "CONx", ".hidden",
                         "a]b", "a b", "a\x7E"})
    EXPECT_TRUE(kl::IsSafeRelativePath(U(ok))) << ok;
  struct Bad {
    const char* name;
    NameProblem why;
  } bad[] = {
      {"", NameProblem::Empty},          {"..", NameProblem::DotName},
      {"a\\..\\..\\x", NameProblem::DotName}, {"a\\.\\x", NameProblem::DotName},
      {"C:x", NameProblem::Colon},       {"x.txt:stream", NameProblem::Colon},
      {"\\x", NameProblem::Absolute},    {"//server/share/x", NameProblem::Absolute},
      {"CON", NameProblem::DeviceName},  {"aux.txt", NameProblem::DeviceName},
      {"sub\\com1.log", NameProblem::DeviceName}, {"COM\xC2\xB9", NameProblem::DeviceName},
      {"lpt9 .x", NameProblem::DeviceName}, {"a\\\\b", NameProblem::Empty},
      {"a\\", NameProblem::Empty},       {"trail.", NameProblem::TrailingDotOrSpace},
      {"trail ", NameProblem::TrailingDotOrSpace}, {"sub.\\x", NameProblem::TrailingDotOrSpace},
      {"a*b", NameProblem::BadCharacter}, {"a\"b", NameProblem::BadCharacter},
      {"a<b>", NameProblem::BadCharacter}, {"a|b", NameProblem::BadCharacter},
      {"a?b", NameProblem::BadCharacter}, {"a\x01" "b", NameProblem::ControlCharacter},
      {"a\x7F", NameProblem::ControlCharacter},
      // The last control character; the blank after it is a name's own.
      {"a\x1F" "b", NameProblem::ControlCharacter}, {"\x1F", NameProblem::ControlCharacter},
  };
  for (const Bad& b : bad) EXPECT_EQ(kl::CheckRelativePath(U(b.name)), b.why) << b.name;
  // A lone surrogate is no name; a pair is.
  kl::string16 lone(1, static_cast<kl::wchar16>(0xD800));
  EXPECT_EQ(kl::CheckFileName(lone), NameProblem::ControlCharacter);
  EXPECT_TRUE(kl::IsSafeRelativePath(U("\xF0\x9F\x98\x80.txt")));
}

TEST(NameRule, KeyNames) {
  for (const char* ok : {"KeloPinyin", "Kelo Pinyin 2", "\xE5\x8F\xAF\xE4\xB9\x90",
                         "abcdefghijklmnopqrstuvwxyz0123"})
    EXPECT_TRUE(kl::IsPlainKeyName(U(ok))) << ok;
  struct Bad {
    const char* name;
    NameProblem why;
  } bad[] = {
      {"..", NameProblem::DotName},           {"..\\..\\Windows\\x", NameProblem::Separator},
      {"a/b", NameProblem::Separator},        {"C:x", NameProblem::Colon},
      {"a]b -u x", NameProblem::Bracket},     {"CON", NameProblem::DeviceName},
      {"Kelo.", NameProblem::TrailingDotOrSpace}, {"Kelo\t", NameProblem::ControlCharacter},
      {"Kelo\x1F" "2", NameProblem::ControlCharacter},
      {"abcdefghijklmnopqrstuvwxyz01234", NameProblem::TooLong}, {"", NameProblem::Empty},
  };
  for (const Bad& b : bad) EXPECT_EQ(kl::CheckKeyName(U(b.name)), b.why) << b.name;

  // A field must hold its terminator.
  kl::wchar16 field[40] = {};
  kl::Copy(field, KL_T("Kelo"));
  EXPECT_TRUE(kl::IsPlainKeyNameField(field, 40));
  for (auto& c : field) c = u'k';
  EXPECT_FALSE(kl::IsPlainKeyNameField(field, 40));
  EXPECT_FALSE(kl::IsPlainKeyNameField(nullptr, 40));
}

TEST(NameRule, CaseFoldingAsWindowsCompares) {
  EXPECT_EQ(kl::FoldCase(U("Dir\\A.txt")), kl::FoldCase(U("dir\\a.TXT")));
  EXPECT_EQ(kl::FoldCase(U("\xC3\x89t\xC3\xA9")), kl::FoldCase(U("\xC3\xA9T\xC3\x89")));  // Été
  EXPECT_EQ(kl::FoldCase(U("\xD0\x94")), kl::FoldCase(U("\xD0\xB4")));  // Cyrillic De
  EXPECT_NE(kl::FoldCase(U("\xE4\xB8\xAD")), kl::FoldCase(U("\xE4\xB8\xAE")));
}

}  // namespace
