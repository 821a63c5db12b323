#include "base/text.h"

#include <gtest/gtest.h>

using kl::wchar16;

TEST(BoundedText, CopyCutsAndTerminates) {
  wchar16 buf[5];
  EXPECT_TRUE(kl::Copy(buf, KL_T("abcd")));
  EXPECT_EQ(kl::string16(buf), KL_T("abcd"));
  EXPECT_FALSE(kl::Copy(buf, KL_T("abcdef")));
  EXPECT_EQ(kl::string16(buf), KL_T("abcd"));
  EXPECT_FALSE(kl::Append(buf, KL_T("x")));
  EXPECT_EQ(kl::string16(buf), KL_T("abcd"));
  EXPECT_TRUE(kl::Copy(buf, static_cast<const wchar16*>(nullptr)));
  EXPECT_EQ(buf[0], 0);
  EXPECT_TRUE(kl::Append(buf, KL_T("ab")));
  EXPECT_FALSE(kl::Append(buf, KL_T("cde")));
  EXPECT_EQ(kl::string16(buf), KL_T("abcd"));
}

TEST(BoundedText, Utf8RoundTripsChineseAndAstral) {
  const std::string s = "安装程序 a\xF0\x9F\x98\x80";
  kl::string16 w = kl::FromUtf8(s);
  EXPECT_EQ(w.size(), 4u + 1u + 1u + 2u);
  EXPECT_EQ(w[0], static_cast<wchar16>(0x5B89));
  EXPECT_EQ(kl::ToUtf8(w), s);
  EXPECT_EQ(kl::FromUtf8("\xC3\x28")[0], static_cast<wchar16>(0xFFFD));
  EXPECT_EQ(kl::FromUtf8("\xE0\x80\x80").size(), 3u);  // overlong: each byte replaced
}
