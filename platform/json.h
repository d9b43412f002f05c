// json: reading and writing JSON documents as Values, with the platform's error
// reporting and its compact and pretty output styles.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/value.h"

namespace platform::json {

// Errors of reading and writing: domain "NSCocoaErrorDomain", code kJSONErrorCode, with
// the localized description and a "NSDebugDescription" saying what was wrong.
inline constexpr std::int64_t kJSONErrorCode = 3840;

struct ReadOptions {
  // Accept a top level that is not an object or an array ("3", "\"text\"", "null").
  bool allowFragments = false;
};

// Objects become Dictionaries in document order (a repeated key keeps its first place
// and its last value), true/false become Booleans, integers Int (UInt above INT64_MAX),
// numbers with a fraction or exponent Double, null a null Value. Text must be UTF-8; a
// leading byte-order mark is skipped. Arrays and objects nest at most kMaxNestingDepth
// deep, so that hostile input cannot exhaust the stack.
inline constexpr std::size_t kMaxNestingDepth = 512;
std::optional<Value> parse(std::string_view text, ReadOptions options = {},
                           ErrorPtr* error = nullptr);
std::optional<Value> parse(const Data& data, ReadOptions options = {}, ErrorPtr* error = nullptr);

struct WriteOptions {
  // Newlines and two-space indentation, with "key" : value.
  bool pretty = false;
  // Keys in byte order instead of the dictionary's order.
  bool sortedKeys = false;
  // "/" written as "\/".
  bool escapeSlashes = true;
  // Accept a top level that is not a dictionary or an array.
  bool allowFragments = false;
};

// Fails (none and an error) for a top level that is not a dictionary or an array (unless
// allowFragments), and for Data, Dates, NaN, infinities or text that is not UTF-8
// anywhere inside. Booleans write as true/false, integers as integers, doubles in the
// shortest form that reads back to the same double (1.0 as 1, 0.1 as 0.1, -0.0 as
// -0.0).
std::optional<std::string> write(const Value& value, WriteOptions options = {},
                                 ErrorPtr* error = nullptr);
std::optional<Data> writeData(const Value& value, WriteOptions options = {},
                              ErrorPtr* error = nullptr);

// Whether the value is made only of kinds JSON can hold: a dictionary or an array at the
// top, and inside only null, Booleans, finite numbers, strings, arrays and dictionaries.
bool isValidJSONObject(const Value& value);

}  // namespace platform::json
