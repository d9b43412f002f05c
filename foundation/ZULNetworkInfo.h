// ZULNetworkInfo: what the SDK may report about the device's mobile network; a desktop has no
// carrier, so only the code-joining rule has anything to do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class ZULNetworkInfo {
 public:
  // No carrier: always none.
  static std::optional<std::string> getNetworkMobileCountryCode();
  static std::optional<std::string> getNetworkMobileNetworkCode();

  // The country code (3 characters) followed by the network code (2 or 3 characters) when
  // the joined text is all decimal digits of any script; otherwise none. A missing code
  // counts as empty.
  static std::optional<std::string> formatMcc(const std::optional<std::string>& mcc,
                                              const std::optional<std::string>& andMNC);

  // No network type is known: always -1.
  static std::int32_t getNetworkType();
  // Always "".
  static std::string getNetworkRadioType();

  ZULNetworkInfo() = delete;
};
