#include "analytics/messages/APMPBMessageEngine.h"

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr std::uint32_t kNoFlag = UINT32_MAX;

// Where one field lies in the message's nanopb struct: its value (or callback) and its has_
// flag as offsets from the struct's start, and the value's size.
struct FieldPlace {
  std::uint32_t data = 0;
  std::uint32_t flag = kNoFlag;
  std::uint32_t dataSize = 0;
  bool found = false;
};

}  // namespace

struct NanoMessageLayout {
  std::vector<FieldPlace> fields;
  // Repeated message fields in the message and its singular children: the element callbacks
  // one decode or encode of it installs.
  std::size_t elementFields = 0;
  // Repeated fields of the message itself, whose records a MessageInfo of it carries.
  std::size_t repeatedFields = 0;
};

// A few large blocks, each twice the size of the one before, handed out in order and freed
// together: a decoded bundle would otherwise cost several allocations for every element.
struct NanoArena {
  struct Block {
    Block* next;
    char* end;
  };
  // Every block holds pointers, 64-bit numbers, doubles or bytes.
  static constexpr std::size_t kAlign = 8;
  static constexpr std::size_t kHeader = (sizeof(Block) + kAlign - 1) / kAlign * kAlign;
  static constexpr std::size_t kLargestBlock = std::size_t{1} << 24;

  MessageInfo* owner = nullptr;
  Block* blocks = nullptr;
  char* cursor = nullptr;
  char* limit = nullptr;
  std::size_t nextSize = 0;

  // The arena lives at the start of its own first block.
  static NanoArena* create(MessageInfo* owner, std::size_t firstSize) {
    constexpr std::size_t self = (sizeof(NanoArena) + kAlign - 1) / kAlign * kAlign;
    const std::size_t size = kHeader + self + firstSize;
    auto* block = static_cast<Block*>(std::malloc(size));
    if (block == nullptr) return nullptr;
    char* start = reinterpret_cast<char*>(block);
    block->next = nullptr;
    block->end = start + size;
    auto* arena = new (start + kHeader) NanoArena;
    arena->owner = owner;
    arena->blocks = block;
    arena->cursor = start + kHeader + self;
    arena->limit = block->end;
    arena->nextSize = firstSize * 2;
    return arena;
  }

  static void destroy(NanoArena* arena) {
    Block* block = arena->blocks;
    arena->~NanoArena();
    while (block != nullptr) {
      Block* next = block->next;
      std::free(block);
      block = next;
    }
  }

  bool contains(const void* pointer) const {
    const char* at = static_cast<const char*>(pointer);
    for (const Block* block = blocks; block != nullptr; block = block->next)
      if (at >= reinterpret_cast<const char*>(block) && at < block->end) return true;
    return false;
  }

  void* allocate(std::size_t size) {
    size = size == 0 ? kAlign : (size + kAlign - 1) / kAlign * kAlign;
    if (static_cast<std::size_t>(limit - cursor) >= size) {
      void* at = cursor;
      cursor += size;
      return at;
    }
    if (size > SIZE_MAX - kHeader) return nullptr;
    // A large request (a long string) gets a block of its own behind the current one, which
    // stays in use for the small ones.
    if (size > nextSize / 4) {
      auto* block = static_cast<Block*>(std::malloc(kHeader + size));
      if (block == nullptr) return nullptr;
      char* start = reinterpret_cast<char*>(block);
      block->end = start + kHeader + size;
      block->next = blocks->next;
      blocks->next = block;
      return start + kHeader;
    }
    auto* block = static_cast<Block*>(std::malloc(kHeader + nextSize));
    if (block == nullptr) return nullptr;
    char* start = reinterpret_cast<char*>(block);
    block->end = start + kHeader + nextSize;
    block->next = blocks;
    blocks = block;
    cursor = start + kHeader + size;
    limit = block->end;
    if (nextSize < kLargestBlock) nextSize *= 2;
    return start + kHeader;
  }

  void* allocateZeroed(std::size_t size) {
    void* at = allocate(size);
    if (at != nullptr) std::memset(at, 0, size);
    return at;
  }
};

