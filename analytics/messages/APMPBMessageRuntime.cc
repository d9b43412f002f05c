#include "analytics/messages/APMPBMessageRuntime.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/keyed_archive.h"
#include "platform/system_log.h"
#include "platform/text.h"

namespace {

// Accessor diagnostics go to the system log; slot routines and codec callbacks print.
void logLine(const std::string& line) {
  platform::SystemLog::write(platform::SystemLog::Notice, line);
}

const char* nameOf(const MessageInfo* info) {
  return info != nullptr && info->name != nullptr ? info->name : "(null)";
}

// 0 (no kind, no cardinality) for an index the message does not have, so that every type
// test refuses it.
std::int32_t typeWordAt(const MessageInfo* info, std::int32_t index) {
  if (index < 0 || index >= info->fieldCount || info->types == nullptr) return 0;
  return info->types[index];
}

bool indexInRange(const MessageInfo* info, std::int32_t index) {
  return index >= 0 && index < info->fieldCount;
}

MessageInfo* initializedInfo(const NANOMessageBase* message, const char* operation) {
  MessageInfo* info = message != nullptr ? message->messageInfo() : nullptr;
  if (info == nullptr || info->values == nullptr) {
    logLine(std::string("ProtocolBuffer message hasn't been initialized. ") + operation +
            " can't be performed");
    return nullptr;
  }
  return info;
}

std::string fieldSuffix(const MessageInfo* info, std::int32_t index) {
  return std::string(". Message: ") + nameOf(info) + ", field ID: " + std::to_string(index);
}

// The field is singular and of one of the accepted kinds; otherwise logs the mismatch.
bool isScalarOf(const MessageInfo* info, std::int32_t index, std::int32_t kinds,
                const char* kindText) {
  const std::int32_t word = typeWordAt(info, index);
  if ((word & NanoTypeSingular) != 0 && (word & NanoTypeRepeated) == 0 && (word & kinds) != 0)
    return true;
  logLine(std::string("<Nano/Failure> Field type isn't a scalar ") + kindText +
          fieldSuffix(info, index));
  return false;
}

bool isRepeated(const MessageInfo* info, std::int32_t index) {
  if ((typeWordAt(info, index) & NanoTypeRepeated) != 0) return true;
  logLine("<Nano/Failure> Field type isn't REPEATED" + fieldSuffix(info, index));
  return false;
}

std::uint64_t readBlock64(const void* block) {
  std::uint64_t value;
  std::memcpy(&value, block, sizeof value);
  return value;
}

void* allocateInto(void** slot, std::size_t size) {
  if (*slot == nullptr) *slot = std::calloc(1, size);
  return *slot;
}

// A buffer of at least one byte, so that an empty string still has bytes and is written as
// its tag and length 0 rather than being taken for a missing one.
std::uint8_t* allocateBytes(std::size_t length) {
  return static_cast<std::uint8_t*>(std::calloc(length == 0 ? 1 : length, 1));
}

bool fillRecord(NanoBytes* record, const void* bytes, std::size_t length) {
  if (length > UINT32_MAX) return false;
  std::uint8_t* buffer = allocateBytes(length);
  if (buffer == nullptr) return false;
  if (length != 0) std::memcpy(buffer, bytes, length);
  record->bytes = buffer;
  record->size = static_cast<std::uint32_t>(length);
  return true;
}

const char* classNameOf(const NanoObject& object) {
  if (const auto* message = std::get_if<NanoMessagePtr>(&object))
    return *message != nullptr ? (*message)->className() : "(null)";
  return platform::classNameOf(std::get<platform::Value>(object));
}

const platform::Value* numberIn(const NanoObject& object) {
  const auto* value = std::get_if<platform::Value>(&object);
  return value != nullptr && value->isNumber() ? value : nullptr;
}

std::uint32_t unsignedIntValue(const platform::Value& number) {
  const std::uint64_t wide = number.type() == platform::Value::Type::UInt
                                 ? number.unsignedLongLongValue()
                                 : static_cast<std::uint64_t>(number.longLongValue());
  return static_cast<std::uint32_t>(wide);
}

std::optional<std::string> stringFromRecord(const NanoBytes* record) {
  if (record == nullptr || record->bytes == nullptr) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(record->bytes), record->size);
  if (!platform::text::isValidUTF8(text)) return std::nullopt;
  return text;
}

