// plist: property lists (XML and binary) as Values, in memory and in files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/value.h"

namespace platform::plist {

enum class Format { XML, Binary };

// Error codes, all in the domain "NSCocoaErrorDomain".
inline constexpr std::int64_t kReadCorruptError = 3840;   // not a property list
inline constexpr std::int64_t kWriteInvalidError = 3852;  // a value a plist cannot hold
inline constexpr std::int64_t kFileReadCorruptFileError = 259;
inline constexpr std::int64_t kFileReadNoSuchFileError = 260;

// What each kind becomes:
//   Boolean <-> Bool (never 1 or 0), integers <-> Int (UInt above INT64_MAX), reals <->
//   Double, strings (UTF-8) <-> String, data <-> Data, arrays <-> Array, dictionaries <->
//   Dictionary in the document's key order, dates <-> Date.
// A keyed-archive reference (UID) reads as the dictionary {"CF$UID": n}, the form the XML
// format gives it, and such a one-key dictionary writes back as a reference.
//
// Limits of the format and of the library underneath: dates keep microseconds in the
// binary format and whole seconds in XML, and must lie within about 68 years of
// 2001-01-01 (write fails otherwise); strings and keys must be UTF-8 without NUL; null
// cannot be stored anywhere. A value that cannot be written fails with kWriteInvalidError.

// Detects XML or binary. Anything else is kReadCorruptError.
std::optional<Value> parse(const Data& data, ErrorPtr* error = nullptr);
std::optional<Data> write(const Value& value, Format format, ErrorPtr* error = nullptr);

// A missing file (or folder on the way) is kFileReadNoSuchFileError; a file that cannot
// be read or is not a property list is kFileReadCorruptFileError, with the cause as the
// underlying error. Errors carry the path under "NSFilePath".
std::optional<Value> readFile(const std::string& path, ErrorPtr* error = nullptr);
// As readFile; a property list whose top level is not a dictionary is also
// kFileReadCorruptFileError, so a caller tells "missing" (260) from "unusable" (259).
std::optional<Dictionary> readDictionaryFile(const std::string& path, ErrorPtr* error = nullptr);
// Writes atomically (temporary file, fsync, rename): a reader sees the old or the new
// contents. The folder must exist. File errors are those of platform::writeFileAtomically.
bool writeFile(const Value& value, const std::string& path, Format format,
               ErrorPtr* error = nullptr);

}  // namespace platform::plist