namespace {

constexpr std::int32_t kScalarKinds = NanoTypeBool | NanoTypeEnum | NanoTypeInt32 | NanoTypeUInt32 |
                                      NanoTypeInt64 | NanoTypeUInt64 | NanoTypeFloat |
                                      NanoTypeDouble;
constexpr std::int32_t kIntegerKinds =
    NanoTypeBool | NanoTypeEnum | NanoTypeInt32 | NanoTypeUInt32 | NanoTypeInt64 | NanoTypeUInt64;

bool isRepeatedField(const NanoMessageTable& table, std::int32_t index) {
  return (table.types[index] & NanoTypeRepeated) != 0;
}

bool isKind(const NanoMessageTable& table, std::int32_t index, std::int32_t kinds) {
  return (table.types[index] & kinds) != 0;
}

// What the callback of a repeated message field needs besides the record: the element's table
// and how deep the element sits.
struct ElementContext {
  const NanoMessageTable* table;
  NanoArray* array;
  int depth;
};

// The element contexts of one decode or encode, which must stay where they are while nanopb
// runs: a few on the stack, more (sized once from the layout) on the heap.
class Contexts {
 public:
  explicit Contexts(std::size_t capacity) {
    if (capacity > inline_.size()) heap_.reserve(capacity);
  }
  Contexts(const Contexts&) = delete;
  Contexts& operator=(const Contexts&) = delete;
  // Null when the layout's count was wrong, which fails the message rather than moving
  // contexts nanopb still points at.
  ElementContext* add(const ElementContext& context) {
    if (heap_.capacity() != 0) {
      if (heap_.size() == heap_.capacity()) return nullptr;
      heap_.push_back(context);
      return &heap_.back();
    }
    if (used_ == inline_.size()) return nullptr;
    inline_[used_] = context;
    return &inline_[used_++];
  }

 private:
  // Written before they are read: zeroing them for every element would cost more than its use.
  std::array<ElementContext, 8> inline_;
  std::size_t used_ = 0;
  std::vector<ElementContext> heap_;
};

// A zeroed nanopb struct: small ones (events, parameters, entries) on the stack, larger ones
// from the decoding's arena when there is one.
class StructBuffer {
 public:
  explicit StructBuffer(std::size_t size, NanoArena* arena = nullptr)
      : memory(size <= sizeof inline_ ? static_cast<void*>(inline_)
               : arena != nullptr     ? arena->allocateZeroed(size)
                                      : std::calloc(1, size)),
        owned_(size > sizeof inline_ && arena == nullptr) {
    if (memory == inline_) std::memset(inline_, 0, size);
  }
  ~StructBuffer() {
    if (owned_) std::free(memory);
  }
  StructBuffer(const StructBuffer&) = delete;
  StructBuffer& operator=(const StructBuffer&) = delete;
  void* memory;

 private:
  bool owned_;
  alignas(std::max_align_t) unsigned char inline_[256];
};

std::size_t countElementFields(const NanoMessageTable& table) {
  std::size_t count = 0;
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    if ((table.types[i] & NanoTypeMessage) == 0) continue;
    count += (table.types[i] & NanoTypeRepeated) != 0 ? 1 : countElementFields(*table.children[i]);
  }
  return count;
}

