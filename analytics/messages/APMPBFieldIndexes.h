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

// The audience definitions and what their evaluation stores.
namespace APMPBAudienceFields {
// Audience.
inline constexpr std::int32_t kAudienceID = 0;
inline constexpr std::int32_t kPropertyFilters = 1;
inline constexpr std::int32_t kEventFilters = 2;
}  // namespace APMPBAudienceFields

namespace APMPBEventFilterFields {
inline constexpr std::int32_t kFilterID = 0;
inline constexpr std::int32_t kEventName = 1;
inline constexpr std::int32_t kFilters = 2;
inline constexpr std::int32_t kEventCountFilter = 4;
inline constexpr std::int32_t kDynamic = 5;
inline constexpr std::int32_t kSequence = 6;
inline constexpr std::int32_t kSessionScoped = 7;
}  // namespace APMPBEventFilterFields

namespace APMPBPropertyFilterFields {
inline constexpr std::int32_t kFilterID = 0;
inline constexpr std::int32_t kPropertyName = 1;
inline constexpr std::int32_t kFilter = 2;
inline constexpr std::int32_t kDynamic = 3;
inline constexpr std::int32_t kSequence = 4;
inline constexpr std::int32_t kSessionScoped = 5;
}  // namespace APMPBPropertyFilterFields

namespace APMPBFilterFields {
inline constexpr std::int32_t kStringFilter = 0;
inline constexpr std::int32_t kNumberFilter = 1;
inline constexpr std::int32_t kComplement = 2;
inline constexpr std::int32_t kParamName = 3;
}  // namespace APMPBFilterFields

namespace APMPBStringFilterFields {
inline constexpr std::int32_t kMatchType = 0;
inline constexpr std::int32_t kExpression = 1;
inline constexpr std::int32_t kCaseSensitive = 2;
inline constexpr std::int32_t kExpressionList = 3;
}  // namespace APMPBStringFilterFields

namespace APMPBNumberFilterFields {
inline constexpr std::int32_t kComparisonType = 0;
inline constexpr std::int32_t kMatchAsFloat = 1;
inline constexpr std::int32_t kComparisonValue = 2;
inline constexpr std::int32_t kMinComparisonValue = 3;
inline constexpr std::int32_t kMaxComparisonValue = 4;
}  // namespace APMPBNumberFilterFields

namespace APMPBResultDataFields {
// ResultData.
inline constexpr std::int32_t kStatus = 0;
inline constexpr std::int32_t kResults = 1;
inline constexpr std::int32_t kDynamicFilterTimestamps = 2;
inline constexpr std::int32_t kSequenceFilterTimestamps = 3;
// DynamicFilterResultTimestamp.
inline constexpr std::int32_t kDynamicFilterID = 0;
inline constexpr std::int32_t kDynamicTimestamp = 1;
// SequenceFilterResultTimestamp.
inline constexpr std::int32_t kSequenceFilterID = 0;
inline constexpr std::int32_t kSequenceEvalTimestamps = 1;
// AudienceLeafFilterResult.
inline constexpr std::int32_t kLeafAudienceID = 0;
inline constexpr std::int32_t kLeafCurrentResults = 1;
inline constexpr std::int32_t kLeafPreviousResults = 2;
inline constexpr std::int32_t kLeafNoPreviousResults = 3;
}  // namespace APMPBResultDataFields
