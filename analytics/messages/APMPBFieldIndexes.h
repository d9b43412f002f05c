// Field indexes (declaration positions, not tags) of the messages that the analytics data
// reads and writes field by field, so that every reader and writer names a field the same way.
#pragma once

#include <cstdint>

namespace APMPBEventFields {
// Event.
inline constexpr std::int32_t kEventParams = 0;
inline constexpr std::int32_t kEventName = 1;
inline constexpr std::int32_t kEventTimestampMillis = 2;
inline constexpr std::int32_t kEventPreviousTimestampMillis = 3;
// EventParam.
inline constexpr std::int32_t kParamName = 0;
inline constexpr std::int32_t kParamStringValue = 1;
inline constexpr std::int32_t kParamIntValue = 2;
inline constexpr std::int32_t kParamFloatValue = 3;
inline constexpr std::int32_t kParamDoubleValue = 4;
inline constexpr std::int32_t kParamParamValue = 5;
}  // namespace APMPBEventFields

namespace APMPBUserAttributeFields {
inline constexpr std::int32_t kSetTimestampMillis = 0;
inline constexpr std::int32_t kName = 1;
inline constexpr std::int32_t kStringValue = 2;
inline constexpr std::int32_t kIntValue = 3;
inline constexpr std::int32_t kDoubleValue = 5;
}  // namespace APMPBUserAttributeFields

namespace APMPBMeasurementConfigFields {
inline constexpr std::int32_t kVersion = 0;
inline constexpr std::int32_t kAppID = 1;
inline constexpr std::int32_t kSettings = 3;
inline constexpr std::int32_t kEventConfigs = 4;
inline constexpr std::int32_t kRiRurAppID = 6;
inline constexpr std::int32_t kPrograms = 8;
inline constexpr std::int32_t kDataControls = 9;
inline constexpr std::int32_t kUploadSubdomain = 10;
inline constexpr std::int32_t kConsentConfig = 12;
inline constexpr std::int32_t kPsmSetting = 13;
}  // namespace APMPBMeasurementConfigFields

namespace APMPBSettingFields {
inline constexpr std::int32_t kName = 0;
inline constexpr std::int32_t kValue = 1;
}  // namespace APMPBSettingFields

namespace APMPBEventConfigFields {
inline constexpr std::int32_t kName = 0;
inline constexpr std::int32_t kBlocklisted = 1;
inline constexpr std::int32_t kCustomConversion = 2;
inline constexpr std::int32_t kSamplingRate = 3;
}  // namespace APMPBEventConfigFields

namespace APMPBConsentConfigFields {
inline constexpr std::int32_t kDefaults = 0;
inline constexpr std::int32_t kDelegations = 1;
inline constexpr std::int32_t kCorePlatformServices = 2;
inline constexpr std::int32_t kDMARegion = 3;
inline constexpr std::int32_t kRegionalDefaults = 4;
}  // namespace APMPBConsentConfigFields