// The table's layout, resolved from the descriptor on first use and kept: looking each field
// up by tag in every message would cost more than the decoding itself.
const NanoMessageLayout& layoutOf(const NanoMessageTable& table) {
  if (const NanoMessageLayout* known = table.layout.load(std::memory_order_acquire)) return *known;
  auto made = std::make_unique<NanoMessageLayout>();
  made->fields.resize(static_cast<std::size_t>(table.fieldCount));
  void* base = std::calloc(1, table.structSize == 0 ? 1 : table.structSize);
  for (std::int32_t i = 0; base != nullptr && i < table.fieldCount; ++i) {
    pb_field_iter_t iter;
    if (!pb_field_iter_begin(&iter, table.descriptor, base) ||
        !pb_field_iter_find(&iter, table.tags[i]))
      continue;
    FieldPlace& place = made->fields[static_cast<std::size_t>(i)];
    place.found = true;
    place.data =
        static_cast<std::uint32_t>(static_cast<char*>(iter.pData) - static_cast<char*>(base));
    if (iter.pSize != nullptr)
      place.flag =
          static_cast<std::uint32_t>(static_cast<char*>(iter.pSize) - static_cast<char*>(base));
    place.dataSize = iter.data_size;
  }
  std::free(base);
  made->elementFields = countElementFields(table);
  for (std::int32_t i = 0; i < table.fieldCount; ++i)
    made->repeatedFields += isRepeatedField(table, i) ? 1 : 0;
  const NanoMessageLayout* expected = nullptr;
  if (table.layout.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
    return *made.release();
  return *expected;
}

// The field's place, or null when the descriptor lacks its tag.
const FieldPlace* placeIn(const NanoMessageLayout& layout, std::int32_t index) {
  const FieldPlace& place = layout.fields[static_cast<std::size_t>(index)];
  return place.found ? &place : nullptr;
}

void* dataIn(void* pbStruct, const FieldPlace& place) {
  return static_cast<char*>(pbStruct) + place.data;
}

bool* flagIn(void* pbStruct, const FieldPlace& place) {
  if (place.flag == kNoFlag) return nullptr;
  return reinterpret_cast<bool*>(static_cast<char*>(pbStruct) + place.flag);
}

// Frees a block of the message unless it lies in the message's arena, which goes as a whole.
void release(const MessageInfo* info, void* block) {
  if (block == nullptr) return;
  if (info->arena != nullptr && info->arena->contains(block)) return;
  std::free(block);
}

void freeValue(const NanoMessageTable& table, const MessageInfo* info, std::int32_t index,
               void* value) {
  if (value == nullptr) return;
  if (isKind(table, index, NanoTypeString | NanoTypeBytes)) {
    auto* record = static_cast<NanoBytes*>(value);
    release(info, record->bytes);
    record->reserved = 0;
    record->size = 0;
    record->bytes = nullptr;
    release(info, record);
  } else if (isKind(table, index, NanoTypeMessage)) {
    nano_message_free(*table.children[index], static_cast<MessageInfo*>(value));
  } else {
    release(info, value);
  }
}

// The arena of the decoding under way on this thread: the nanopb callbacks reach their slot
// through their argument but the arena only through here.
thread_local NanoArena* tDecodeArena = nullptr;

// A message of `table` made in the arena, in one block: the MessageInfo, its slots and the
// records of its repeated fields.
MessageInfo* newInfoIn(NanoArena& arena, const NanoMessageTable& table) {
  const std::size_t slots = table.fieldCount == 0 ? 1 : static_cast<std::size_t>(table.fieldCount);
  const std::size_t repeated = layoutOf(table).repeatedFields;
  constexpr std::size_t head = (sizeof(MessageInfo) + 7) / 8 * 8;
  auto* block = static_cast<char*>(
      arena.allocateZeroed(head + slots * sizeof(void*) + repeated * sizeof(NanoArray)));
  if (block == nullptr) return nullptr;
  auto* info = reinterpret_cast<MessageInfo*>(block);
  info->name = table.name;
  info->types = table.types;
  info->fieldCount = table.fieldCount;
  info->arena = &arena;
  info->values = reinterpret_cast<void**>(block + head);
  auto* records = reinterpret_cast<NanoArray*>(block + head + slots * sizeof(void*));
  for (std::int32_t i = 0; i < table.fieldCount; ++i)
    if (isRepeatedField(table, i)) info->values[i] = records++;
  return info;
}

// The next element slot of a repeated field, its element array grown in the arena: the array
// holds 4 slots, then twice as many each time it is full, so a full array is one whose count
// is 0 or a power of two from 4 up. Null when it cannot grow.
void** appendSlot(NanoArray* array) {
  const std::uint32_t count = array->count;
  if (count == 0 || (count >= 4 && (count & (count - 1)) == 0)) {
    if (count > UINT32_MAX / 2) return nullptr;
    const std::size_t capacity = count == 0 ? 4 : std::size_t{count} * 2;
    auto* grown = static_cast<void**>(tDecodeArena->allocate(capacity * sizeof(void*)));
    if (grown == nullptr) return nullptr;
    if (count != 0) std::memcpy(grown, array->elements, count * sizeof(void*));
    array->elements = grown;
  }
  void** slot = &array->elements[count];
  *slot = nullptr;
  array->count = count + 1;
  array->filled = count + 1;
  return slot;
}

// As nano_decode_string, with the record and its bytes from the arena.
bool readString(pb_istream_t* stream, void** slot) {
  auto* record = static_cast<NanoBytes*>(*slot);
  if (record != nullptr && record->bytes != nullptr)
    return pb_read(stream, nullptr, stream->bytes_left);
  if (record != nullptr) {
    std::puts("<ERROR> String decoder failed: string data is NULL");
    return false;
  }
  record = static_cast<NanoBytes*>(tDecodeArena->allocateZeroed(sizeof(NanoBytes)));
  if (record == nullptr) return false;
  *slot = record;
  const std::size_t length = stream->bytes_left;
  if (length > kNanoMaxDecodedBytes) {
    std::printf("Unable to process proto stream. Buffer is too big. %zu > %d", length,
                static_cast<int>(kNanoMaxDecodedBytes));
    return false;
  }
  // An empty string still has a (zero) byte, as the slot routines give it.
  auto* buffer = static_cast<std::uint8_t*>(length == 0 ? tDecodeArena->allocateZeroed(1)
                                                        : tDecodeArena->allocate(length));
  if (buffer == nullptr) return false;
  if (!pb_read(stream, buffer, length)) return false;
  record->bytes = buffer;
  record->size = static_cast<std::uint32_t>(length);
  return true;
}

bool decodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  return readString(stream, static_cast<void**>(*arg));
}