// Frees a MessageInfo whose message type is known only through its free-field function:
// the fields, then the records of the repeated ones (which free-field keeps), then the rest.
void disposeInfo(MessageInfo* info, NanoDeallocMessageFieldFn freeField) {
  if (info == nullptr) return;
  if (info->values != nullptr) {
    for (std::int32_t index = 0; index < info->fieldCount; ++index) {
      if (freeField != nullptr) freeField(info, index);
      if ((typeWordAt(info, index) & NanoTypeRepeated) != 0) {
        auto* array = static_cast<NanoArray*>(info->values[index]);
        if (array != nullptr) std::free(array->elements);
        std::free(array);
        info->values[index] = nullptr;
      }
    }
    std::free(info->values);
  }
  std::free(info);
}

void clearWith(NANOMessageBase* message, MessageInfo* info, std::int32_t index) {
  const NanoDeallocMessageFieldFn freeField = message->deallocMessageFieldFn();
  if (freeField != nullptr) freeField(info, index);
}

std::optional<NanoObject> objectFromElement(const void* element, std::int32_t word,
                                            const NanoMessageClass* elementClass) {
  using platform::Value;
  if ((word & NanoTypeBool) != 0) return Value(*static_cast<const std::uint8_t*>(element) != 0);
  if ((word & NanoTypeInt32) != 0) return Value(static_cast<std::int32_t>(readBlock64(element)));
  if ((word & NanoTypeUInt32) != 0) return Value(static_cast<std::uint32_t>(readBlock64(element)));
  if ((word & NanoTypeInt64) != 0) return Value(static_cast<std::int64_t>(readBlock64(element)));
  if ((word & NanoTypeUInt64) != 0) return Value(readBlock64(element));
  if ((word & NanoTypeFloat) != 0) {
    float value;
    std::memcpy(&value, element, sizeof value);
    return Value(value);
  }
  if ((word & NanoTypeDouble) != 0) {
    double value;
    std::memcpy(&value, element, sizeof value);
    return Value(value);
  }
  if ((word & NanoTypeEnum) != 0) return Value(static_cast<std::int32_t>(readBlock64(element)));
  if ((word & NanoTypeString) != 0) {
    auto text = stringFromRecord(static_cast<const NanoBytes*>(element));
    if (!text) return std::nullopt;
    return Value(std::move(*text));
  }
  if ((word & NanoTypeBytes) != 0) {
    const auto* record = static_cast<const NanoBytes*>(element);
    if (record->bytes == nullptr) return Value(platform::Data());
    return Value(platform::Data(record->bytes, record->size));
  }
  if ((word & NanoTypeMessage) != 0) {
    if (elementClass == nullptr || elementClass->initWithMessageInfo == nullptr) {
      logLine(std::string("<ERROR> Provided class doesn't implement initWithMessageInfo: method. "
                          "Class: ") +
              (elementClass != nullptr && elementClass->name != nullptr ? elementClass->name
                                                                        : "(null)"));
      return std::nullopt;
    }
    NanoMessagePtr copy =
        elementClass->initWithMessageInfo(static_cast<const MessageInfo*>(element));
    if (copy == nullptr) return std::nullopt;
    return NanoObject(std::move(copy));
  }
  logLine("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. " +
          std::to_string(word));
  return std::nullopt;
}

