#include "platform/format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <limits>
#include <vector>

namespace platform {
namespace {

struct FormatCase {
  const char* fmt;
  std::vector<FormatArg> args;
  const char* expected;
};

TEST(FormatTest, DirectivesTable) {
  int object = 0;
  char pointerText[32];
  std::snprintf(pointerText, sizeof pointerText, "%p", static_cast<void*>(&object));

  const FormatCase cases[] = {
      {"plain", {}, "plain"},
      {"%@", {"text"}, "text"},
      {"%@ and %@", {42, 1.5}, "42 and 1.5"},
      {"%@", {0.1}, "0.1"},
      {"%@", {1.0}, "1"},
      {"%@", {true}, "1"},
      {"%@", {Value()}, "(null)"},
      {"%@", {nullptr}, "(null)"},
      {"%@", {Array{1, 2}}, "(\n    1,\n    2\n)"},
      {"%d %i", {-5, 7}, "-5 7"},
      {"%ld|%lld|%li|%lli|%qd|%zd|%hd", {1, 2, 3, 4, 5, 6, 7}, "1|2|3|4|5|6|7"},
      {"%06ld", {42}, "000042"},
      {"%06ld", {-42}, "-00042"},
      {"%02d:%02d", {5, 7}, "05:07"},
      {"%-4d|", {7}, "7   |"},
      {"%+d", {7}, "+7"},
      {"%d", {std::numeric_limits<std::uint64_t>::max()}, "18446744073709551615"},
      {"%lld", {std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
      {"%u %lu %llu", {1u, 2, 3}, "1 2 3"},
      {"%u", {-1}, "18446744073709551615"},
      {"%x %X %lx", {255, 255, 4096}, "ff FF 1000"},
      {"%#x", {255}, "0xff"},
      {"%f", {1.5}, "1.500000"},
      {"%.2f", {3.14159}, "3.14"},
      {"%5.2f|", {3.14159}, " 3.14|"},
      {"%.0f", {2.5}, "2"},
      {"%g", {0.0001}, "0.0001"},
      {"%g", {1e20}, "1e+20"},
      {"%s", {"abc"}, "abc"},
      {"%-10s|", {"abc"}, "abc       |"},
      {"%10s|", {"abc"}, "       abc|"},
      {"%.2s", {"abc"}, "ab"},
      {"%-6s|", {"caf\xc3\xa9"}, "caf\xc3\xa9  |"},  // pads by characters
      {"%.4s|", {"na\xc3\xafve"}, "na\xc3\xafv|"},   // cuts whole characters
      {"%s", {12}, "12"},
      {"%c%c%c", {'A', 66, "xyz"}, "ABx"},
      {"%c", {0x00e9}, "\xc3\xa9"},
      {"%p", {static_cast<const void*>(&object)}, pointerText},
      {"%p", {static_cast<const void*>(nullptr)}, "0x0"},
      {"100%%", {}, "100%"},
      {"%5%", {}, "%"},
      // Length modifiers are ignored: the argument carries its own kind.
      {"%hhd", {300}, "300"},
      // Mismatched kinds convert.
      {"%d", {"  42abc"}, "42"},
      {"%d", {3.9}, "3"},
      {"%d", {true}, "1"},
      {"%f", {"2.5"}, "2.500000"},
      {"%f", {3}, "3.000000"},
      {"%x", {"255"}, "ff"},
      // Unknown directives are copied as they stand and take no argument.
      {"%k %d", {1}, "%k 1"},
      {"%1$@ %d", {1}, "%1$@ 1"},
      {"%*d %d", {1}, "%*d 1"},
      {"%e", {1}, "%e"},
      {"trailing %", {}, "trailing %"},
      {"trailing %-0", {}, "trailing %-0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format(c.fmt, c.args), c.expected) << c.fmt;
  }
}

TEST(FormatTest, NeverReadsPastItsArguments) {
  EXPECT_EQ(format("%@ %s", {}), "(null) (null)");
  EXPECT_EQ(format("%d %ld %06ld %u %x", {}), "0 0 000000 0 0");
  EXPECT_EQ(format("%f %.1f", {}), "0.000000 0.0");
  EXPECT_EQ(format("%p", {}), "0x0");
  EXPECT_EQ(format("[%c]", {}), "[]");
  EXPECT_EQ(format("%@ then %d then %@", {"one"}), "one then 0 then (null)");
  EXPECT_EQ(format("%d", {1, 2, 3}), "1");  // extra arguments are ignored
}

TEST(FormatTest, TakesAnyValueKindAndVectorsOfArguments) {
  const std::string text = "owned";
  const Value value = Dictionary{{"k", "v"}};
  EXPECT_EQ(format("%@|%@|%@", {text, value, std::string_view("view")}),
            "owned|{\n    k = v;\n}|view");
  std::vector<FormatArg> args{"a", 2};
  EXPECT_EQ(format("%@%d", args), "a2");
  const int* pointer = nullptr;
  EXPECT_EQ(format("%p", {pointer}), "0x0");  // a typed pointer is an address, not a Boolean
}

TEST(FormatTest, FloatingOutputIgnoresTheProcessLocale) {
  const char* chosen = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  if (!chosen) chosen = std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  if (!chosen) GTEST_SKIP() << "no locale with a decimal comma installed";
  EXPECT_EQ(format("%.2f %g", {1.5, 2.25}), "1.50 2.25");
  std::setlocale(LC_NUMERIC, "C");
}

}  // namespace
}  // namespace platform
