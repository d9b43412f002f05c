#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::text::characterCount;
using platform::text::characterPrefix;
using platform::text::isAlphanumericOr;
using platform::text::isValidUTF8;
using platform::text::lowercasedCodePoints;

TEST(TextTest, ValidatesUTF8) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {std::string("nul\0inside", 10), true},
      {"\xC3", false},              // cut short
      {"\x80", false},              // lone continuation byte
      {"\xC0\xAF", false},          // overlong "/"
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // past U+10FFFF
      {"good then \xFF bad", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << c.bytes;
}

TEST(TextTest, CountsAndCutsByUserPerceivedCharacters) {
  const std::string eAcute = "e\xCC\x81";                                     // e + combining acute
  const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // woman ZWJ girl
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // two regional indicators
  const std::string text = "a" + eAcute + family + "\r\n" + flag + "z";

  EXPECT_EQ(characterCount(""), 0u);
  EXPECT_EQ(characterCount(text), 6u);
  EXPECT_EQ(characterPrefix(text, 0), "");
  EXPECT_EQ(characterPrefix(text, 2), "a" + eAcute);
  EXPECT_EQ(characterPrefix(text, 3), "a" + eAcute + family);
  EXPECT_EQ(characterPrefix(text, 4), "a" + eAcute + family + "\r\n");
  EXPECT_EQ(characterPrefix(text, 6), text);
  EXPECT_EQ(characterPrefix(text, 100), text);
}

TEST(TextTest, PrefixOfLongTextWithCombiningMarks) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "o\xCC\x88";  // o + combining diaeresis
  const std::string prefix = characterPrefix(text, 2000);
  EXPECT_EQ(prefix.size(), 2000u * 3);
  EXPECT_EQ(characterCount(prefix), 2000u);
}

TEST(TextTest, TellsLettersAndDigitsOfAnyScriptFromTheRest) {
  struct Case {
    std::string text;
    bool expected;
  } cases[] = {
      {"my_app-2", true}, {"\u00e9t\u00e9", true}, {"\u4e2d\u6587", true}, {"\u0664\u0662", true},
      {"", true},         {"my app", false},       {"a.b", false},         {"a\xff", false},
      {"\xc3", false},    {"a\u00a0b", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isAlphanumericOr(c.text, "-_"), c.expected) << c.text;
  }
  EXPECT_TRUE(isAlphanumericOr("a.b", "."));
}

TEST(TextTest, LowercasesByCodePointAndKeepsIllFormedBytes) {
  EXPECT_EQ(lowercasedCodePoints("AbC\u00c9"), (std::u32string{U'a', U'b', U'c', U'\u00e9'}));
  EXPECT_EQ(lowercasedCodePoints("A\xff"), (std::u32string{U'a', U'\xff'}));
}

}  // namespace
