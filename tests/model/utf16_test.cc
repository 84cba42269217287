#include "model/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace vl {
namespace {

TEST(Utf16Test, ExactRoundTripsAcrossAllSequenceLengths) {
  const std::string samples[] = {
      "",
      "plain\\path.txt",
      "R\xC3\xA4kningar \xC3\x85r",            // two-byte sequences
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",  // three-byte
      "\xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF",     // four-byte, up to U+10FFFF
      "\xEF\xBF\xBF\xEE\x80\x80",              // U+FFFF, U+E000 next to the surrogates
  };
  for (const std::string& utf8 : samples) {
    std::optional<WipedU16String> utf16 = utf8ToUtf16(utf8);
    ASSERT_TRUE(utf16) << utf8;
    std::optional<std::string> back = utf16ToUtf8(*utf16);
    ASSERT_TRUE(back) << utf8;
    EXPECT_EQ(*back, utf8);
  }
  EXPECT_EQ(*utf8ToUtf16("\xC3\xA4\xF0\x9F\x98\x80"), u"\u00e4\U0001F600");
  EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x98\x80")->size(), 2u);
}

TEST(Utf16Test, MalformedUtf8IsRefusedNotMangled) {
  const std::string bad[] = {
      "\x80",              // stray continuation byte
      "a\xC3",             // cut off
      "\xE6\x97",          // cut off
      "\xC0\xAF",          // overlong '/'
      "\xC1\xBF",          // overlong
      "\xE0\x80\xAF",      // overlong
      "\xF0\x80\x80\xAF",  // overlong
      "\xED\xA0\x80",      // encoded high surrogate
      "\xED\xBF\xBF",      // encoded low surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // lead byte out of range
      "\xFF",
      "\xC3\x41",  // continuation missing
  };
  for (const std::string& utf8 : bad) {
    EXPECT_FALSE(utf8ToUtf16(utf8)) << testing::PrintToString(utf8);
  }
}

TEST(Utf16Test, UnpairedSurrogatesAreRefused) {
  EXPECT_FALSE(utf16ToUtf8(std::u16string(1, u'\xD83D')));
  EXPECT_FALSE(utf16ToUtf8(std::u16string(1, u'\xDE00')));
  EXPECT_FALSE(utf16ToUtf8(std::u16string{u'\xDE00', u'\xD83D'}));
  EXPECT_FALSE(utf16ToUtf8(std::u16string{u'\xD83D', u'a'}));
  EXPECT_TRUE(utf16ToUtf8(std::u16string{u'\xD83D', u'\xDE00'}));
}

TEST(Utf16Test, HighByteFirstForm) {
  ByteBuffer out;
  out.appendU8(0xEE);
  appendUtf16HighFirst(out, u"a\u00e9\u65e5");
  const uint8_t expected[] = {0xEE, 0x00, 0x61, 0x00, 0xE9, 0x65, 0xE5};
  EXPECT_EQ(ByteBuffer(expected, sizeof expected), out);
}

}  // namespace
}  // namespace vl
