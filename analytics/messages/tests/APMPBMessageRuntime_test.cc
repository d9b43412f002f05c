// The field runtime over a small hand-made message pair (a parent with one field of every
// kind, and a child), with init, free-field and copy written out here the way the per-message
// code does them, so that nothing depends on the wire catalogue.

#include "analytics/messages/APMPBMessageRuntime.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system_log.h"

namespace {

using platform::Value;

struct TestType {
  const char* name;
  const std::int32_t* types;
  std::int32_t count;
  const TestType* const* children;  // per index: the message type of message fields
};

bool freeAll(const TestType& type, MessageInfo* info);

bool initOf(const TestType& type, MessageInfo* info) {
  if (info == nullptr) return false;
  info->name = type.name;
  info->types = type.types;
  info->fieldCount = type.count;
  info->values = static_cast<void**>(std::calloc(type.count, sizeof(void*)));
  for (std::int32_t i = 0; i < type.count; ++i)
    if (type.types[i] & NanoTypeRepeated) info->values[i] = std::calloc(1, sizeof(NanoArray));
  return true;
}

void freeValue(const TestType& type, std::int32_t index, void* value) {
  const std::int32_t word = type.types[index];
  if (word & (NanoTypeString | NanoTypeBytes)) {
    if (value != nullptr) nano_free_string(static_cast<NanoBytes*>(value));
    std::free(value);
  } else if (word & NanoTypeMessage) {
    if (value != nullptr) freeAll(*type.children[index], static_cast<MessageInfo*>(value));
  } else {
    std::free(value);
  }
}

bool freeFieldOf(const TestType& type, MessageInfo* info, std::int32_t index) {
  if (info == nullptr) return false;
  if (index < 0 || index >= type.count) {
    std::printf("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", type.name, index);
    return false;
  }
  if (type.types[index] & NanoTypeRepeated) {
    auto* array = static_cast<NanoArray*>(info->values[index]);
    if (array == nullptr) return true;
    for (std::uint32_t i = 0; i < array->count; ++i) freeValue(type, index, array->elements[i]);
    nano_init_array(array);
    return true;
  }
  freeValue(type, index, info->values[index]);
  info->values[index] = nullptr;
  return true;
}

bool freeAll(const TestType& type, MessageInfo* info) {
  if (info == nullptr) return false;
  for (std::int32_t i = 0; i < type.count; ++i) {
    freeFieldOf(type, info, i);
    if (type.types[i] & NanoTypeRepeated) std::free(info->values[i]);
  }
  std::free(info->values);
  std::free(info);
  return true;
}

bool copyValue(const TestType& type, std::int32_t index, void** to, const void* from);

bool copyOf(const TestType& type, MessageInfo** destination, const MessageInfo* source) {
  if (destination == nullptr || source == nullptr) return false;
  if (*destination != nullptr) freeAll(type, *destination);
  *destination = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (*destination == nullptr || !initOf(type, *destination)) return false;
  for (std::int32_t i = 0; i < type.count; ++i) {
    const void* from = source->values[i];
    if (from == nullptr) continue;
    if (type.types[i] & NanoTypeRepeated) {
      const auto* in = static_cast<const NanoArray*>(from);
      auto* out = static_cast<NanoArray*>((*destination)->values[i]);
      if (in->count == 0) continue;
      out->count = in->count;
      out->elements = static_cast<void**>(std::calloc(in->count, sizeof(void*)));
      for (std::uint32_t e = 0; e < in->count; ++e)
        if (!copyValue(type, i, &out->elements[e], in->elements[e])) return false;
    } else if (!copyValue(type, i, &(*destination)->values[i], from)) {
      return false;
    }
  }
  return true;
}

bool copyValue(const TestType& type, std::int32_t index, void** to, const void* from) {
  const std::int32_t word = type.types[index];
  if (word & (NanoTypeString | NanoTypeBytes)) {
    const auto* record = static_cast<const NanoBytes*>(from);
    nano_set_string(to, record->bytes, record->size);
  } else if (word & NanoTypeMessage) {
    return copyOf(*type.children[index], reinterpret_cast<MessageInfo**>(to),
                  static_cast<const MessageInfo*>(from));
  } else if (word & NanoTypeFloat) {
    float value;
    std::memcpy(&value, from, sizeof value);
    nano_set_float(to, value);
  } else {
    std::uint64_t value;
    std::memcpy(&value, from, sizeof value);
    nano_set_uint64(to, value);
  }
  return true;
}

constexpr std::int32_t kChildTypes[] = {0x82, 0x2002};
const TestType kChild{"Child", kChildTypes, 2, nullptr};

enum SampleField {
  kBool,
  kEnum,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kFloat,
  kDouble,
  kString,
  kMessage,
  kBytes,
  kRepeatedUInt32,
  kRepeatedInt64,
  kRepeatedUInt64,
  kRepeatedString,
  kRepeatedMessage,
  kRepeatedBool,
  kRepeatedDouble,
  kRepeatedBytes,
  kSampleFieldCount
};
constexpr std::int32_t kSampleTypes[] = {0x22,   0x42,   0x82,   0x102,  0x202, 0x402, 0x802,
                                         0x1002, 0x2002, 0x4002, 0x8002, 0x108, 0x208, 0x408,
                                         0x2008, 0x4008, 0x28,   0x1008, 0x8008};
static_assert(std::size(kSampleTypes) == kSampleFieldCount);
const TestType* const kSampleChildren[kSampleFieldCount] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &kChild,
    nullptr, nullptr, nullptr, nullptr, nullptr, &kChild, nullptr, nullptr, nullptr};
