// Cleaning the parameters of an event before the event keeps them: names that break the
// rules are dropped, values become typed values checked against the configured length
// limits, the ecommerce "items" array is checked and its element dictionaries cleaned in
// turn, the public parameters are cut to the configured maximum, and the first problem found
// is recorded in the dictionary itself as "_err", "_ev" and "_el".
//
// Input dictionaries map parameter names to plain values (string, number, array of
// dictionaries) or APMValue objects; cleaned ones map names to APMValue objects only. The
// settings are read from the remote configuration at each call. Nothing fails as a whole:
// every problem drops or repairs single parameters.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "analytics/data/APMValue.h"
#include "platform/value.h"

// The cleaned parameters, or none for an empty input. `isItem` is set when the dictionary is
// one element of an "items" array. Without an event name the event is not internal-style.
std::optional<platform::Dictionary>
APMSanitizedEventParameters(const platform::Dictionary& parameters,
                            std::optional<std::string_view> eventName, bool isPublic, bool isItem);

// The checked array parameter with its element dictionaries cleaned, or null when the array
// may not be kept at all; `failureCode` is then the validator's reason. An array of more
// than 200 elements keeps its first 200 with failure 12, which the caller records. Elements
// that are not dictionaries are skipped and recorded in `fixParameters`.
APMValuePtr APMSanitizedArrayParameter(const platform::Array& array, std::string_view parameterName,
                                       std::optional<std::string_view> eventName,
                                       platform::Dictionary& fixParameters, bool isNested,
                                       bool isPublic, std::int64_t* failureCode);

// Whether the name may be kept; a refused name records its error in `fixParameters` unless
// that already holds one.
bool APMIsValidParameterName(std::string_view name, bool isPublic,
                             platform::Dictionary& fixParameters);

// The "value" of a conversion must be numeric and come with a valid "currency"; when it is
// not, "value" is removed, the error recorded and false returned. True without a "value".
bool APMValidateValueAndCurrency(platform::Dictionary& parameters);

// The public names of the dictionary; with `customItemOnly`, not counting the standard item
// parameters.
std::int32_t APMCountPublicParameters(const platform::Dictionary& parameters, bool customItemOnly);

// Removes public parameters, the last in ascending name order first, until no more than
// `limit` remain; "_"-prefixed names always stay, and with `spareItemParameters` the
// standard item parameters stay as well.
void APMTrimParametersToLimit(platform::Dictionary& parameters, std::int32_t limit,
                              bool spareItemParameters);
void APMTrimPublicParameters(platform::Dictionary& parameters, std::int32_t limit);
