// Digests, query strings, bit strings and UTF-32 helpers of the analytics client.

#include "analytics/messages/APMDigestAndEncoding.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

using platform::Data;
using platform::Dictionary;
using platform::Value;

Data bytesOf(std::string_view text) { return Data(text.data(), text.size()); }

TEST(APMDigest, FingerprintsAreTheLastEightDigestBytesBigEndian) {
  EXPECT_EQ(apm_64LSBMD5(bytesOf("abc")), -2984127896297046158);
  EXPECT_EQ(static_cast<std::uint64_t>(apm_64LSBMD5(bytesOf("abc"))), 0xd6963f7d28e17f72u);
  EXPECT_EQ(apm_MD5Data(bytesOf("abc")).length(), 16u);

  const std::uint8_t two[] = {0x01, 0x02};
  EXPECT_EQ(apm_64LeastSignificantBits(Data(two, sizeof two)), 258);
  EXPECT_EQ(apm_64LeastSignificantBits(Data()), 0);
  const std::uint8_t ten[] = {0xAA, 0xBB, 0, 0, 0, 0, 0, 0, 0x01, 0x00};
  EXPECT_EQ(apm_64LeastSignificantBits(Data(ten, sizeof ten)), 256);
}

TEST(APMDigest, MD5StringIsLowerCaseHexOfTheUTF8Bytes) {
  EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(apm_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(apm_MD5String("\xff\xfe"), std::nullopt);
}

TEST(APMQueryString, PairsAreEncodedForAQueryInTheDictionaryOrder) {
  EXPECT_EQ(apm_queryString(Dictionary()), "");
  const Dictionary arguments{{"platform", Value("macos")},
                             {"runtime_version", Value(0)},
                             {"viz_version", Value(102700)},
                             {"a b", Value("x&y=z+ü")}};
  EXPECT_EQ(apm_queryString(arguments),
            "platform=macos&runtime_version=0&viz_version=102700&a%20b=x&y=z+%C3%BC");
}

TEST(APMQueryString, ArgumentsAreUnescapedAndTheFirstOfARepeatedKeyWins) {
  const Dictionary expected{{"a", Value("1")}, {"b", Value("")}};
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("a=1&a=2&b"), expected);

  struct Case {
    const char* arguments;
    Dictionary expected;
  };
  const Case cases[] = {
      {"", Dictionary()},
      {"&&", Dictionary()},
      {"k=a+b%20c", Dictionary{{"k", Value("a b c")}}},
      {"k=v=w", Dictionary{{"k", Value("v=w")}}},
      // An escape that cannot be undone gives the empty string, not a lost entry.
      {"bad%zz=1&k=%4", Dictionary{{"", Value("1")}, {"k", Value("")}}},
      {"k=%ff", Dictionary{{"k", Value("")}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(apm_dictionaryWithHttpArgumentsString(c.arguments), c.expected) << c.arguments;
  }
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("a+b%20c"), "a b c");
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("%2"), std::nullopt);
}

TEST(APMBitString, OnlyAnInRangeOneIsSet) {
  struct Case {
    const char* bits;
    std::int64_t index;
    bool enabled;
  };
  const Case cases[] = {
      {"0101", 1, true},  {"0101", 0, false}, {"0101", 3, true},   {"0101", 4, false},
      {"0101", -1, false}, {"", 0, false},    {"01x1", 2, false},
      // Indexes count UTF-16 units: the emoji takes two, so "1" after it sits at 2.
      {"\xF0\x9F\x98\x80" "1", 2, true}, {"\xF0\x9F\x98\x80" "1", 1, false},
      {"\xC3\xA9" "1", 1, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isBitEnabledAtIndex(c.bits, c.index), c.enabled) << c.bits << " @ " << c.index;
  }
}

TEST(APMUTF32, LengthsCountScalarsAndCopiesStopAtWholeScalars) {
  EXPECT_EQ(apm_UTF32Length(""), 0u);
  EXPECT_EQ(apm_UTF32Length("abc"), 3u);
  // e + combining accent is two scalars; an emoji is one; a stray byte reads as one.
  EXPECT_EQ(apm_UTF32Length("e\xCC\x81\xF0\x9F\x98\x80\xff"), 4u);

  std::array<std::uint8_t, 12> buffer{};
  buffer.fill(0xEE);
  apm_getUTF32Bytes("a\xF0\x9F\x98\x80z", buffer.data(), 10);
  const std::array<std::uint8_t, 12> expected = {'a',  0,    0,    0,    0x00, 0xF6,
                                                 0x01, 0x00, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(buffer, expected);
  apm_getUTF32Bytes("abc", buffer.data(), 0);
  EXPECT_EQ(buffer, expected);
}

}  // namespace
