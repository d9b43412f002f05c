#include "platform/regex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using platform::RegularExpression;

TEST(RegexTest, SearchesAnywhereInTheTextInEitherCaseMode) {
  struct Case {
    const char* pattern;
    bool caseInsensitive;
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"^ab", true, "ABc", true},
      {"^ab", false, "ABc", false},
      {"b", false, "abc", true},
      {"c$", false, "abc", true},
      {"^b", false, "abc", false},
      {"äb", true, "xÄB", true},
      {"^.$", false, "\xF0\x9F\x98\x80", true},
      {"", false, "", true},
      {"[0-9]{3}", false, "ab12", false},
  };
  for (const Case& c : cases) {
    auto expression = RegularExpression::make(c.pattern, c.caseInsensitive);
    ASSERT_NE(expression, nullptr) << c.pattern;
    EXPECT_EQ(expression->hasMatch(c.text), c.matches) << c.pattern << " / " << c.text;
  }
}

TEST(RegexTest, RefusesPatternsThatDoNotCompileOrAreTooLong) {
  for (const std::string& pattern : {std::string("("), std::string("a{2,1}"), std::string("[z-a]"),
                                     std::string(RegularExpression::kMaxPatternLength + 1, 'a')}) {
    platform::ErrorPtr error;
    EXPECT_EQ(RegularExpression::make(pattern, false, &error), nullptr) << pattern;
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(error->code(), 2048);
  }
  EXPECT_NE(RegularExpression::make(std::string(RegularExpression::kMaxPatternLength, 'a'), false),
            nullptr);
}

TEST(RegexTest, CatastrophicBacktrackingGivesUpInsteadOfHanging) {
  auto expression = RegularExpression::make("(a+)+$", false);
  ASSERT_NE(expression, nullptr);
  EXPECT_EQ(expression->hasMatch(std::string(64, 'a') + "b"), std::nullopt);
  // Deep recursion runs out of backtracking stack rather than the thread's.
  auto nested = RegularExpression::make("(a|b)*c", false);
  ASSERT_NE(nested, nullptr);
  EXPECT_NE(nested->hasMatch(std::string(2000000, 'a')), true);
}

TEST(RegexTest, OneExpressionSearchesFromSeveralThreads) {
  auto expression = RegularExpression::make("b+c", true);
  ASSERT_NE(expression, nullptr);
  std::vector<std::thread> threads;
  std::vector<int> found(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string text = std::string(static_cast<std::size_t>(i), 'a') + "BBC";
        if (expression->hasMatch(text) == true) ++found[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(found, std::vector<int>(4, 200));
}

}  // namespace
