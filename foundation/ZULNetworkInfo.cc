#include "foundation/ZULNetworkInfo.h"

#include "platform/text.h"

std::optional<std::string> ZULNetworkInfo::getNetworkMobileCountryCode() { return std::nullopt; }

std::optional<std::string> ZULNetworkInfo::getNetworkMobileNetworkCode() { return std::nullopt; }

std::optional<std::string> ZULNetworkInfo::formatMcc(const std::optional<std::string>& mcc,
                                                     const std::optional<std::string>& andMNC) {
  if (!mcc && !andMNC) return std::nullopt;
  // Lengths are counted as the platform's strings count them, in UTF-16 units.
  const std::size_t mccLength = mcc ? platform::text::utf16Length(*mcc) : 0;
  const std::size_t mncLength = andMNC ? platform::text::utf16Length(*andMNC) : 0;
  if (mccLength != 3 || mncLength < 2 || mncLength > 3) return std::nullopt;
  std::string joined = *mcc + *andMNC;
  if (!platform::text::isDecimalDigits(joined)) return std::nullopt;
  return joined;
}

std::int32_t ZULNetworkInfo::getNetworkType() { return -1; }

std::string ZULNetworkInfo::getNetworkRadioType() { return ""; }