// Stores one array element into an empty element slot; returns the diagnostic of a refused
// element, or none.
std::optional<std::string> storeElement(void** slot, const NanoObject& object, std::int32_t word) {
  const auto refuse = [&](const char* expectation) {
    return std::optional<std::string>(std::string("<ERROR> Invalid object type. ") + expectation +
                                      ". Type: " + classNameOf(object));
  };
  const platform::Value* number = numberIn(object);
  const auto* value = std::get_if<platform::Value>(&object);
  if ((word & NanoTypeBool) != 0) {
    if (number == nullptr) return refuse("Boolean fields expect NSNumber");
    nano_set_bool(slot, number->boolValue());
  } else if ((word & (NanoTypeInt32 | NanoTypeUInt32)) != 0) {
    if (number == nullptr) return refuse("Int32 fields expect NSNumber");
    nano_set_uint32(slot, unsignedIntValue(*number));
  } else if ((word & (NanoTypeInt64 | NanoTypeUInt64)) != 0) {
    if (number == nullptr) return refuse("Int64 fields expect NSNumber");
    nano_set_uint64(slot, static_cast<std::uint64_t>(number->longLongValue()));
  } else if ((word & NanoTypeFloat) != 0) {
    if (number == nullptr) return refuse("Float fields expect NSNumber");
    nano_set_float(slot, static_cast<float>(number->doubleValue()));
  } else if ((word & NanoTypeDouble) != 0) {
    if (number == nullptr) return refuse("Double fields expect NSNumber");
    nano_set_double(slot, number->doubleValue());
  } else if ((word & NanoTypeEnum) != 0) {
    if (number == nullptr) return refuse("Enum fields expect NSNumber");
    nano_set_uint32(slot, unsignedIntValue(*number));
  } else if ((word & (NanoTypeString | NanoTypeBytes)) != 0) {
    const bool isString = (word & NanoTypeString) != 0;
    if (value == nullptr || (isString ? !value->isString() : !value->isData()))
      return refuse(isString ? "String fields expect NSString" : "Bytes fields expect NSData");
    auto* record = static_cast<NanoBytes*>(std::calloc(1, sizeof(NanoBytes)));
    *slot = record;
    if (record == nullptr ||
        !(isString ? nano_bytes_from_string(value, record) : nano_bytes_from_data(value, record)))
      return refuse(isString ? "String fields expect NSString" : "Bytes fields expect NSData");
  } else if ((word & NanoTypeMessage) != 0) {
    const auto* message = std::get_if<NanoMessagePtr>(&object);
    if (message == nullptr || *message == nullptr)
      return refuse("Message fields expect NANOMessageBase");
    const NanoCopyMessageInfoFn copy = (*message)->copyMessageInfoFn();
    if (copy == nullptr || !copy(reinterpret_cast<MessageInfo**>(slot), (*message)->messageInfo()))
      return refuse("Message fields expect NANOMessageBase");
  } else {
    return "<ERROR> Unable to convert ObjC object to byte data. Unknown type. " +
           std::to_string(word);
  }
  return std::nullopt;
}

}  // namespace

