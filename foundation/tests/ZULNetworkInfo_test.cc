#include "foundation/ZULNetworkInfo.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace {

using Code = std::optional<std::string>;

struct FormatCase {
  const char* name;
  Code mcc;
  Code mnc;
  Code expected;
};

TEST(ZULNetworkInfoTest, FormatMccAndMncJoinsOnlyWellFormedCodes) {
  const FormatCase cases[] = {
      {"three and three digits", "310", "260", "310260"},
      {"three and two digits", "310", "26", "31026"},
      {"country code too short", "31", "260", std::nullopt},
      {"network code too short", "310", "2", std::nullopt},
      {"network code too long", "310", "2600", std::nullopt},
      {"letter in the country code", "31a", "26", std::nullopt},
      {"letter in the network code", "310", "2x", std::nullopt},
      {"no country code", std::nullopt, "260", std::nullopt},
      {"no network code", "310", std::nullopt, std::nullopt},
      {"neither code", std::nullopt, std::nullopt, std::nullopt},
      {"empty codes", "", "", std::nullopt},
      {"full-width digits", "\uFF13\uFF11\uFF10", "\uFF12\uFF16", "\uFF13\uFF11\uFF10\uFF12\uFF16"},
      {"Arabic-Indic digits", "\u0663\u0661\u0660", "\u0662\u0666\u0660",
       "\u0663\u0661\u0660\u0662\u0666\u0660"},
      // A digit outside the basic plane counts two units, so three of them are too long.
      {"mathematical digits", "\U0001D7D1\U0001D7CF\U0001D7CE", "26", std::nullopt},
      {"superscript digits are not decimal", "310", "\u00B2\u00B3", std::nullopt},
      {"ill-formed bytes", "31\xFF", "26", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ZULNetworkInfo::formatMcc(c.mcc, c.mnc), c.expected);
  }
}

TEST(ZULNetworkInfoTest, CarrierQueriesAnswerNothing) {
  EXPECT_EQ(ZULNetworkInfo::getNetworkMobileCountryCode(), std::nullopt);
  EXPECT_EQ(ZULNetworkInfo::getNetworkMobileNetworkCode(), std::nullopt);
  EXPECT_EQ(ZULNetworkInfo::getNetworkType(), -1);
  EXPECT_EQ(ZULNetworkInfo::getNetworkRadioType(), "");
}

}  // namespace