bool decodeRepeatedString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  void** slot = appendSlot(static_cast<NanoArray*>(*arg));
  return slot != nullptr && readString(stream, slot);
}

bool decodeRepeatedVarint(pb_istream_t* stream, const pb_field_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  std::uint64_t value = 0;
  if (!pb_decode_varint(stream, &value)) return false;
  void** slot = appendSlot(static_cast<NanoArray*>(*arg));
  if (slot == nullptr) return false;
  *slot = tDecodeArena->allocate(sizeof value);
  if (*slot == nullptr) return false;
  std::memcpy(*slot, &value, sizeof value);
  return true;
}

bool copyValue(const NanoMessageTable& table, std::int32_t index, void** to, const void* from) {
  const std::int32_t word = table.types[index];
  if ((word & (NanoTypeString | NanoTypeBytes)) != 0) {
    const auto* record = static_cast<const NanoBytes*>(from);
    nano_set_string(to, record->bytes, record->size);
    return *to != nullptr;
  }
  if ((word & NanoTypeMessage) != 0)
    return nano_message_copy(*table.children[index], reinterpret_cast<MessageInfo**>(to),
                             static_cast<const MessageInfo*>(from));
  if ((word & NanoTypeFloat) != 0) {
    float value;
    std::memcpy(&value, from, sizeof value);
    nano_set_float(to, value);
  } else if ((word & NanoTypeDouble) != 0) {
    double value;
    std::memcpy(&value, from, sizeof value);
    nano_set_double(to, value);
  } else {
    std::uint64_t value;
    std::memcpy(&value, from, sizeof value);
    nano_set_uint64(to, value);
  }
  return *to != nullptr;
}

bool decodeAt(const NanoMessageTable& table, const std::uint8_t* bytes, std::size_t length,
              MessageInfo* info, int depth);