void nano_init_array(NanoArray* array) {
  if (array == nullptr) {
    std::puts("<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  std::free(array->elements);
  array->elements = nullptr;
  array->filled = 0;
  array->count = 0;
}

void nano_free_string(NanoBytes* record) {
  if (record == nullptr) {
    std::puts("<ERROR> Unable to dealloc string field. String struct is NULL");
    return;
  }
  std::free(record->bytes);
  record->reserved = 0;
  record->size = 0;
  record->bytes = nullptr;
}

void nano_set_bool(void** slot, bool value) {
  if (slot == nullptr) {
    std::puts("<ERROR> Unable to set bool. Destination pointer is NULL");
    return;
  }
  if (void* block = allocateInto(slot, sizeof(std::uint64_t))) {
    const std::uint64_t stored = static_cast<std::uint8_t>(value);
    std::memcpy(block, &stored, sizeof stored);
  }
}

void nano_set_uint32(void** slot, std::uint32_t value) {
  if (slot == nullptr) {
    std::puts("<ERROR> Unable to set uint32. Destination pointer is NULL");
    return;
  }
  if (void* block = allocateInto(slot, sizeof(std::uint64_t))) {
    const std::uint64_t stored = value;
    std::memcpy(block, &stored, sizeof stored);
  }
}

void nano_set_uint64(void** slot, std::uint64_t value) {
  if (slot == nullptr) {
    std::puts("<ERROR> Unable to set uint64. Destination pointer is NULL");
    return;
  }
  if (void* block = allocateInto(slot, sizeof(std::uint64_t)))
    std::memcpy(block, &value, sizeof value);
}

void nano_set_float(void** slot, float value) {
  if (slot == nullptr) {
    std::puts("<ERROR> Unable to set float. Destination pointer is NULL");
    return;
  }
  if (void* block = allocateInto(slot, sizeof(float))) std::memcpy(block, &value, sizeof value);
}

void nano_set_double(void** slot, double value) {
  if (slot == nullptr) {
    std::puts("<ERROR> Unable to set double. Destination pointer is NULL");
    return;
  }
  if (void* block = allocateInto(slot, sizeof(double))) std::memcpy(block, &value, sizeof value);
}

void nano_set_string(void** slot, const std::uint8_t* bytes, std::uint32_t length) {
  if (slot == nullptr) {
    std::puts("<ERROR> Unable to set string. Destination array is NULL");
    return;
  }
  auto* record = static_cast<NanoBytes*>(allocateInto(slot, sizeof(NanoBytes)));
  if (record == nullptr) return;
  std::free(record->bytes);
  record->bytes = nullptr;
  record->size = 0;
  auto* buffer = static_cast<std::uint8_t*>(std::calloc(std::size_t{length} + 1, 1));
  if (buffer == nullptr) return;
  if (length != 0 && bytes != nullptr) std::memcpy(buffer, bytes, length);
  record->bytes = buffer;
  record->size = length;
}

bool nano_bytes_from_string(const platform::Value* object, NanoBytes* record) {
  if (object == nullptr) return true;
  const std::string* text = object->asString();
  if (text == nullptr || record == nullptr) return false;
  return fillRecord(record, text->data(), text->size());
}

bool nano_bytes_from_data(const platform::Value* object, NanoBytes* record) {
  if (object == nullptr) return true;
  const platform::Data* data = object->asData();
  if (data == nullptr || record == nullptr) return false;
  return fillRecord(record, data->bytes(), data->length());
}

bool nano_decode_string(pb_istream_t* stream, const pb_field_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  void** slot = static_cast<void**>(*arg);
  auto* record = static_cast<NanoBytes*>(*slot);
  if (record != nullptr && record->bytes != nullptr)
    return pb_read(stream, nullptr, stream->bytes_left);
  if (record != nullptr) {
    std::puts("<ERROR> String decoder failed: string data is NULL");
    return false;
  }
  record = static_cast<NanoBytes*>(std::calloc(1, sizeof(NanoBytes)));
  if (record == nullptr) return false;
  *slot = record;
  const std::size_t length = stream->bytes_left;
  if (length > kNanoMaxDecodedBytes) {
    std::printf("Unable to process proto stream. Buffer is too big. %zu > %d", length,
                static_cast<int>(kNanoMaxDecodedBytes));
    return false;
  }
  std::uint8_t* buffer = allocateBytes(length);
  if (buffer == nullptr) return false;
  record->bytes = buffer;
  record->size = static_cast<std::uint32_t>(length);
  if (!pb_read(stream, buffer, length)) {
    std::free(buffer);
    record->bytes = nullptr;
    record->size = 0;
    return false;
  }
  return true;
}

bool nano_decode_repeated_varint(pb_istream_t* stream, const pb_field_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* array = static_cast<NanoArray*>(*arg);
  std::uint64_t value = 0;
  if (!pb_decode_varint(stream, &value)) return false;
  if (array->elements == nullptr) {
    if (array->count == UINT32_MAX) return false;
    ++array->count;
    return true;
  }
  // The filling pass reads the same bytes as the counting pass; anything beyond the counted
  // elements means the input or the record changed, and is refused rather than written.
  if (array->filled >= array->count) return false;
  nano_set_uint64(&array->elements[array->filled], value);
  ++array->filled;
  return true;
}

bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* array = static_cast<NanoArray*>(*arg);
  if (array->elements == nullptr) {
    if (!pb_read(stream, nullptr, stream->bytes_left)) return false;
    if (array->count == UINT32_MAX) return false;
    ++array->count;
    return true;
  }
  if (array->filled >= array->count) return false;
  void* slotAddress = &array->elements[array->filled];
  ++array->filled;
  return nano_decode_string(stream, field, &slotAddress);
}

bool nano_encode_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  if (arg == nullptr) return false;
  const auto* record = static_cast<const NanoBytes*>(*arg);
  if (record == nullptr || (record->bytes == nullptr && record->size != 0)) return false;
  if (!pb_encode_tag_for_field(stream, field)) return false;
  static const pb_byte_t kNothing = 0;
  return pb_encode_string(stream, record->bytes != nullptr ? record->bytes : &kNothing,
                          record->size);
}