const TestType kSample{"Sample", kSampleTypes, kSampleFieldCount, kSampleChildren};

template <const TestType& T> bool initFn(MessageInfo* info) { return initOf(T, info); }
template <const TestType& T> bool freeFieldFn(MessageInfo* info, std::int32_t index) {
  return freeFieldOf(T, info, index);
}
template <const TestType& T> bool copyFn(MessageInfo** destination, const MessageInfo* source) {
  return copyOf(T, destination, source);
}

template <const TestType& T> class Wrapper : public NANOMessageBase {
 public:
  static NanoMessagePtr initWithMessageInfo(const MessageInfo* info) {
    auto wrapper = std::make_shared<Wrapper>();
    if (info != nullptr) {
      if (std::strcmp(info->name, T.name) != 0 || !copyOf(T, &wrapper->info_, info)) return nullptr;
    } else {
      wrapper->info_ = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
      initOf(T, wrapper->info_);
    }
    return wrapper;
  }
  static std::shared_ptr<Wrapper> make() {
    return std::static_pointer_cast<Wrapper>(initWithMessageInfo(nullptr));
  }
  static inline const NanoMessageClass kClass{T.name, &Wrapper::initWithMessageInfo};

  ~Wrapper() override {
    if (info_ != nullptr) freeAll(T, info_);
  }
  const char* className() const override { return T.name; }
  const char* messageID() const override { return T.name; }
  MessageInfo* messageInfo() const override { return info_; }
  std::optional<platform::Data> protoBuffer() const override { return std::nullopt; }
  NanoInitMessageInfoFn initMessageInfoFn() const override { return &initFn<T>; }
  NanoDeallocMessageFieldFn deallocMessageFieldFn() const override { return &freeFieldFn<T>; }
  NanoCopyMessageInfoFn copyMessageInfoFn() const override { return &copyFn<T>; }

 private:
  MessageInfo* info_ = nullptr;
};
using Sample = Wrapper<kSample>;
using Child = Wrapper<kChild>;

// A wrapper that has lost its MessageInfo, as a message object that was never set up.
class Uninitialized : public Sample {
 public:
  MessageInfo* messageInfo() const override { return nullptr; }
};

class LogLines {
 public:
  LogLines() {
    platform::SystemLog::setCaptureSink(
        [this](const platform::SystemLog::Entry& entry) { lines.push_back(entry.message); });
  }
  ~LogLines() { platform::SystemLog::setCaptureSink(nullptr); }
  std::vector<std::string> lines;
};

struct StdoutCapture {
  StdoutCapture() { testing::internal::CaptureStdout(); }
  std::string take() { return testing::internal::GetCapturedStdout(); }
};

// --- typed accessors ------------------------------------------------------------------------

TEST(APMPBMessageRuntimeTest, ScalarAccessorsRoundTripAndReadTheStoredWidth) {
  auto sample = Sample::make();
  LogLines log;
  nano_set_bool_field(sample.get(), kBool, true);
  nano_set_int32(sample.get(), kEnum, 7);
  nano_set_int32(sample.get(), kInt32, -1);
  nano_set_int32(sample.get(), kUInt32, -1);
  nano_set_int64(sample.get(), kInt64, INT64_MIN);
  nano_set_int64(sample.get(), kUInt64, -2);
  nano_set_double_field(sample.get(), kDouble, -2.5);
  EXPECT_TRUE(nano_get_bool(sample.get(), kBool));
  EXPECT_EQ(nano_get_int32(sample.get(), kEnum), 7);
  EXPECT_EQ(nano_get_int32(sample.get(), kInt32), -1);
  EXPECT_EQ(nano_get_int32(sample.get(), kUInt32), -1);
  EXPECT_EQ(nano_get_int64(sample.get(), kInt64), INT64_MIN);
  EXPECT_EQ(nano_get_int64(sample.get(), kUInt64), -2);
  EXPECT_EQ(nano_get_double(sample.get(), kDouble), -2.5);
  // int32 and enum are kept zero-extended, so only the bit pattern of the low half counts.
  EXPECT_EQ(*static_cast<std::uint64_t*>(sample->messageInfo()->values[kInt32]), 0xFFFFFFFFu);
  EXPECT_TRUE(log.lines.empty());
}

TEST(APMPBMessageRuntimeTest, StoredPatternsReadAsTheirKindSays) {
  auto sample = Sample::make();
  MessageInfo* info = sample->messageInfo();
  nano_set_uint32(&info->values[kUInt32], 4294967295u);
  EXPECT_EQ(nano_get_int32(sample.get(), kUInt32), -1);
  // A bool is true only when its first byte is exactly 1.
  nano_set_uint64(&info->values[kBool], 2);
  EXPECT_FALSE(nano_get_bool(sample.get(), kBool));
  nano_set_uint64(&info->values[kBool], 0x101);
  EXPECT_TRUE(nano_get_bool(sample.get(), kBool));
  nano_set_bool_field(sample.get(), kBool, false);
  EXPECT_FALSE(nano_get_bool(sample.get(), kBool));
  EXPECT_TRUE(nano_has_field(sample.get(), kBool));
}