bool decodeElement(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* context = arg != nullptr ? static_cast<ElementContext*>(*arg) : nullptr;
  if (context == nullptr || context->array == nullptr) {
    std::printf("<ERROR> %s decoder failed: Invalid arg parameter\n",
                context != nullptr ? context->table->name : "(null)");
    return false;
  }
  const NanoMessageTable& table = *context->table;
  NanoArray* array = context->array;
  if (context->depth > kNanoMaxDecodeDepth) {
    std::printf("<ERROR> %s decoder failed: nested too deep\n", table.name);
    return false;
  }
  const std::size_t length = stream->bytes_left;
  // Over a buffer (every decode here starts from one) the element's bytes are read where they
  // lie; any other stream has them copied out first.
  static const auto kBufferRead = pb_istream_from_buffer(nullptr, 0).callback;
  std::uint8_t* buffer = nullptr;
  const std::uint8_t* bytes = nullptr;
  if (stream->callback == kBufferRead) {
    bytes = static_cast<const std::uint8_t*>(stream->state);
    if (!pb_read(stream, nullptr, length)) bytes = nullptr;
  } else {
    buffer = static_cast<std::uint8_t*>(std::calloc(length == 0 ? 1 : length, 1));
    if (buffer != nullptr && pb_read(stream, buffer, length)) bytes = buffer;
  }
  if (bytes == nullptr) {
    std::printf("<ERROR> %s decoder failed: Unable to extract buffer from stream\n", table.name);
    std::free(buffer);
    return false;
  }
  MessageInfo* element = newInfoIn(*tDecodeArena, table);
  if (element == nullptr) {
    std::printf("<ERROR> %s decoder failed: Unable to initialize MessageInfo\n", table.name);
    std::free(buffer);
    return false;
  }
  void** slot = appendSlot(array);
  if (slot == nullptr) {
    std::free(buffer);
    return false;
  }
  *slot = element;
  const bool decoded = decodeAt(table, bytes, length, element, context->depth);
  std::free(buffer);
  if (!decoded) {
    std::printf("<ERROR> %s decoder failed: Unable to decode repeated %s\n", table.name,
                table.name);
    return false;
  }
  return true;
}

bool encodeElements(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// An encoding's bytes in one malloc'd buffer that doubles as it fills; the caller frees it.
struct GrowingOutput {
  std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;

  bool reserve(std::size_t needed) {
    if (needed <= capacity) return true;
    std::size_t grown = capacity < 1024 ? 1024 : capacity * 2;
    if (grown < needed) grown = needed;
    auto* moved = static_cast<std::uint8_t*>(std::realloc(bytes, grown));
    if (moved == nullptr) return false;
    bytes = moved;
    capacity = grown;
    return true;
  }
};

bool writeGrowing(pb_ostream_t* stream, const pb_byte_t* bytes, std::size_t count) {
  auto* output = static_cast<GrowingOutput*>(stream->state);
  if (!output->reserve(output->size + count)) return false;
  std::memcpy(output->bytes + output->size, bytes, count);
  output->size += count;
  return true;
}

bool setDecoders(const NanoMessageTable& table, MessageInfo* info, void* pbStruct,
                 Contexts& contexts, int depth) {
  if (info == nullptr || info->values == nullptr || pbStruct == nullptr) return false;
  const NanoMessageLayout& layout = layoutOf(table);
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    if (isKind(table, i, kScalarKinds) && !isRepeatedField(table, i)) continue;
    const FieldPlace* place = placeIn(layout, i);
    if (place == nullptr) return false;
    void* data = dataIn(pbStruct, *place);
    if (isRepeatedField(table, i)) {
      auto* record = static_cast<NanoArray*>(info->values[i]);
      if (record == nullptr) return false;
      nano_message_free_field(table, info, i);
      auto* callback = static_cast<pb_callback_t*>(data);
      if (isKind(table, i, kIntegerKinds)) {
        callback->funcs.decode = &decodeRepeatedVarint;
        callback->arg = record;
      } else if (isKind(table, i, NanoTypeString | NanoTypeBytes)) {
        callback->funcs.decode = &decodeRepeatedString;
        callback->arg = record;
      } else if (isKind(table, i, NanoTypeMessage)) {
        ElementContext* context = contexts.add({table.children[i], record, depth + 1});
        if (context == nullptr) return false;
        callback->funcs.decode = &decodeElement;
        callback->arg = context;
      } else {
        return false;
      }
    } else if (isKind(table, i, NanoTypeString | NanoTypeBytes)) {
      auto* callback = static_cast<pb_callback_t*>(data);
      callback->funcs.decode = &decodeString;
      callback->arg = &info->values[i];
    } else if (isKind(table, i, NanoTypeMessage)) {
      const NanoMessageTable& child = *table.children[i];
      nano_message_free_field(table, info, i);
      MessageInfo* childInfo = newInfoIn(*tDecodeArena, child);
      if (childInfo == nullptr) return false;
      info->values[i] = childInfo;
      if (!setDecoders(child, childInfo, data, contexts, depth + 1)) return false;
    }
  }
  return true;
}

