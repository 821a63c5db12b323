#include "update/update_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace klupdate;
using kl::string16;

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<unsigned char> Utf16(const string16& s, bool big) {
  std::vector<unsigned char> b = big ? std::vector<unsigned char>{0xFE, 0xFF}
                                     : std::vector<unsigned char>{0xFF, 0xFE};
  for (wchar16 c : s) {
    const unsigned v = static_cast<uint16_t>(c);
    if (big) { b.push_back(v >> 8); b.push_back(v & 0xFF); }
    else { b.push_back(v & 0xFF); b.push_back(v >> 8); }
  }
  return b;
}

struct Parsed {
  UpdateEntryList list;
  int unknown = 0;
};

void Parse(const std::vector<unsigned char>& bytes, Parsed* p) {
  DecodedText t = DecodeText(bytes.data(), bytes.size());
  ParseUpdateList(t, &p->list, [](void* u) { ++static_cast<Parsed*>(u)->unknown; }, p);
}

const char kList[] =
    "<TYPE=IME_MAIN><NAME=KeloSample><VERSION=1.0.0.2><CABURL=http://h/ime.cab>\r\n"
    "\r\n"
    "<type=skin_drive><Name=prismic><VERSION=2.1.0.5><CABURL=http://h/s.cab>\r\n"
    "<TYPE=WHATEVER><NAME=x><VERSION=1.2>\r\n";

void ExpectSampleRecords(const Parsed& p) {
  ASSERT_EQ(p.list.Count(), 3u);
  EXPECT_EQ(p.list.At(0)->type, kTypeImeMain);
  EXPECT_EQ(string16(p.list.At(0)->name), KL_T("KeloSample"));
  EXPECT_EQ(p.list.At(0)->serverVersion, 0x0001000000000002ull);
  EXPECT_EQ(string16(p.list.At(0)->cabUrl), KL_T("http://h/ime.cab"));
  EXPECT_EQ(p.list.At(1)->type, kTypeSkinDrive);
  EXPECT_EQ(string16(p.list.At(1)->name), KL_T("prismic"));
  EXPECT_EQ(p.list.At(1)->serverVersion, 0x0002000100000005ull);
  EXPECT_EQ(p.list.At(2)->type, kTypeUnknown);
  EXPECT_EQ(p.list.At(2)->serverVersion, 0x0001000200000000ull);
  EXPECT_EQ(p.unknown, 0);
}

}  // namespace

TEST(UpdateList, FiveEncodingsGiveTheSameRecords) {
  const std::string utf8 = kList;
  const string16 wide = kl::FromUtf8(utf8);
  std::vector<std::vector<unsigned char>> forms = {
      Bytes("\xEF\xBB\xBF" + utf8), Utf16(wide, false), Utf16(wide, true),
      Bytes(utf8 + "<NAME=\xE5\x8F\xAF>\r\n"),  // a Chinese name makes it pass the UTF-8 test
      Bytes(utf8)};                             // 7-bit: the ANSI branch
  const TextEncoding expected[] = {TextEncoding::kUtf8Bom, TextEncoding::kUtf16Le,
                                   TextEncoding::kUtf16Be, TextEncoding::kUtf8,
                                   TextEncoding::kAnsi};
  for (size_t i = 0; i < forms.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(DecodeText(forms[i].data(), forms[i].size()).encoding, expected[i]);
    Parsed p;
    Parse(forms[i], &p);
    if (i == 3) {
      ASSERT_EQ(p.list.Count(), 4u);
      EXPECT_EQ(string16(p.list.At(3)->name), KL_T("可"));
      continue;
    }
    ExpectSampleRecords(p);
  }
}

TEST(UpdateList, DecoderCounts) {
  const auto le = Utf16(KL_T("ab"), false);  // 6 bytes
  EXPECT_EQ(DecodeText(le.data(), le.size()).length, 3);
  const auto bom = Bytes("\xEF\xBB\xBF" "a\xE4\xB8");  // cut sequence: no unit, no over-read
  DecodedText t = DecodeText(bom.data(), bom.size());
  EXPECT_EQ(t.length, 1);
  EXPECT_EQ(string16(t.text()), KL_T("a"));
  const auto four = Bytes("\xF0\x9F\x98\x80");  // low 16 bits of U+1F600
  EXPECT_EQ(DecodeText(four.data(), four.size()).units[0], static_cast<wchar16>(0xF600));
  EXPECT_FALSE(LooksLikeUtf8(nullptr, 0));
  EXPECT_FALSE(LooksLikeUtf8(reinterpret_cast<const unsigned char*>("\x80"), 1));
  const auto ansi = Bytes(std::string("ab\0cd", 5));
  EXPECT_EQ(DecodeText(ansi.data(), ansi.size()).length, 2);
}

