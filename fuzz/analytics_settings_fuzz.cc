// Reads a setting value as the configuration service delivers it (text that the client turns
// into a number) through the settings' parser and each typed form, and checks that what the
// forms give is always within the setting's range or its default.
#include <cstddef>
#include <cstdint>
#include <string>

#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMRemoteConfig.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  APMRemoteConfig config;

  const auto number = config.numberFromString(platform::Value(text));
  if (number) {
    fuzz::fuzzCheck(APMIsDecimalNumberString(text), "only decimal number strings parse");
    fuzz::fuzzCheck(number->isNumber(), "a parsed setting is a number");
    if (const auto whole = number->asInt()) {
      const auto again = config.numberFromString(platform::Value(std::to_string(*whole)));
      fuzz::fuzzCheck(again && *again == *number, "a whole number reads back from its text");
    }
  }

  auto& settings = config.cachedValueByRemoteConfigKeys();
  for (const char* key : {"int32", "int64", "time", "bool", "open"}) {
    settings.setObject(platform::Value(text), key);
  }
  const std::int32_t int32 = config.intValueFromCacheWithKey("int32", 7, 100, -100);
  fuzz::fuzzCheck(int32 >= -100 && int32 <= 100, "an int32 setting stays in its range");
  const std::int64_t int64 = config.int64ValueFromCacheWithKey("int64", 7, 1'000'000, 1);
  fuzz::fuzzCheck(int64 >= 1 && int64 <= 1'000'000, "an int64 setting stays in its range");
  const double seconds = config.timeIntervalInSecondsFromCacheWithKey("time", 60, 3600, 30);
  fuzz::fuzzCheck(seconds >= 30 && seconds <= 3600, "a time setting stays in its range");
  const bool flag = config.boolValueFromCacheWithKey("bool", true);
  const double read = number ? number->doubleValue() : -1;
  const bool expected = read >= 0 && read <= 1 ? read >= 1 : true;
  fuzz::fuzzCheck(flag == expected, "a bool setting is its number when 0..1, else its default");
  const std::int64_t open = config.int64ValueFromCacheWithKey("open", 7);
  fuzz::fuzzCheck(number || open == 7, "a text that is no number gives the default");

  // Resolved once: the second read serves the stored number.
  fuzz::fuzzCheck(config.intValueFromCacheWithKey("int32", 8, 10, 9) == int32,
                  "a resolved setting keeps its value");
  return 0;
}
