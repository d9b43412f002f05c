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
