// plist: property lists (XML and binary) as Values, in memory and in files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/json.h"
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

// Reading trusts nothing in the data. Binary lists ("bplist00") are read by a bounded reader of
// our own (platform/binary_plist.h says what it reads); XML by the library, after a scan that
// keeps it from nesting deeper than the limit below. Refused, as kReadCorruptError:
//   - a string or key holding NUL (XML holding a NUL byte, too), and in a binary list UTF-16
//     text with an unpaired surrogate, which has no UTF-8 form. Eight-bit text that is not
//     well-formed UTF-8 (XML text, binary ASCII strings) is passed on byte for byte, as it
//     always was: settings files from older writers hold such text, and their readers drop
//     what the writer (which refuses it) could not save again;
//   - arrays and dictionaries nested deeper than kMaxNestingDepth;
//   - in a binary list, an object table that does not hold together: a reference to no
//     object, an offset outside the objects, a count larger than the bytes could hold, a
//     container that holds itself (a cycle), null or fill objects, a UID above 2^32-1, a date
//     that is not finite, and shared objects that would expand past the budget below;
//   - data larger than 4 GiB.
// A set in a binary list reads as an array.
//
// Arrays and dictionaries nest at most this deep (the top-level container is depth 1), the
// same limit as the JSON reader's; write refuses deeper values with kWriteInvalidError.
inline constexpr std::size_t kMaxNestingDepth = json::kMaxNestingDepth;
// A binary list may refer to one object from many places (writers share equal strings and
// numbers, some whole containers); each reference reads as its own copy. The values read may
// take at most kExpansionFactor times the size of the data, or kMinExpansionBudget for
// smaller data, counted as the bytes of every string, key and data plus sizeof(Value) (and
// sizeof(Dictionary::Entry) for a dictionary entry) per element. A list without shared
// containers stays far below; one whose shared containers double at every level is refused
// after at most that much work.
inline constexpr std::uint64_t kExpansionFactor = 64;
inline constexpr std::uint64_t kMinExpansionBudget = std::uint64_t{32} << 20;

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