TEST(UpdateList, LineRules) {
  Parsed p;
  // A blank first line and a line of spaces each give a type-0 record; a
  // bare key takes the rest after a later '='; FOO is reported once.
  Parse(Bytes("\r\n   \n<NAME><TYPE=KME_DRIVE>\n<FOO=1><NAME=a=b<c>\n<VERSION=>tail\n"), &p);
  ASSERT_EQ(p.list.Count(), 5u);
  EXPECT_EQ(p.list.At(0)->type, 0);
  EXPECT_EQ(p.list.At(1)->type, 0);
  EXPECT_EQ(string16(p.list.At(2)->name), KL_T("KME_DRIVE>"));
  EXPECT_EQ(p.list.At(2)->type, kTypeKmeDrive);
  EXPECT_EQ(string16(p.list.At(3)->name), KL_T("a=b<c"));
  EXPECT_EQ(p.list.At(4)->serverVersion, 0u);
  EXPECT_EQ(p.unknown, 1);

  Parsed bare;
  Parse(Bytes("<NAME><TYPE>\r\n"), &bare);
  ASSERT_EQ(bare.list.Count(), 1u);
  EXPECT_EQ(string16(bare.list.At(0)->name), KL_T("auto"));

  Parsed empty;
  Parse({}, &empty);
  EXPECT_EQ(empty.list.Count(), 0u);
}

TEST(UpdateList, LongFieldsAreCut) {
  const std::string url(200, 'u');
  // 621 characters: cut after 512, the rest (with its TYPE) is a line of its own.
  std::string longLine =
      "<NAME=" + std::string(100, 'n') + ">" + std::string(500, ' ') + "<TYPE=IME_MAIN>";
  Parsed p;
  Parse(Bytes("<CABURL=" + url + ">\n" + longLine + "\n"), &p);
  ASSERT_EQ(p.list.Count(), 3u);
  EXPECT_EQ(kl::StrLen(p.list.At(0)->cabUrl), 127u);
  EXPECT_EQ(kl::StrLen(p.list.At(1)->name), 39u);
  EXPECT_EQ(p.list.At(1)->type, 0);
  EXPECT_EQ(p.list.At(2)->type, kTypeImeMain);
  EXPECT_EQ(p.list.At(2)->name[0], 0);
}

TEST(UpdateList, ListGrowsByDoubling) {
  UpdateEntryList l;
  EXPECT_GE(l.Capacity(), 16u);
  for (int i = 0; i < 40; ++i) l.Append(std::make_unique<UpdateEntry>());
  EXPECT_EQ(l.Count(), 40u);
  EXPECT_EQ(l.At(40), nullptr);
}

TEST(Versions, TextRules) {
  EXPECT_EQ(VersionFromText(KL_T("2.1.0.5")), 0x0002000100000005ull);
  EXPECT_EQ(VersionFromText(KL_T("3")), 0x0003000000000000ull);
  EXPECT_EQ(VersionFromText(KL_T(" 1.x.7")), 0x0001000000070000ull);
  EXPECT_EQ(VersionFromText(KL_T("65537.0.0.0")), 0x0001000000000000ull);
  wchar16 buf[40];
  VersionToText(0x0001000200110003ull, buf);
  EXPECT_EQ(string16(buf), KL_T("1.2.17.3"));
  VersionToText(0xFFFFFFFFFFFFFFFFull, buf);
  EXPECT_EQ(string16(buf), KL_T("65535.65535.65535.65535"));
}

TEST(Types, IdentifiersAndNames) {
  EXPECT_EQ(TypeFromIdentifier(KL_T("ime_main")), kTypeImeMain);
  EXPECT_EQ(TypeFromIdentifier(KL_T("Config_Drive")), kTypeConfigDrive);
  EXPECT_EQ(TypeFromIdentifier(KL_T("IME_MAIN ")), kTypeUnknown);
  EXPECT_EQ(string16(TypeDisplayName(kTypeSkinDrive)), KL_T("界面驱动"));
  EXPECT_EQ(string16(TypeDisplayName(42)), KL_T("未知标识"));
}

TEST(UpdateList, OnlyWebAddresses) {
  for (const kl::wchar16* ok :
       {KL_T("http://h/a.cab"), KL_T("https://h/a.cab"), KL_T("HTTP://h"), KL_T("hTtPs://h:8080/x")})
    EXPECT_TRUE(IsWebUrl(ok));
  for (const kl::wchar16* bad :
       {KL_T("ftp://h/a.cab"), KL_T("file:///C:/a.cab"), KL_T("C:\\a.cab"), KL_T("\\\\h\\s\\a"),
        KL_T("http:/h"), KL_T("https:"), KL_T(""), KL_T(" http://h"), KL_T("httpx://h"),
        KL_T("res://x")})
    EXPECT_FALSE(IsWebUrl(bad));
}