bool storeScalars(const NanoMessageTable& table, void* pbStruct, MessageInfo* info) {
  const NanoMessageLayout& layout = layoutOf(table);
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    if (isRepeatedField(table, i) || !isKind(table, i, kScalarKinds | NanoTypeMessage)) continue;
    const FieldPlace* place = placeIn(layout, i);
    const bool* flag = place != nullptr ? flagIn(pbStruct, *place) : nullptr;
    if (flag == nullptr) return false;
    const bool present = *flag;
    const void* data = dataIn(pbStruct, *place);
    const std::uint32_t dataSize = place->dataSize;
    if (isKind(table, i, NanoTypeMessage)) {
      auto* child = static_cast<MessageInfo*>(info->values[i]);
      if (present && child != nullptr) {
        if (!storeScalars(*table.children[i], dataIn(pbStruct, *place), child)) return false;
      } else {
        nano_message_free_field(table, info, i);
      }
      continue;
    }
    if (!present) continue;
    // The blocks the slot routines would make (bool and 32-bit kinds widened to 64 bits),
    // from the arena; a block already there is written over.
    std::uint64_t wide = 0;
    std::size_t blockSize = sizeof wide;
    if (isKind(table, i, NanoTypeBool) && dataSize == sizeof(bool)) {
      wide = static_cast<std::uint8_t>(*static_cast<const bool*>(data));
    } else if (isKind(table, i, NanoTypeFloat) && dataSize == sizeof(float)) {
      std::memcpy(&wide, data, sizeof(float));
      blockSize = sizeof(float);
    } else if (isKind(table, i, NanoTypeDouble) && dataSize == sizeof(double)) {
      std::memcpy(&wide, data, sizeof(double));
    } else if (isKind(table, i, NanoTypeEnum | NanoTypeInt32 | NanoTypeUInt32) &&
               dataSize == sizeof(std::uint32_t)) {
      std::uint32_t value;
      std::memcpy(&value, data, sizeof value);
      wide = value;
    } else if (isKind(table, i, NanoTypeInt64 | NanoTypeUInt64) &&
               dataSize == sizeof(std::uint64_t)) {
      std::memcpy(&wide, data, sizeof wide);
    } else {
      return false;
    }
    void*& block = info->values[i];
    if (block == nullptr) block = tDecodeArena->allocate(sizeof wide);
    if (block == nullptr) return false;
    std::memcpy(block, &wide, blockSize);
  }
  return true;
}

bool setEncoders(const NanoMessageTable& table, const MessageInfo* info, void* pbStruct,
                 Contexts& contexts) {
  if (info == nullptr || info->values == nullptr || pbStruct == nullptr) return false;
  const NanoMessageLayout& layout = layoutOf(table);
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    void* value = info->values[i];
    if (isRepeatedField(table, i)) {
      auto* record = static_cast<NanoArray*>(value);
      if (record == nullptr) {
        std::printf("<ERROR> %s Encoder: '%s' should have been allocated\n", table.name,
                    table.fieldNames[i]);
        return false;
      }
      if (record->count == 0) continue;
      const FieldPlace* place = placeIn(layout, i);
      if (place == nullptr) return false;
      auto* callback = static_cast<pb_callback_t*>(dataIn(pbStruct, *place));
      if (isKind(table, i, kIntegerKinds)) {
        callback->funcs.encode = &nano_encode_repeated_varint;
        callback->arg = record;
      } else if (isKind(table, i, NanoTypeString | NanoTypeBytes)) {
        callback->funcs.encode = &nano_encode_repeated_string;
        callback->arg = record;
      } else if (isKind(table, i, NanoTypeMessage)) {
        ElementContext* context = contexts.add({table.children[i], record, 0});
        if (context == nullptr) return false;
        callback->funcs.encode = &encodeElements;
        callback->arg = context;
      } else {
        return false;
      }
      continue;
    }
    if (value == nullptr) continue;
    const FieldPlace* place = placeIn(layout, i);
    if (place == nullptr) return false;
    void* data = dataIn(pbStruct, *place);
    if (isKind(table, i, NanoTypeString | NanoTypeBytes)) {
      auto* callback = static_cast<pb_callback_t*>(data);
      callback->funcs.encode = &nano_encode_string;
      callback->arg = value;
      continue;
    }
    bool* flag = flagIn(pbStruct, *place);
    if (flag == nullptr) return false;
    *flag = true;
    if (isKind(table, i, NanoTypeMessage)) {
      // A child that cannot be written fails its parent rather than going out half empty.
      if (!setEncoders(*table.children[i], static_cast<const MessageInfo*>(value), data,
                       contexts)) {
        return false;
      }
      continue;
    }
    // A bool is true only when its first byte is 1, as the accessors read it; the other kinds
    // take the first 4 or all 8 bytes of their block.
    if (isKind(table, i, NanoTypeBool)) {
      if (place->dataSize != sizeof(bool)) return false;
      *static_cast<bool*>(data) = *static_cast<const std::uint8_t*>(value) == 1;
      continue;
    }
    const std::size_t size = place->dataSize;
    if (size != 4 && size != 8) return false;
    std::memcpy(data, value, size);
  }
  return true;
}