bool nano_encode_repeated_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  if (arg == nullptr) return false;
  const auto* array = static_cast<const NanoArray*>(*arg);
  if (array == nullptr || array->elements == nullptr) return false;
  for (std::uint32_t i = 0; i < array->count; ++i) {
    void* const element = array->elements[i];
    if (!nano_encode_string(stream, field, &element)) return false;
  }
  return true;
}

bool nano_encode_repeated_varint(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  if (arg == nullptr) return false;
  const auto* array = static_cast<const NanoArray*>(*arg);
  if (array == nullptr || array->elements == nullptr) return false;
  for (std::uint32_t i = 0; i < array->count; ++i) {
    const void* element = array->elements[i];
    if (element == nullptr) return false;
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!pb_encode_varint(stream, readBlock64(element))) return false;
  }
  return true;
}

std::int32_t nano_encode_to_buffer(const pb_msgdesc_t* fields, const void* message,
                                   std::uint8_t** buffer) {
  if (buffer == nullptr) return -1;
  *buffer = nullptr;
  if (fields == nullptr || message == nullptr) return -1;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  pb_encode(&sizing, fields, message);
  const std::size_t size = sizing.bytes_written;
  if (size > INT32_MAX) return -1;
  std::uint8_t* output = allocateBytes(size);
  if (output == nullptr) return -1;
  pb_ostream_t stream = pb_ostream_from_buffer(output, size);
  if (!pb_encode(&stream, fields, message)) {
    std::free(output);
    return -1;
  }
  *buffer = output;
  return static_cast<std::int32_t>(stream.bytes_written);
}

bool nano_has_field(const NANOMessageBase* message, std::int32_t index) {
  const MessageInfo* info = message != nullptr ? message->messageInfo() : nullptr;
  if (info == nullptr || info->values == nullptr) {
    logLine(
        std::string("ProtocolBuffer message hasn't been initialized. HasField operation "
                    "can't be performed. Message name ") +
        (message != nullptr && message->messageID() != nullptr ? message->messageID() : "(null)"));
    return false;
  }
  if (!indexInRange(info, index)) {
    logLine("<Nano/Failure> Unknown field" + fieldSuffix(info, index));
    return false;
  }
  if ((typeWordAt(info, index) & NanoTypeRepeated) != 0) return true;
  return info->values[index] != nullptr;
}

void nano_clear_field(NANOMessageBase* message, std::int32_t index) {
  MessageInfo* info = initializedInfo(message, "ClearField");
  if (info == nullptr) return;
  if (!indexInRange(info, index)) {
    logLine("<Nano/Failure> Unknown field" + fieldSuffix(info, index));
    return;
  }
  clearWith(message, info, index);
}

