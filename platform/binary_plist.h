// binary_plist: a bounded reader of binary property lists ("bplist00"), used by plist::parse
// instead of the library underneath, whose reader trusts the object table (it recurses once
// per level, expands shared objects again at every reference, and aborts on a key holding a
// NUL).
//
// The format: the header "bplist00"; the objects, each a marker byte (kind in the high
// nibble, a small size in the low one, 0xF meaning that an integer object with the size
// follows) and its bytes; the offset table, one big-endian offset per object; a 32-byte
// trailer (6 unused bytes, the size of an offset, the size of an object reference, the number
// of objects, the top object's number and the offset table's offset, the last three as
// big-endian 64-bit integers). Containers hold object numbers ("references") of the trailer's
// reference size; a dictionary holds all its key references, then all its value references.
//
// What is read, in the mapping of plist.h:
//   0x08 / 0x09      false / true
//   0x1n             integer of 2^n bytes: 1, 2 and 4 bytes unsigned, 8 bytes signed, 16
//                    bytes a signed 128-bit number that must fit 64 bits (unsigned when its
//                    high half is zero, as written for values above INT64_MAX)
//   0x22 / 0x23      real (float / double)
//   0x33             date, a double of seconds since 2001-01-01; it must be finite
//   0x4n             data
//   0x5n             string of n bytes; ASCII by the format, other bytes are passed on as
//                    they are (as XML text is: see plist.h)
//   0x6n             string of n big-endian UTF-16 units; surrogates must pair
//   0x8n             UID of n+1 bytes, at most 2^32-1, read as {"CF$UID": n}
//   0xAn / 0xCn      array / set (a set reads as an array, as the library did)
//   0xDn             dictionary: keys must be strings; a repeated key keeps its first place
//                    and its last value
// Everything else (null 0x00, fill 0x0F, ordered sets 0xB, the unused kinds) is refused.
//
// Refused as well, before any allocation they would size: a string or key holding NUL, or
// UTF-16 with an unpaired surrogate; a trailer whose sizes, counts or offsets do not fit the data;
// an object offset outside the object area; a count larger than the bytes left could hold; a
// reference to no object; a container that holds itself, directly or further down (a cycle); arrays
// and dictionaries nested deeper than kMaxNestingDepth; and a document whose shared objects would
// expand past the expansion budget (both limits are in plist.h). Reading never recurses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/plist.h"
#include "platform/value.h"

namespace platform::plist {

// Whether the data starts with the binary header "bplist00".
bool isBinaryPropertyList(const std::uint8_t* bytes, std::size_t size);

// The top object of a binary property list. On failure none, with what was wrong in
// `problem` (for the error's debug description).
std::optional<Value> readBinaryPropertyList(const std::uint8_t* bytes, std::size_t size,
                                            std::string* problem = nullptr);

}  // namespace platform::plist