bool encodeElements(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* context = arg != nullptr ? static_cast<const ElementContext*>(*arg) : nullptr;
  if (context == nullptr || context->array == nullptr) return false;
  const NanoMessageTable& table = *context->table;
  const NanoArray* array = context->array;
  if (array->count == 0) return true;
  if (array->elements == nullptr) return false;
  const std::size_t elementFields = layoutOf(table).elementFields;
  for (std::uint32_t i = 0; i < array->count; ++i) {
    StructBuffer pbStruct(table.structSize);
    Contexts contexts(elementFields);
    if (pbStruct.memory == nullptr ||
        !setEncoders(table, static_cast<const MessageInfo*>(array->elements[i]), pbStruct.memory,
                     contexts))
      return false;
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!pb_encode_submessage(stream, table.descriptor, pbStruct.memory)) return false;
  }
  return true;
}

bool decodeAt(const NanoMessageTable& table, const std::uint8_t* bytes, std::size_t length,
              MessageInfo* info, int depth) {
  if (info == nullptr) {
    std::printf("<ERROR> %s decoder failed: message_info is NULL\n", table.name);
    return false;
  }
  const NanoMessageLayout& layout = layoutOf(table);
  StructBuffer pbStruct(table.structSize, tDecodeArena);
  Contexts contexts(layout.elementFields);
  if (pbStruct.memory == nullptr || !setDecoders(table, info, pbStruct.memory, contexts, depth)) {
    std::printf("<ERROR> %s decoder failed: Unable to set decoders\n", table.name);
    return false;
  }
  static const std::uint8_t kNothing = 0;
  const std::uint8_t* input = bytes != nullptr ? bytes : &kNothing;
  if (bytes == nullptr) length = 0;
  // One pass: repeated fields grow their element arrays in the arena as elements come, rather
  // than counting them in a first pass and reading every element's bytes twice.
  // The struct is zeroed and holds the callbacks: nanopb's defaults would only be written to
  // fields whose has_ flag stays false, which are never read.
  pb_istream_t stream = pb_istream_from_buffer(input, length);
  if (!pb_decode_ex(&stream, table.descriptor, pbStruct.memory, PB_DECODE_NOINIT)) {
    std::printf("<ERROR> %s decoder failed: %s\n", table.name, PB_GET_ERROR(&stream));
    return false;
  }
  return storeScalars(table, pbStruct.memory, info);
}

}  // namespace

bool nano_message_init(const NanoMessageTable& table, MessageInfo* info) {
  if (info == nullptr) return false;
  info->name = table.name;
  info->types = table.types;
  info->fieldCount = table.fieldCount;
  info->arena = nullptr;
  info->values =
      static_cast<void**>(std::calloc(table.fieldCount == 0 ? 1 : table.fieldCount, sizeof(void*)));
  if (info->values == nullptr) return false;
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    if (!isRepeatedField(table, i)) continue;
    info->values[i] = std::calloc(1, sizeof(NanoArray));
    if (info->values[i] == nullptr) return false;
  }
  return true;
}

