#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/scoped_environment.h"

namespace {

using platform::text::canonicallyComposed;
using platform::text::characterCount;
using platform::text::characterPrefix;
using platform::text::isAlphanumericOr;
using platform::text::isValidUTF8;
using platform::text::localizedCaseInsensitiveCompare;

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

TEST(TextTest, ComposesCanonically) {
  struct Case {
    std::string text;
    std::string composed;
  } cases[] = {
      {"", ""},
      {"zere-ios/10.27.0", "zere-ios/10.27.0"},
      {"caf\u00e9", "caf\u00e9"},                  // already composed
      {"cafe\xCC\x81", "caf\u00e9"},               // e + combining acute
      {"A\xCC\x8A", "\u00c5"},                     // A + combining ring
      {"\u212b", "\u00c5"},                        // the angstrom sign is the letter
      {"q\xCC\x87\xCC\xA3", "q\xCC\xA3\xCC\x87"},  // no precomposed form: marks reordered
      {"\u1100\u1161", "\uac00"},                  // Hangul jamo make a syllable
      {"e\xCC\x81\xC3", "e\xCC\x81\xC3"},          // ill-formed: left as it is
  };
  for (const Case& c : cases) EXPECT_EQ(canonicallyComposed(c.text), c.composed) << c.text;
}

// The sign of a comparison: -1, 0 or 1.
int sign(int order) { return (order > 0) - (order < 0); }

TEST(TextTest, ComparesWithoutCaseInTheLocalesOrder) {
  struct Case {
    std::string a;
    std::string b;
    int order;
  } const everywhere[] = {
      {"\u00e9a/1", "zere/1", -1},  // accented letters sort among the letters, not after z
      {"\u00c9a/1", "zere/1", -1},
      {"Zed", "apple", 1},
      {"ABC", "abc", 0},  // case alone decides nothing
      {"\u00c4rger", "\u00e4RGER", 0},
      {"abc", "ABD", -1},
      {"e", "\u00e9", -1},               // accents count
      {"cafe\xCC\x81", "CAF\u00c9", 0},  // one text in two encodings
      {"a9", "aa", -1},                  // digits before letters
      {"lib-x/1", "lib/1", -1},          // hyphen before slash
      {"a_b", "a-b", -1},
      {"", "a", -1},
  };
  // Without a locale, and in two whose order agrees here.
  for (const char* locale : {"C", "en_US.UTF-8", "de_DE.UTF-8"}) {
    testing_support::ScopedEnvironment all("LC_ALL", locale);
    for (const Case& c : everywhere) {
      EXPECT_EQ(sign(localizedCaseInsensitiveCompare(c.a, c.b)), c.order)
          << c.a << " / " << c.b << " in " << locale;
      EXPECT_EQ(sign(localizedCaseInsensitiveCompare(c.b, c.a)), -c.order)
          << c.b << " / " << c.a << " in " << locale;
    }
  }
  // Swedish puts "\u00e4" after "z"; German treats it as an "a".
  {
    testing_support::ScopedEnvironment all("LC_ALL", "sv_SE.UTF-8");
    EXPECT_GT(localizedCaseInsensitiveCompare("\u00c4pple/1", "zere/1"), 0);
  }
  {
    testing_support::ScopedEnvironment all("LC_ALL", "de_DE.UTF-8");
    EXPECT_LT(localizedCaseInsensitiveCompare("\u00c4pple/1", "zere/1"), 0);
  }
}

}  // namespace

namespace {

using platform::text::caseInsensitiveFind;
using platform::text::SearchAnchor;

TEST(TextTest, FindsWithoutCaseAndCountsPositionsInUTF16Units) {
  struct Case {
    const char* haystack;
    const char* needle;
    SearchAnchor anchor;
    std::optional<std::size_t> position;
  };
  const Case cases[] = {
      {"ABC", "abc", SearchAnchor::kStart, 0},
      {"ABCD", "abc", SearchAnchor::kEnd, std::nullopt},
      {"xxABCD", "bc", SearchAnchor::kAnywhere, 3},
      {"ABc", "ab", SearchAnchor::kStart, 0},
      {"cAB", "ab", SearchAnchor::kStart, std::nullopt},
      {"ÄBC", "äbc", SearchAnchor::kStart, 0},
      {"straße", "STRASSE", SearchAnchor::kAnywhere, std::nullopt},
      // U+1F600 takes two UTF-16 units, "é" one, however many bytes either takes in UTF-8.
      {"\xF0\x9F\x98\x80\xC3\xA9xy", "XY", SearchAnchor::kEnd, 3},
      {"\xF0\x9F\x98\x80\xC3\xA9xy", "\xC3\x89X", SearchAnchor::kAnywhere, 2},
      // Deseret capitals fold to small letters outside the basic plane.
      {"a\xF0\x90\x90\x80", "\xF0\x90\x90\xA8", SearchAnchor::kEnd, 1},
      // The last occurrence is the one that ends the text; the first one is found anywhere.
      {"abab", "AB", SearchAnchor::kEnd, 2},
      {"abab", "AB", SearchAnchor::kAnywhere, 0},
      // Overlapping partial matches do not hide a later match.
      {"aaab", "aab", SearchAnchor::kAnywhere, 1},
      {"ab", "abc", SearchAnchor::kAnywhere, std::nullopt},
      {"abc", "", SearchAnchor::kAnywhere, std::nullopt},
      {"", "", SearchAnchor::kStart, std::nullopt},
      {"abc", "", SearchAnchor::kEnd, std::nullopt},
      // An ill-formed byte reads as one replacement character.
      {"\xFF"
       "ab",
       "AB", SearchAnchor::kEnd, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(caseInsensitiveFind(c.haystack, c.needle, c.anchor), c.position)
        << c.haystack << " / " << c.needle << " / " << static_cast<int>(c.anchor);
  }
}

}  // namespace