bool nano_get_bool(const NANOMessageBase* message, std::int32_t index) {
  const MessageInfo* info = initializedInfo(message, "GetBool");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeBool, "BOOL")) return false;
  const void* block = info->values[index];
  return block != nullptr && *static_cast<const std::uint8_t*>(block) == 1;
}

void nano_set_bool_field(NANOMessageBase* message, std::int32_t index, bool value) {
  MessageInfo* info = initializedInfo(message, "SetBool");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeBool, "BOOL")) return;
  nano_set_uint32(&info->values[index], value ? 1 : 0);
}

std::int32_t nano_get_int32(const NANOMessageBase* message, std::int32_t index) {
  const MessageInfo* info = initializedInfo(message, "GetInt32");
  if (info == nullptr ||
      !isScalarOf(info, index, NanoTypeEnum | NanoTypeInt32 | NanoTypeUInt32, "INT32"))
    return 0;
  const void* block = info->values[index];
  if (block == nullptr) return 0;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(readBlock64(block)));
}

void nano_set_int32(NANOMessageBase* message, std::int32_t index, std::int32_t value) {
  MessageInfo* info = initializedInfo(message, "SetInt32");
  if (info == nullptr ||
      !isScalarOf(info, index, NanoTypeEnum | NanoTypeInt32 | NanoTypeUInt32, "INT32"))
    return;
  nano_set_uint32(&info->values[index], static_cast<std::uint32_t>(value));
}

std::int64_t nano_get_int64(const NANOMessageBase* message, std::int32_t index) {
  const MessageInfo* info = initializedInfo(message, "GetInt64");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeInt64 | NanoTypeUInt64, "INT64"))
    return 0;
  const void* block = info->values[index];
  return block != nullptr ? static_cast<std::int64_t>(readBlock64(block)) : 0;
}

void nano_set_int64(NANOMessageBase* message, std::int32_t index, std::int64_t value) {
  MessageInfo* info = initializedInfo(message, "SetInt64");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeInt64 | NanoTypeUInt64, "INT64")) return;
  nano_set_uint64(&info->values[index], static_cast<std::uint64_t>(value));
}

double nano_get_double(const NANOMessageBase* message, std::int32_t index) {
  const MessageInfo* info = initializedInfo(message, "GetDouble");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeDouble, "DOUBLE")) return 0.0;
  const void* block = info->values[index];
  if (block == nullptr) return 0.0;
  double value;
  std::memcpy(&value, block, sizeof value);
  return value;
}

void nano_set_double_field(NANOMessageBase* message, std::int32_t index, double value) {
  MessageInfo* info = initializedInfo(message, "SetDouble");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeDouble, "DOUBLE")) return;
  nano_set_double(&info->values[index], value);
}

std::optional<std::string> nano_get_string(const NANOMessageBase* message, std::int32_t index) {
  const MessageInfo* info = initializedInfo(message, "GetString");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeString, "STRING")) return std::nullopt;
  return stringFromRecord(static_cast<const NanoBytes*>(info->values[index]));
}

void nano_set_string_field(NANOMessageBase* message, std::int32_t index,
                           std::optional<std::string_view> value) {
  MessageInfo* info = initializedInfo(message, "SetString");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeString, "STRING")) return;
  if (!value) {
    clearWith(message, info, index);
    return;
  }
  // A decoded message's record may lie in its arena, where nothing is freed alone: the field
  // is emptied through free-field, which knows, and gets a record of its own.
  if (info->arena != nullptr) clearWith(message, info, index);
  auto* record = static_cast<NanoBytes*>(allocateInto(&info->values[index], sizeof(NanoBytes)));
  if (record == nullptr) return;
  nano_free_string(record);
  fillRecord(record, value->data(), value->size());
}

