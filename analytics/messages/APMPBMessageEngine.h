// APMPBMessageEngine: the per-message functions (init, free, copy, decode, encode) as one
// engine driven by a message's table, so that a message is a table and a nanopb descriptor
// rather than a block of its own code.
#pragma once

#include <pb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "analytics/messages/APMPBMessageRuntime.h"

// Nested messages (singular or as elements) deeper than this are refused on decoding.
inline constexpr int kNanoMaxDecodeDepth = 64;

// Where each field of a message's nanopb struct lies, found once per table from its descriptor.
struct NanoMessageLayout;

// One message: its name, per field index the type word, the protobuf tag, the field's name
// (for diagnostics) and, for message fields, the child's table; then the nanopb descriptor of
// its struct and the struct's size. The layout is filled in on first use.
struct NanoMessageTable {
  const char* name;
  std::int32_t fieldCount;
  const std::int32_t* types;
  const pb_size_t* tags;
  const char* const* fieldNames;
  const NanoMessageTable* const* children;
  const pb_msgdesc_t* descriptor;
  std::size_t structSize;
  mutable std::atomic<const NanoMessageLayout*> layout{nullptr};
};

bool nano_message_init(const NanoMessageTable& table, MessageInfo* info);
bool nano_message_free_field(const NanoMessageTable& table, MessageInfo* info, std::int32_t index);
bool nano_message_free(const NanoMessageTable& table, MessageInfo* info);
bool nano_message_copy(const NanoMessageTable& table, MessageInfo** destination,
                       const MessageInfo* source);
// `info` comes from nano_message_init; on failure it holds what was decoded so far, which the
// caller frees. What decoding adds lies in an arena that `info` owns and nano_message_free
// releases with it.
bool nano_message_decode(const NanoMessageTable& table, const std::uint8_t* bytes,
                         std::size_t length, MessageInfo* info);
// The encoded length and a new buffer (freed with free), or -1 and no buffer.
std::int32_t nano_message_encode(const NanoMessageTable& table, const MessageInfo* info,
                                 std::uint8_t** buffer);
