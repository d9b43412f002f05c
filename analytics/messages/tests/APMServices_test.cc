// The monitor seam of the lower analytics subsystems and the measurement error helpers.

#include "analytics/messages/APMServices.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Value;

TEST(APMServicesMonitor, WithoutAnInstalledMonitorLinesAreDroppedAndDebugModeIsOff) {
  const auto monitor = APMServicesMonitor();
  ASSERT_NE(monitor, nullptr);
  monitor->logWithLevel(1, 850000, "dropped", {Value("context")});
  EXPECT_FALSE(monitor->isDebugModeEnabled());
}

TEST(APMServicesMonitor, AnInstalledMonitorGetsEveryLineUntilItIsTakenOut) {
  {
    ScopedMonitor recording;
    recording->setDebugModeEnabled(true);
    EXPECT_TRUE(APMServicesMonitor()->isDebugModeEnabled());
    APMServicesMonitor()->logWithLevel(4, 12345, "first");
    APMServicesMonitor()->logWithLevel(7, 23051, std::nullopt, {Value(), Value(2)});
    const auto lines = recording->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].messageCode, 12345);
    EXPECT_EQ(lines[0].message, "first");
    EXPECT_TRUE(lines[0].contexts.empty());
    EXPECT_EQ(lines[1].message, std::nullopt);
    ASSERT_EQ(lines[1].contexts.size(), 2u);
    EXPECT_TRUE(lines[1].contexts[0].isNull());
  }
  EXPECT_FALSE(APMServicesMonitor()->isDebugModeEnabled());
}

TEST(APMErrors, CarryTheMeasurementDomainAndOnlyNonEmptyDescriptionsAndContexts) {
  struct Case {
    std::optional<std::string> description;
    std::optional<Value> context;
    bool hasDescription;
    bool hasContext;
  };
  const Case cases[] = {
      {"Rejected", Value("row 3"), true, true},
      {"", Value(""), false, false},
      {std::nullopt, std::nullopt, false, false},
      {"Rejected", Value(), true, false},
      // Only text reaches the health sample, so only text is kept as the monitor context.
      {std::nullopt, Value(0), false, false},
      {"Rejected", Value(platform::Array{Value("row 3")}), true, false},
  };
  for (const Case& c : cases) {
    const auto error = apm_errorWithCode(2, c.description, c.context);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "com.rerora.viz.measurement.ErrorDomain");
    EXPECT_EQ(error->code(), 2);
    EXPECT_EQ(error->userInfo().contains(platform::kLocalizedDescriptionKey), c.hasDescription);
    EXPECT_EQ(error->userInfo().contains("APMMonitorContext"), c.hasContext);
    if (c.hasDescription) {
      EXPECT_EQ(error->localizedDescription(), *c.description);
    }
    if (c.hasContext) {
      EXPECT_EQ(error->userInfo()["APMMonitorContext"], *c.context);
    }
  }
}

TEST(APMErrors, SetErrorFillsOnlyAGivenOutParameter) {
  APMSetError(nullptr, 1, "ignored");
  platform::ErrorPtr error;
  APMSetError(&error, 1, "Database name is empty");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Database name is empty");

  APMSetErrorWithContext(&error, 3, "Not converted", Value("blob"));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->userInfo()["APMMonitorContext"], Value("blob"));
}

TEST(APMErrors, CheckConditionSetsTheErrorOnlyWhenItFails) {
  platform::ErrorPtr error;
  EXPECT_TRUE(APMCheckCondition(true, &error, 1, "held"));
  EXPECT_EQ(error, nullptr);
  EXPECT_FALSE(APMCheckCondition(false, &error, 1, "Table name is nil"));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), kAPMErrorDomain);
  EXPECT_EQ(error->localizedDescription(), "Table name is nil");
  EXPECT_FALSE(APMCheckCondition(false, nullptr, 1, "no out-parameter"));
}

TEST(APMErrors, NullAndZeroChecksFailOnlyOnNullAndZero) {
  const int target = 0;
  struct Case {
    bool passed;
    bool expected;
  } const cases[] = {
      {APMCheckNotNull(&target, nullptr, 1, "held"), true},
      {APMCheckNotNull(nullptr, nullptr, 1, "Pointer is null"), false},
      {APMCheckNotZero(5, nullptr, 1, "held"), true},
      {APMCheckNotZero(0, nullptr, 1, "Name is empty"), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.passed, c.expected);

  platform::ErrorPtr error;
  EXPECT_TRUE(APMCheckNotZero(3, &error, 4, "held"));
  EXPECT_EQ(error, nullptr);
  EXPECT_FALSE(APMCheckNotZero(0, &error, 4, "Name is empty"));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 4);
  EXPECT_EQ(error->localizedDescription(), "Name is empty");
}

TEST(APMErrorContexts, HoldAnErrorOrAnExceptionAsAContext) {
  EXPECT_TRUE(APMErrorContext::value(nullptr).isNull());
  const auto error = apm_errorWithCode(7, "Database error", Value("prepare,1"));
  const Value context = APMErrorContext::value(error);
  ASSERT_NE(context.asObjectOf<APMErrorContext>(), nullptr);
  EXPECT_EQ(context.asObjectOf<APMErrorContext>()->error(), error);
  EXPECT_EQ(context.description(), error->description());
  EXPECT_EQ(context, APMErrorContext::value(apm_errorWithCode(7, "other")));

  const auto raised = APMExceptionContext::value(platform::Exception("NSRangeException", "out"))
                          .asObjectOf<APMExceptionContext>();
  ASSERT_NE(raised, nullptr);
  EXPECT_EQ(raised->name(), "NSRangeException");
  EXPECT_EQ(raised->description(), "out");
  const auto thrown =
      APMExceptionContext::value(std::length_error("too long")).asObjectOf<APMExceptionContext>();
  ASSERT_NE(thrown, nullptr);
  EXPECT_EQ(thrown->name(), "std::length_error");
  EXPECT_EQ(thrown->reason(), "too long");
  EXPECT_TRUE(thrown->callStackSymbols().empty());
}

}  // namespace