TEST(APMPBMessageRuntimeTest, AbsentFieldsReadAsZeroWithoutALog) {
  auto sample = Sample::make();
  LogLines log;
  EXPECT_FALSE(nano_get_bool(sample.get(), kBool));
  EXPECT_EQ(nano_get_int32(sample.get(), kEnum), 0);
  EXPECT_EQ(nano_get_int64(sample.get(), kUInt64), 0);
  EXPECT_EQ(nano_get_double(sample.get(), kDouble), 0.0);
  EXPECT_EQ(nano_get_string(sample.get(), kString), std::nullopt);
  EXPECT_EQ(nano_get_message(sample.get(), kMessage, Child::kClass), nullptr);
  for (int index = 0; index < kSampleFieldCount; ++index)
    EXPECT_EQ(nano_has_field(sample.get(), index), (kSampleTypes[index] & NanoTypeRepeated) != 0)
        << index;
  EXPECT_TRUE(log.lines.empty());
}

TEST(APMPBMessageRuntimeTest, HasAndClearFollowTheSlot) {
  auto sample = Sample::make();
  nano_set_int64(sample.get(), kInt64, 5);
  nano_set_string_field(sample.get(), kString, "x");
  ASSERT_TRUE(nano_has_field(sample.get(), kInt64));
  nano_clear_field(sample.get(), kInt64);
  nano_clear_field(sample.get(), kString);
  EXPECT_FALSE(nano_has_field(sample.get(), kInt64));
  EXPECT_FALSE(nano_has_field(sample.get(), kString));
  EXPECT_EQ(nano_get_int64(sample.get(), kInt64), 0);

  const NanoObjectArray numbers{Value(1), Value(2)};
  nano_set_array(sample.get(), kRepeatedInt64, &numbers);
  nano_clear_field(sample.get(), kRepeatedInt64);
  const auto* array = static_cast<const NanoArray*>(sample->messageInfo()->values[kRepeatedInt64]);
  ASSERT_NE(array, nullptr);  // the record stays, empty
  EXPECT_EQ(array->count, 0u);
  EXPECT_TRUE(nano_has_field(sample.get(), kRepeatedInt64));
}

