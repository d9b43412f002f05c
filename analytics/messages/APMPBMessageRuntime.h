// APMPBMessageRuntime: the in-memory form of every analytics wire message (a MessageInfo of
// value slots described by type words), the slot routines and nanopb callbacks the
// per-message code is built from, and the typed accessors that read and write a message's
// fields by index.
#pragma once

#include <pb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/data.h"
#include "platform/value.h"

// Type words: one kind bit and one cardinality bit per field.
enum NanoType : std::int32_t {
  NanoTypeSingular = 0x0002,
  NanoTypeRepeated = 0x0008,
  NanoTypeBool = 0x0020,
  NanoTypeEnum = 0x0040,
  NanoTypeInt32 = 0x0080,
  NanoTypeUInt32 = 0x0100,
  NanoTypeInt64 = 0x0200,
  NanoTypeUInt64 = 0x0400,
  NanoTypeFloat = 0x0800,
  NanoTypeDouble = 0x1000,
  NanoTypeString = 0x2000,
  NanoTypeMessage = 0x4000,
  NanoTypeBytes = 0x8000,
};

// Where the buffers of one decoded message and of the messages nested in it come from, freed
// together with the message that decoding started from.
struct NanoArena;

// One message instance. `fieldCount` is the length of `values` and `types`; it lets the
// accessors refuse an index the message does not have instead of reading past the tables.
// `arena` is null for a message built field by field; in a decoded one, a block that lies in
// the arena is never freed alone, so such a message changes through the accessors and the
// engine, which know that, and not by handing its blocks to free or to the slot routines.
struct MessageInfo {
  void** values;
  const std::int32_t* types;
  const char* name;
  std::int32_t fieldCount;
  NanoArena* arena;
};

// A string or byte string; `size` is authoritative, `bytes` need not be NUL-terminated.
struct NanoBytes {
  std::uint32_t reserved;
  std::uint32_t size;
  std::uint8_t* bytes;
};

// A repeated field: `count` element pointers, each holding what a singular slot would.
// `filled` is the decoder's cursor during the filling pass and nothing else.
struct NanoArray {
  std::uint32_t filled;
  std::uint32_t count;
  void** elements;
};

// Strings and byte strings longer than this are refused on decoding.
inline constexpr std::size_t kNanoMaxDecodedBytes = 1048576;

using NanoInitMessageInfoFn = bool (*)(MessageInfo* info);
using NanoDeallocMessageFieldFn = bool (*)(MessageInfo* info, std::int32_t index);
using NanoCopyMessageInfoFn = bool (*)(MessageInfo** destination, const MessageInfo* source);

// What every wrapper object offers the accessors (the protocol its classes adopt).
class NANOMessageBase {
 public:
  virtual ~NANOMessageBase() = default;
  // The wrapper's class name, shown where a diagnostic names an object's class.
  virtual const char* className() const = 0;
  virtual const char* messageID() const = 0;
  virtual MessageInfo* messageInfo() const = 0;
  virtual std::optional<platform::Data> protoBuffer() const = 0;
  virtual NanoInitMessageInfoFn initMessageInfoFn() const = 0;
  virtual NanoDeallocMessageFieldFn deallocMessageFieldFn() const = 0;
  virtual NanoCopyMessageInfoFn copyMessageInfoFn() const = 0;
};
using NanoMessagePtr = std::shared_ptr<NANOMessageBase>;

// A wrapper class as the accessors need it: its name, and its initializer from a
// MessageInfo (deep copy; none when the message name differs), null when the class has none.
struct NanoMessageClass {
  const char* name;
  NanoMessagePtr (*initWithMessageInfo)(const MessageInfo* info);
};

// An element of an array handed out or taken in by the array accessors: a plain value
// (number, string, data) or a message object; a null message pointer stands for nil.
using NanoObject = std::variant<platform::Value, NanoMessagePtr>;
using NanoObjectArray = std::vector<NanoObject>;

// Slot routines. A slot is the address of a value-slot pointer.
void nano_init_array(NanoArray* array);
void nano_free_string(NanoBytes* record);
void nano_set_bool(void** slot, bool value);
void nano_set_uint32(void** slot, std::uint32_t value);
void nano_set_uint64(void** slot, std::uint64_t value);
void nano_set_float(void** slot, float value);
void nano_set_double(void** slot, double value);
void nano_set_string(void** slot, const std::uint8_t* bytes, std::uint32_t length);

// Fill a record from a value: nil (nullptr) leaves it untouched and succeeds; a value of
// another kind fails.
bool nano_bytes_from_string(const platform::Value* object, NanoBytes* record);
bool nano_bytes_from_data(const platform::Value* object, NanoBytes* record);

// nanopb callbacks; `arg` is the callback argument nanopb passes.
bool nano_decode_string(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool nano_decode_repeated_varint(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool nano_encode_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool nano_encode_repeated_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool nano_encode_repeated_varint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Encodes a prepared nanopb struct into a new buffer (freed with free) and returns its
// length, or -1 with a null buffer.
std::int32_t nano_encode_to_buffer(const pb_msgdesc_t* fields, const void* message,
                                   std::uint8_t** buffer);

// Typed accessors. A null message stands for nil. Failures log and give the zero result.
bool nano_has_field(const NANOMessageBase* message, std::int32_t index);
void nano_clear_field(NANOMessageBase* message, std::int32_t index);
bool nano_get_bool(const NANOMessageBase* message, std::int32_t index);
void nano_set_bool_field(NANOMessageBase* message, std::int32_t index, bool value);
std::int32_t nano_get_int32(const NANOMessageBase* message, std::int32_t index);
void nano_set_int32(NANOMessageBase* message, std::int32_t index, std::int32_t value);
std::int64_t nano_get_int64(const NANOMessageBase* message, std::int32_t index);
void nano_set_int64(NANOMessageBase* message, std::int32_t index, std::int64_t value);
double nano_get_double(const NANOMessageBase* message, std::int32_t index);
void nano_set_double_field(NANOMessageBase* message, std::int32_t index, double value);
std::optional<std::string> nano_get_string(const NANOMessageBase* message, std::int32_t index);
void nano_set_string_field(NANOMessageBase* message, std::int32_t index,
                           std::optional<std::string_view> value);
NanoMessagePtr nano_get_message(const NANOMessageBase* message, std::int32_t index,
                                const NanoMessageClass& messageClass);
// A null value is refused with a diagnostic; the field stays as it was.
void nano_set_message(NANOMessageBase* message, std::int32_t index, const NANOMessageBase* value);
std::optional<NanoObjectArray> nano_get_array(const NANOMessageBase* message, std::int32_t index,
                                              const NanoMessageClass* elementClass);
// A null array empties the field.
void nano_set_array(NANOMessageBase* message, std::int32_t index, const NanoObjectArray* array);