NanoMessagePtr nano_get_message(const NANOMessageBase* message, std::int32_t index,
                                const NanoMessageClass& messageClass) {
  const MessageInfo* info = initializedInfo(message, "GetMessage");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeMessage, "MESSAGE")) return nullptr;
  const auto* child = static_cast<const MessageInfo*>(info->values[index]);
  if (child == nullptr) return nullptr;
  if (messageClass.initWithMessageInfo == nullptr) {
    logLine(std::string("<ERROR> Provided class doesn't implement initWithMessageInfo: method. "
                        "Class: ") +
            (messageClass.name != nullptr ? messageClass.name : "(null)"));
    return nullptr;
  }
  return messageClass.initWithMessageInfo(child);
}

void nano_set_message(NANOMessageBase* message, std::int32_t index, const NANOMessageBase* value) {
  MessageInfo* info = initializedInfo(message, "SetMessage");
  if (info == nullptr || !isScalarOf(info, index, NanoTypeMessage, "MESSAGE")) return;
  if (value == nullptr) {
    logLine("<ERROR> Unable to set a nil message" + fieldSuffix(info, index));
    return;
  }
  const NanoInitMessageInfoFn init = value->initMessageInfoFn();
  const NanoCopyMessageInfoFn copy = value->copyMessageInfoFn();
  // The copy is made before the old content goes, so a failed copy leaves the field as it was.
  auto* fresh = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (fresh == nullptr) return;
  if (init == nullptr || copy == nullptr || !init(fresh) || !copy(&fresh, value->messageInfo())) {
    disposeInfo(fresh, value->deallocMessageFieldFn());
    return;
  }
  clearWith(message, info, index);
  if (info->values[index] != nullptr) {
    disposeInfo(fresh, value->deallocMessageFieldFn());
    return;
  }
  info->values[index] = fresh;
}

std::optional<NanoObjectArray> nano_get_array(const NANOMessageBase* message, std::int32_t index,
                                              const NanoMessageClass* elementClass) {
  const MessageInfo* info = initializedInfo(message, "GetArray");
  if (info == nullptr || !isRepeated(info, index)) return std::nullopt;
  const auto* array = static_cast<const NanoArray*>(info->values[index]);
  if (array == nullptr) {
    logLine("<ERROR> Repeated field should have been allocated");
    return std::nullopt;
  }
  NanoObjectArray result;
  if (array->elements == nullptr) return result;
  const std::int32_t word = typeWordAt(info, index);
  result.reserve(array->count);
  for (std::uint32_t i = 0; i < array->count; ++i) {
    const void* element = array->elements[i];
    if (element == nullptr) {
      logLine("<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    if (auto object = objectFromElement(element, word, elementClass))
      result.push_back(std::move(*object));
  }
  return result;
}

void nano_set_array(NANOMessageBase* message, std::int32_t index, const NanoObjectArray* array) {
  MessageInfo* info = initializedInfo(message, "SetArray");
  if (info == nullptr || !isRepeated(info, index)) return;
  auto* record = static_cast<NanoArray*>(info->values[index]);
  if (record == nullptr) {
    logLine("<ERROR> Repeated field should have been allocated");
    return;
  }
  clearWith(message, info, index);
  if (array == nullptr) return;
  if (array->empty()) return;
  if (array->size() > UINT32_MAX) {
    logLine("<ERROR> Unable to set NULL data to an ObjC object");
    return;
  }
  const auto count = static_cast<std::uint32_t>(array->size());
  record->elements = static_cast<void**>(std::calloc(count, sizeof(void*)));
  if (record->elements == nullptr) {
    logLine("<ERROR> Unable to set NULL data to an ObjC object");
    clearWith(message, info, index);
    return;
  }
  record->count = count;
  const std::int32_t word = typeWordAt(info, index);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (auto failure = storeElement(&record->elements[i], (*array)[i], word)) {
      logLine(*failure);
      // Only what was stored is handed to free-field, which frees exactly `count` elements.
      record->count = i + (record->elements[i] != nullptr ? 1 : 0);
      clearWith(message, info, index);
      return;
    }
  }
}