// Every typed accessor on a field of another kind: one line, zero result, nothing changed.
TEST(APMPBMessageRuntimeTest, WrongKindLogsTheMismatchAndChangesNothing) {
  auto sample = Sample::make();
  nano_set_string_field(sample.get(), kString, "kept");
  nano_set_int32(sample.get(), kInt32, 3);
  struct Case {
    std::function<void(NANOMessageBase*)> call;
    std::string line;
  };
  const std::vector<Case> cases = {
      {[](auto* m) { EXPECT_FALSE(nano_get_bool(m, kInt32)); },
       "<Nano/Failure> Field type isn't a scalar BOOL. Message: Sample, field ID: 2"},
      {[](auto* m) { nano_set_bool_field(m, kString, true); },
       "<Nano/Failure> Field type isn't a scalar BOOL. Message: Sample, field ID: 8"},
      {[](auto* m) { EXPECT_EQ(nano_get_int32(m, kInt64), 0); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: Sample, field ID: 4"},
      {[](auto* m) { nano_set_int32(m, kRepeatedUInt32, 1); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: Sample, field ID: 11"},
      {[](auto* m) { EXPECT_EQ(nano_get_int64(m, kInt32), 0); },
       "<Nano/Failure> Field type isn't a scalar INT64. Message: Sample, field ID: 2"},
      {[](auto* m) { nano_set_int64(m, kString, 9); },
       "<Nano/Failure> Field type isn't a scalar INT64. Message: Sample, field ID: 8"},
      {[](auto* m) { EXPECT_EQ(nano_get_double(m, kFloat), 0.0); },
       "<Nano/Failure> Field type isn't a scalar DOUBLE. Message: Sample, field ID: 6"},
      {[](auto* m) { nano_set_double_field(m, kInt32, 1.0); },
       "<Nano/Failure> Field type isn't a scalar DOUBLE. Message: Sample, field ID: 2"},
      {[](auto* m) { EXPECT_EQ(nano_get_string(m, kBytes), std::nullopt); },
       "<Nano/Failure> Field type isn't a scalar STRING. Message: Sample, field ID: 10"},
      {[](auto* m) { nano_set_string_field(m, kInt32, std::nullopt); },
       "<Nano/Failure> Field type isn't a scalar STRING. Message: Sample, field ID: 2"},
      {[](auto* m) { EXPECT_EQ(nano_get_message(m, kRepeatedMessage, Child::kClass), nullptr); },
       "<Nano/Failure> Field type isn't a scalar MESSAGE. Message: Sample, field ID: 15"},
      {[](auto* m) {
         auto child = Child::make();
         nano_set_message(m, kString, child.get());
       },
       "<Nano/Failure> Field type isn't a scalar MESSAGE. Message: Sample, field ID: 8"},
      {[](auto* m) { EXPECT_EQ(nano_get_array(m, kString, nullptr), std::nullopt); },
       "<Nano/Failure> Field type isn't REPEATED. Message: Sample, field ID: 8"},
      {[](auto* m) {
         const NanoObjectArray values{Value(1)};
         nano_set_array(m, kInt32, &values);
       },
       "<Nano/Failure> Field type isn't REPEATED. Message: Sample, field ID: 2"},
      // Indexes the message does not have fail the same tests instead of reading past it.
      {[](auto* m) { EXPECT_EQ(nano_get_int32(m, kSampleFieldCount), 0); },
       "<Nano/Failure> Field type isn't a scalar INT32. Message: Sample, field ID: 19"},
      {[](auto* m) { nano_set_int64(m, -1, 1); },
       "<Nano/Failure> Field type isn't a scalar INT64. Message: Sample, field ID: -1"},
      {[](auto* m) { EXPECT_EQ(nano_get_array(m, 1000, nullptr), std::nullopt); },
       "<Nano/Failure> Field type isn't REPEATED. Message: Sample, field ID: 1000"},
      {[](auto* m) { EXPECT_FALSE(nano_has_field(m, kSampleFieldCount)); },
       "<Nano/Failure> Unknown field. Message: Sample, field ID: 19"},
      {[](auto* m) { nano_clear_field(m, -3); },
       "<Nano/Failure> Unknown field. Message: Sample, field ID: -3"},
  };
  for (const Case& c : cases) {
    LogLines log;
    c.call(sample.get());
    EXPECT_EQ(log.lines, std::vector<std::string>{c.line});
  }
  EXPECT_EQ(nano_get_string(sample.get(), kString), "kept");
  EXPECT_EQ(nano_get_int32(sample.get(), kInt32), 3);
  EXPECT_FALSE(nano_has_field(sample.get(), kBool));
}

TEST(APMPBMessageRuntimeTest, NilOrEmptyMessageLogsNotInitialized) {
  Uninitialized uninitialized;
  struct Case {
    std::function<void(NANOMessageBase*)> call;
    std::string operation;
  };
  const std::vector<Case> cases = {
      {[](auto* m) { nano_clear_field(m, 0); }, "ClearField"},
      {[](auto* m) { EXPECT_FALSE(nano_get_bool(m, 0)); }, "GetBool"},
      {[](auto* m) { nano_set_bool_field(m, 0, true); }, "SetBool"},
      {[](auto* m) { EXPECT_EQ(nano_get_int32(m, 1), 0); }, "GetInt32"},
      {[](auto* m) { nano_set_int32(m, 1, 1); }, "SetInt32"},
      {[](auto* m) { EXPECT_EQ(nano_get_int64(m, 4), 0); }, "GetInt64"},
      {[](auto* m) { nano_set_int64(m, 4, 1); }, "SetInt64"},
      {[](auto* m) { EXPECT_EQ(nano_get_double(m, 7), 0.0); }, "GetDouble"},
      {[](auto* m) { nano_set_double_field(m, 7, 1.0); }, "SetDouble"},
      {[](auto* m) { EXPECT_EQ(nano_get_string(m, 8), std::nullopt); }, "GetString"},
      {[](auto* m) { nano_set_string_field(m, 8, "a"); }, "SetString"},
      {[](auto* m) { EXPECT_EQ(nano_get_message(m, 9, Child::kClass), nullptr); }, "GetMessage"},
      {[](auto* m) {
         auto child = Child::make();
         nano_set_message(m, 9, child.get());
       },
       "SetMessage"},
      {[](auto* m) { EXPECT_EQ(nano_get_array(m, 11, nullptr), std::nullopt); }, "GetArray"},
      {[](auto* m) { nano_set_array(m, 11, nullptr); }, "SetArray"},
  };
  for (NANOMessageBase* target :
       {static_cast<NANOMessageBase*>(nullptr), static_cast<NANOMessageBase*>(&uninitialized)}) {
    for (const Case& c : cases) {
      LogLines log;
      c.call(target);
      EXPECT_EQ(log.lines, std::vector<std::string>{"ProtocolBuffer message hasn't been "
                                                    "initialized. " +
                                                    c.operation + " can't be performed"});
    }
    LogLines log;
    EXPECT_FALSE(nano_has_field(target, 0));
    EXPECT_EQ(log.lines,
              std::vector<std::string>{"ProtocolBuffer message hasn't been initialized. HasField "
                                       "operation can't be performed. Message name " +
                                       std::string(target ? "Sample" : "(null)")});
  }
}

TEST(APMPBMessageRuntimeTest, StringFieldsKeepBytesAndRefuseInvalidUTF8) {
  auto sample = Sample::make();
  nano_set_string_field(sample.get(), kString, "h\xC3\xA9llo");
  EXPECT_EQ(nano_get_string(sample.get(), kString), "h\xC3\xA9llo");
  const auto* record = static_cast<const NanoBytes*>(sample->messageInfo()->values[kString]);
  EXPECT_EQ(record->size, 6u);

  nano_set_string_field(sample.get(), kString, "");
  EXPECT_TRUE(nano_has_field(sample.get(), kString));
  EXPECT_EQ(nano_get_string(sample.get(), kString), "");
  EXPECT_EQ(static_cast<const NanoBytes*>(sample->messageInfo()->values[kString])->size, 0u);

  nano_set_string_field(sample.get(), kString, std::string_view("a\xFF", 2));
  EXPECT_TRUE(nano_has_field(sample.get(), kString));
  EXPECT_EQ(nano_get_string(sample.get(), kString), std::nullopt);

  nano_set_string_field(sample.get(), kString, std::nullopt);
  EXPECT_FALSE(nano_has_field(sample.get(), kString));
}

TEST(APMPBMessageRuntimeTest, MessageFieldsAreCopiesBothWays) {
  auto sample = Sample::make();
  auto child = Child::make();
  nano_set_int32(child.get(), 0, 41);
  nano_set_message(sample.get(), kMessage, child.get());
  nano_set_int32(child.get(), 0, 99);  // the parent holds its own copy

  auto read = nano_get_message(sample.get(), kMessage, Child::kClass);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(nano_get_int32(read.get(), 0), 41);
  nano_set_int32(read.get(), 0, 7);  // and hands out copies
  EXPECT_EQ(nano_get_int32(nano_get_message(sample.get(), kMessage, Child::kClass).get(), 0), 41);

  // Setting again replaces the old child.
  nano_set_message(sample.get(), kMessage, child.get());
  EXPECT_EQ(nano_get_int32(nano_get_message(sample.get(), kMessage, Child::kClass).get(), 0), 99);

  // The class of another message gives nil silently; a class without the initializer logs.
  LogLines log;
  EXPECT_EQ(nano_get_message(sample.get(), kMessage, Sample::kClass), nullptr);
  EXPECT_TRUE(log.lines.empty());
  const NanoMessageClass noInitializer{"APMPBPlain", nullptr};
  EXPECT_EQ(nano_get_message(sample.get(), kMessage, noInitializer), nullptr);
  EXPECT_EQ(log.lines, std::vector<std::string>{"<ERROR> Provided class doesn't implement "
                                                "initWithMessageInfo: method. Class: APMPBPlain"});

  log.lines.clear();
  nano_set_message(sample.get(), kMessage, nullptr);
  EXPECT_EQ(log.lines, std::vector<std::string>{
                           "<ERROR> Unable to set a nil message. Message: Sample, field ID: 9"});
  EXPECT_TRUE(nano_has_field(sample.get(), kMessage));
}

TEST(APMPBMessageRuntimeTest, ArraysOfEveryKindRoundTrip) {
  auto sample = Sample::make();
  auto child = Child::make();
  nano_set_string_field(child.get(), 1, "c");
  struct Case {
    int index;
    NanoObjectArray in;
    std::vector<Value> out;
  };
  const std::vector<Case> cases = {
      {kRepeatedUInt32,
       {Value(1), Value(-1), Value(3.9)},
       {Value(1u), Value(4294967295u), Value(3u)}},
      {kRepeatedInt64, {Value(INT64_MIN), Value(true)}, {Value(INT64_MIN), Value(1)}},
      {kRepeatedUInt64, {Value(UINT64_MAX)}, {Value(UINT64_MAX)}},
      {kRepeatedBool, {Value(2), Value(0)}, {Value(true), Value(false)}},
      {kRepeatedDouble, {Value(0.5)}, {Value(0.5)}},
      {kRepeatedString, {Value("a"), Value("")}, {Value("a"), Value("")}},
      {kRepeatedBytes,
       {Value(platform::Data::fromString(std::string("\0\1", 2)))},
       {Value(platform::Data::fromString(std::string("\0\1", 2)))}},
  };
  LogLines log;
  for (const Case& c : cases) {
    nano_set_array(sample.get(), c.index, &c.in);
    const auto out = nano_get_array(sample.get(), c.index, nullptr);
    ASSERT_TRUE(out.has_value()) << c.index;
    ASSERT_EQ(out->size(), c.out.size()) << c.index;
    for (std::size_t i = 0; i < c.out.size(); ++i) {
      const auto& value = std::get<Value>((*out)[i]);
      EXPECT_EQ(value.type(), c.out[i].type()) << c.index << " " << i;
      EXPECT_EQ(value, c.out[i]) << c.index << " " << i;
    }
  }
  const NanoObjectArray children{child, child};
  nano_set_array(sample.get(), kRepeatedMessage, &children);
  nano_set_string_field(child.get(), 1, "changed");
  const auto out = nano_get_array(sample.get(), kRepeatedMessage, &Child::kClass);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->size(), 2u);
  for (const NanoObject& element : *out)
    EXPECT_EQ(nano_get_string(std::get<NanoMessagePtr>(element).get(), 1), "c");
  EXPECT_TRUE(log.lines.empty());
}

TEST(APMPBMessageRuntimeTest, ArrayEdgeCases) {
  auto sample = Sample::make();
  LogLines log;
  // Never set: empty, not nil.
  auto empty = nano_get_array(sample.get(), kRepeatedString, nullptr);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  const NanoObjectArray numbers{Value(1), Value(2)};
  nano_set_array(sample.get(), kRepeatedInt64, &numbers);
  nano_set_array(sample.get(), kRepeatedInt64, nullptr);
  EXPECT_TRUE(nano_get_array(sample.get(), kRepeatedInt64, nullptr)->empty());

  // Invalid UTF-8 elements are left out of what is handed back.
  MessageInfo* info = sample->messageInfo();
  const NanoObjectArray strings{Value("ok"), Value("bad"), Value("fine")};
  nano_set_array(sample.get(), kRepeatedString, &strings);
  auto* bad =
      static_cast<NanoBytes*>(static_cast<NanoArray*>(info->values[kRepeatedString])->elements[1]);
  bad->bytes[0] = 0xFF;
  const auto got = nano_get_array(sample.get(), kRepeatedString, nullptr);
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ(std::get<Value>((*got)[1]), Value("fine"));

  // A null element is skipped with a line.
  auto* ints = static_cast<NanoArray*>(info->values[kRepeatedUInt64]);
  ints->elements = static_cast<void**>(std::calloc(1, sizeof(void*)));
  ints->count = 1;
  EXPECT_TRUE(nano_get_array(sample.get(), kRepeatedUInt64, nullptr)->empty());
  EXPECT_EQ(log.lines,
            std::vector<std::string>{"<ERROR> Unable to convert NULL data to an ObjC object"});

  // A repeated record that is gone.
  log.lines.clear();
  nano_init_array(ints);
  std::free(ints);
  info->values[kRepeatedUInt64] = nullptr;
  EXPECT_EQ(nano_get_array(sample.get(), kRepeatedUInt64, nullptr), std::nullopt);
  nano_set_array(sample.get(), kRepeatedUInt64, &numbers);
  EXPECT_EQ(log.lines,
            std::vector<std::string>(2, "<ERROR> Repeated field should have been allocated"));
  info->values[kRepeatedUInt64] = std::calloc(1, sizeof(NanoArray));
}

// The first element of the wrong kind empties the whole field and logs once.
TEST(APMPBMessageRuntimeTest, SetArrayIsAllOrNothing) {
  auto sample = Sample::make();
  auto child = Child::make();
  struct Case {
    int index;
    NanoObjectArray in;
    std::string line;
  };
  const std::vector<Case> cases = {
      {kRepeatedInt64,
       {Value(1), Value("two"), Value(3)},
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSString"},
      {kRepeatedUInt32,
       {Value(1), NanoObject(child)},
       "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: Child"},
      {kRepeatedUInt64,
       {Value(nullptr)},
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSNull"},
      {kRepeatedBool,
       {Value(true), Value(platform::Data())},
       "<ERROR> Invalid object type. Boolean fields expect NSNumber. Type: NSData"},
      {kRepeatedDouble,
       {Value(platform::Array{})},
       "<ERROR> Invalid object type. Double fields expect NSNumber. Type: NSArray"},
      {kRepeatedString,
       {Value("a"), Value(1)},
       "<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber"},
      {kRepeatedBytes,
       {Value("a")},
       "<ERROR> Invalid object type. Bytes fields expect NSData. Type: NSString"},
      {kRepeatedMessage,
       {NanoObject(child), NanoObject(NanoMessagePtr())},
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: (null)"},
      {kRepeatedMessage,
       {NanoObject(child), Value(1)},
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: NSNumber"},
  };
  for (const Case& c : cases) {
    const NanoObjectArray before{c.index == kRepeatedMessage  ? NanoObject(child)
                                 : c.index == kRepeatedString ? NanoObject(Value("x"))
                                 : c.index == kRepeatedBytes
                                     ? NanoObject(Value(platform::Data::fromString("x")))
                                     : NanoObject(Value(5))};
    nano_set_array(sample.get(), c.index, &before);
    LogLines log;
    nano_set_array(sample.get(), c.index, &c.in);
    EXPECT_EQ(log.lines, std::vector<std::string>{c.line});
    const auto* array = static_cast<const NanoArray*>(sample->messageInfo()->values[c.index]);
    EXPECT_EQ(array->count, 0u) << c.line;
    EXPECT_EQ(array->elements, nullptr) << c.line;
  }
}

// --- slot routines ----------------------------------------------------------------------------

TEST(APMPBMessageRuntimeTest, SlotRoutinesPrintTheirLineOnANullDestination) {
  StdoutCapture capture;
  nano_init_array(nullptr);
  nano_free_string(nullptr);
  nano_set_bool(nullptr, true);
  nano_set_uint32(nullptr, 1);
  nano_set_uint64(nullptr, 1);
  nano_set_float(nullptr, 1);
  nano_set_double(nullptr, 1);
  nano_set_string(nullptr, nullptr, 0);
  EXPECT_EQ(capture.take(), "<ERROR> Unable to initialize the array. Array pointer is NULL\n"
                            "<ERROR> Unable to dealloc string field. String struct is NULL\n"
                            "<ERROR> Unable to set bool. Destination pointer is NULL\n"
                            "<ERROR> Unable to set uint32. Destination pointer is NULL\n"
                            "<ERROR> Unable to set uint64. Destination pointer is NULL\n"
                            "<ERROR> Unable to set float. Destination pointer is NULL\n"
                            "<ERROR> Unable to set double. Destination pointer is NULL\n"
                            "<ERROR> Unable to set string. Destination array is NULL\n");
}

TEST(APMPBMessageRuntimeTest, SetStringCopiesWithATerminatorAndReusesTheRecord) {
  void* slot = nullptr;
  nano_set_string(&slot, reinterpret_cast<const std::uint8_t*>("abc"), 3);
  auto* record = static_cast<NanoBytes*>(slot);
  EXPECT_EQ(record->size, 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(record->bytes), "abc");
  nano_set_string(&slot, reinterpret_cast<const std::uint8_t*>("z"), 1);
  EXPECT_EQ(slot, record);
  EXPECT_EQ(record->size, 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(record->bytes), "z");
  nano_free_string(record);
  EXPECT_EQ(record->bytes, nullptr);
  EXPECT_EQ(record->size, 0u);
  std::free(record);
}

TEST(APMPBMessageRuntimeTest, BytesFromValues) {
  NanoBytes record{};
  EXPECT_TRUE(nano_bytes_from_string(nullptr, &record));
  EXPECT_TRUE(nano_bytes_from_data(nullptr, &record));
  EXPECT_EQ(record.bytes, nullptr);
  const Value number(1);
  EXPECT_FALSE(nano_bytes_from_string(&number, &record));
  EXPECT_FALSE(nano_bytes_from_data(&number, &record));
  const Value text("\xC3\xA9t\xC3\xA9");
  ASSERT_TRUE(nano_bytes_from_string(&text, &record));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.bytes), record.size), "\xC3\xA9t\xC3\xA9");
  nano_free_string(&record);
  const Value data(platform::Data::fromString(std::string("\0\xFF", 2)));
  ASSERT_TRUE(nano_bytes_from_data(&data, &record));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.bytes), record.size),
            std::string("\0\xFF", 2));
  nano_free_string(&record);
}

// --- codec callbacks over a small hand-bound nanopb message -----------------------------------

struct WirePb {
  pb_callback_t name;     // 1: string
  pb_callback_t numbers;  // 2: repeated uint64
  pb_callback_t labels;   // 3: repeated string
};
#define WirePb_FIELDLIST(X, a)                                                                     \
  X(a, CALLBACK, OPTIONAL, STRING, name, 1)                                                        \
  X(a, CALLBACK, REPEATED, UINT64, numbers, 2)                                                     \
  X(a, CALLBACK, REPEATED, STRING, labels, 3)
#define WirePb_CALLBACK pb_default_field_callback
#define WirePb_DEFAULT NULL
PB_BIND(WirePb, WirePb, AUTO)

// The decoded form: the name's slot and the two repeated records.
struct Decoded {
  void* name = nullptr;
  NanoArray numbers{};
  NanoArray labels{};
  ~Decoded() {
    if (name != nullptr) {
      nano_free_string(static_cast<NanoBytes*>(name));
      std::free(name);
    }
    for (std::uint32_t i = 0; i < numbers.count; ++i) std::free(numbers.elements[i]);
    for (std::uint32_t i = 0; i < labels.count; ++i) {
      if (labels.elements[i] != nullptr)
        nano_free_string(static_cast<NanoBytes*>(labels.elements[i]));
      std::free(labels.elements[i]);
    }
    nano_init_array(&numbers);
    nano_init_array(&labels);
  }
  std::string nameText() const {
    const auto* record = static_cast<const NanoBytes*>(name);
    return std::string(reinterpret_cast<const char*>(record->bytes), record->size);
  }
};

// Both passes as the per-message decode runs them.
bool decodeTwice(const std::vector<std::uint8_t>& bytes, Decoded& out) {
  WirePb pb{};
  pb.name.funcs.decode = &nano_decode_string;
  pb.name.arg = &out.name;
  pb.numbers.funcs.decode = &nano_decode_repeated_varint;
  pb.numbers.arg = &out.numbers;
  pb.labels.funcs.decode = &nano_decode_repeated_string;
  pb.labels.arg = &out.labels;
  pb_istream_t first = pb_istream_from_buffer(bytes.data(), bytes.size());
  if (!pb_decode(&first, &WirePb_msg, &pb)) return false;
  for (NanoArray* array : {&out.numbers, &out.labels}) {
    if (array->count != 0)
      array->elements = static_cast<void**>(std::calloc(array->count, sizeof(void*)));
    array->filled = 0;
  }
  pb_istream_t second = pb_istream_from_buffer(bytes.data(), bytes.size());
  return pb_decode(&second, &WirePb_msg, &pb);
}

std::vector<std::uint8_t> encodeBack(Decoded& in) {
  WirePb pb{};
  if (in.name != nullptr) {
    pb.name.funcs.encode = &nano_encode_string;
    pb.name.arg = in.name;
  }
  if (in.numbers.count != 0) {
    pb.numbers.funcs.encode = &nano_encode_repeated_varint;
    pb.numbers.arg = &in.numbers;
  }
  if (in.labels.count != 0) {
    pb.labels.funcs.encode = &nano_encode_repeated_string;
    pb.labels.arg = &in.labels;
  }
  std::uint8_t* buffer = nullptr;
  const std::int32_t length = nano_encode_to_buffer(&WirePb_msg, &pb, &buffer);
  EXPECT_GE(length, 0);
  EXPECT_NE(buffer, nullptr);
  std::vector<std::uint8_t> out(buffer, buffer + (length > 0 ? length : 0));
  std::free(buffer);
  return out;
}

std::uint64_t numberAt(const Decoded& d, std::uint32_t i) {
  return *static_cast<const std::uint64_t*>(d.numbers.elements[i]);
}

TEST(APMPBMessageRuntimeTest, DecodesAndEncodesStringsAndRepeatedFields) {
  // name "ab" twice (the first is kept), numbers 1 and 300 packed then 5 unpacked,
  // labels "x" and "" and an unknown field 9.
  const std::vector<std::uint8_t> input = {0x0a, 0x02, 'a',  'b',  0x12, 0x03, 0x01,
                                           0xac, 0x02, 0x10, 0x05, 0x1a, 0x01, 'x',
                                           0x1a, 0x00, 0x0a, 0x01, 'z',  0x48, 0x07};
  Decoded decoded;
  ASSERT_TRUE(decodeTwice(input, decoded));
  EXPECT_EQ(decoded.nameText(), "ab");
  ASSERT_EQ(decoded.numbers.count, 3u);
  EXPECT_EQ(decoded.numbers.filled, 3u);
  EXPECT_EQ(numberAt(decoded, 0), 1u);
  EXPECT_EQ(numberAt(decoded, 1), 300u);
  EXPECT_EQ(numberAt(decoded, 2), 5u);
  ASSERT_EQ(decoded.labels.count, 2u);
  EXPECT_EQ(static_cast<NanoBytes*>(decoded.labels.elements[1])->size, 0u);
  // Output: unpacked numbers, the empty label as tag and length 0, the unknown field gone.
  const std::vector<std::uint8_t> expected = {0x0a, 0x02, 'a',  'b',  0x10, 0x01, 0x10, 0xac,
                                              0x02, 0x10, 0x05, 0x1a, 0x01, 'x',  0x1a, 0x00};
  EXPECT_EQ(encodeBack(decoded), expected);
}

TEST(APMPBMessageRuntimeTest, EmptyMessageEncodesToZeroBytesWithABuffer) {
  Decoded decoded;
  ASSERT_TRUE(decodeTwice({}, decoded));
  EXPECT_EQ(decoded.name, nullptr);
  EXPECT_TRUE(encodeBack(decoded).empty());
}

std::vector<std::uint8_t> nameOfLength(std::size_t length) {
  std::vector<std::uint8_t> bytes = {0x0a};
  for (std::size_t n = length;; n >>= 7) {
    if (n < 0x80) {
      bytes.push_back(static_cast<std::uint8_t>(n));
      break;
    }
    bytes.push_back(static_cast<std::uint8_t>((n & 0x7f) | 0x80));
  }
  bytes.resize(bytes.size() + length, 'q');
  return bytes;
}

TEST(APMPBMessageRuntimeTest, StringsUpTo1048576BytesDecode) {
  Decoded accepted;
  ASSERT_TRUE(decodeTwice(nameOfLength(1048576), accepted));
  EXPECT_EQ(static_cast<NanoBytes*>(accepted.name)->size, 1048576u);

  Decoded refused;
  StdoutCapture capture;
  EXPECT_FALSE(decodeTwice(nameOfLength(1048577), refused));
  EXPECT_EQ(capture.take(), "Unable to process proto stream. Buffer is too big. 1048577 > 1048576");
}

TEST(APMPBMessageRuntimeTest, DecoderCallbacksRefuseWhatTheyCannotFill) {
  const std::vector<std::uint8_t> two = {0x10, 0x01, 0x10, 0x02, 0x1a, 0x01, 'a', 0x1a, 0x01, 'b'};
  // A filling pass that meets more elements than were counted stops instead of writing past.
  Decoded decoded;
  decoded.numbers.count = 1;
  decoded.numbers.elements = static_cast<void**>(std::calloc(1, sizeof(void*)));
  pb_istream_t stream = pb_istream_from_buffer(two.data(), two.size());
  WirePb pb{};
  pb.numbers.funcs.decode = &nano_decode_repeated_varint;
  pb.numbers.arg = &decoded.numbers;
  EXPECT_FALSE(pb_decode(&stream, &WirePb_msg, &pb));
  EXPECT_EQ(decoded.numbers.filled, 1u);

  decoded.labels.count = 1;
  decoded.labels.elements = static_cast<void**>(std::calloc(1, sizeof(void*)));
  pb = WirePb{};
  pb.labels.funcs.decode = &nano_decode_repeated_string;
  pb.labels.arg = &decoded.labels;
  stream = pb_istream_from_buffer(two.data(), two.size());
  EXPECT_FALSE(pb_decode(&stream, &WirePb_msg, &pb));
  EXPECT_EQ(decoded.labels.filled, 1u);

  // A null argument fails every callback.
  pb = WirePb{};
  pb.numbers.funcs.decode = &nano_decode_repeated_varint;
  stream = pb_istream_from_buffer(two.data(), two.size());
  EXPECT_FALSE(pb_decode(&stream, &WirePb_msg, &pb));

  // A string record that lost its bytes.
  Decoded broken;
  broken.name = std::calloc(1, sizeof(NanoBytes));
  const std::vector<std::uint8_t> named = {0x0a, 0x01, 'n'};
  StdoutCapture capture;
  EXPECT_FALSE(decodeTwice(named, broken));
  EXPECT_EQ(capture.take(), "<ERROR> String decoder failed: string data is NULL\n");
}

TEST(APMPBMessageRuntimeTest, EncodersRefuseMissingRecords) {
  WirePb pb{};
  pb.name.funcs.encode = &nano_encode_string;  // no record
  std::uint8_t* buffer = reinterpret_cast<std::uint8_t*>(&pb);
  EXPECT_EQ(nano_encode_to_buffer(&WirePb_msg, &pb, &buffer), -1);
  EXPECT_EQ(buffer, nullptr);

  NanoArray noElements{0, 2, nullptr};
  pb = WirePb{};
  pb.numbers.funcs.encode = &nano_encode_repeated_varint;
  pb.numbers.arg = &noElements;
  EXPECT_EQ(nano_encode_to_buffer(&WirePb_msg, &pb, &buffer), -1);
  pb = WirePb{};
  pb.labels.funcs.encode = &nano_encode_repeated_string;
  pb.labels.arg = &noElements;
  EXPECT_EQ(nano_encode_to_buffer(&WirePb_msg, &pb, &buffer), -1);
  EXPECT_EQ(nano_encode_to_buffer(&WirePb_msg, &pb, nullptr), -1);
}

}  // namespace