bool nano_message_free_field(const NanoMessageTable& table, MessageInfo* info, std::int32_t index) {
  if (info == nullptr) return false;
  if (index < 0 || index >= table.fieldCount || info->values == nullptr) {
    std::printf("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", table.name, index);
    return false;
  }
  if (isRepeatedField(table, index)) {
    auto* record = static_cast<NanoArray*>(info->values[index]);
    if (record == nullptr) return true;
    if (record->elements != nullptr)
      for (std::uint32_t i = 0; i < record->count; ++i)
        freeValue(table, info, index, record->elements[i]);
    release(info, record->elements);
    record->elements = nullptr;
    record->filled = 0;
    record->count = 0;
    return true;
  }
  freeValue(table, info, index, info->values[index]);
  info->values[index] = nullptr;
  return true;
}

bool nano_message_free(const NanoMessageTable& table, MessageInfo* info) {
  if (info == nullptr) return false;
  if (info->values != nullptr) {
    for (std::int32_t i = 0; i < table.fieldCount; ++i) {
      if (!nano_message_free_field(table, info, i)) return false;
      if (isRepeatedField(table, i)) {
        release(info, info->values[i]);
        info->values[i] = nullptr;
      }
    }
    release(info, info->values);
  }
  // The message decoding started from takes its arena, and every message in it, along.
  if (NanoArena* arena = info->arena; arena != nullptr && arena->owner == info) {
    NanoArena::destroy(arena);
    std::free(info);
    return true;
  }
  release(info, info);
  return true;
}

bool nano_message_copy(const NanoMessageTable& table, MessageInfo** destination,
                       const MessageInfo* source) {
  if (destination == nullptr || source == nullptr || source->values == nullptr) return false;
  if (*destination != nullptr) nano_message_free(table, *destination);
  *destination = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (*destination == nullptr || !nano_message_init(table, *destination)) return false;
  MessageInfo* copy = *destination;
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    const void* from = source->values[i];
    if (from == nullptr) continue;
    if (isRepeatedField(table, i)) {
      const auto* in = static_cast<const NanoArray*>(from);
      auto* out = static_cast<NanoArray*>(copy->values[i]);
      if (in->count == 0 || in->elements == nullptr) continue;
      out->elements = static_cast<void**>(std::calloc(in->count, sizeof(void*)));
      if (out->elements == nullptr) return false;
      out->count = in->count;
      for (std::uint32_t e = 0; e < in->count; ++e)
        if (in->elements[e] != nullptr && !copyValue(table, i, &out->elements[e], in->elements[e]))
          return false;
    } else if (!copyValue(table, i, &copy->values[i], from)) {
      return false;
    }
  }
  return true;
}

bool nano_message_decode(const NanoMessageTable& table, const std::uint8_t* bytes,
                         std::size_t length, MessageInfo* info) {
  if (info == nullptr) return decodeAt(table, bytes, length, info, 0);
  if (info->arena == nullptr) {
    // A decoded message takes several times its wire size; the blocks after the first double.
    constexpr std::size_t kSmallest = 1024;
    constexpr std::size_t kLargestFirst = std::size_t{1} << 22;
    const std::size_t guess = length > kLargestFirst / 8 ? kLargestFirst : length * 8;
    info->arena = NanoArena::create(info, guess < kSmallest ? kSmallest : guess);
    if (info->arena == nullptr) return false;
  }
  NanoArena* const outer = tDecodeArena;
  tDecodeArena = info->arena;
  const bool decoded = decodeAt(table, bytes, length, info, 0);
  tDecodeArena = outer;
  return decoded;
}

std::int32_t nano_message_encode(const NanoMessageTable& table, const MessageInfo* info,
                                 std::uint8_t** buffer) {
  if (buffer == nullptr) return -1;
  *buffer = nullptr;
  StructBuffer pbStruct(table.structSize);
  Contexts contexts(layoutOf(table).elementFields);
  if (pbStruct.memory == nullptr || !setEncoders(table, info, pbStruct.memory, contexts)) return -1;
  // One pass into a buffer that grows: a counting pass first would run every element's set-up
  // and nanopb's sizing of every sub-message once more, for the same bytes.
  GrowingOutput output;
  pb_ostream_t stream{};
  stream.callback = &writeGrowing;
  stream.state = &output;
  stream.max_size = INT32_MAX;
  if (!pb_encode(&stream, table.descriptor, pbStruct.memory) ||
      (output.bytes == nullptr && !output.reserve(1))) {
    std::free(output.bytes);
    return -1;
  }
  *buffer = output.bytes;
  return static_cast<std::int32_t>(output.size);
}
