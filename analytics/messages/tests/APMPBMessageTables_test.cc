// The tables of the 39 analytics wire messages: each checked against its nanopb descriptor,
// each message taken through the engine and back, and the wrappers over them.

#include "analytics/messages/APMPBMessageTables.h"

#include "analytics/messages/APMPBMessages.h"

#include <pb_common.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/messages/Protos/audience.pb.h"
#include "analytics/messages/Protos/audience_result.pb.h"
#include "analytics/messages/Protos/consent_config.pb.h"
#include "analytics/messages/Protos/event.pb.h"
#include "analytics/messages/Protos/experiment.pb.h"
#include "analytics/messages/Protos/measurement_bundle.pb.h"
#include "analytics/messages/Protos/measurement_config.pb.h"
#include "analytics/messages/Protos/program.pb.h"
#include "platform/value.h"

namespace {

using platform::Value;

struct Entry {
  const char* name;
  const NanoMessageTable* table;
  const pb_msgdesc_t* descriptor;
  std::size_t structSize;
};

#define ENTRY(M)                                                                                   \
  { #M, &nano_##M##_table, &nano_##M##_msg, sizeof(nano_##M) }

const std::vector<Entry>& entries() {
  static const std::vector<Entry> all = {
      ENTRY(AppProperty),
      ENTRY(Audience),
      ENTRY(AudienceLeafFilterResult),
      ENTRY(ClientProperty),
      ENTRY(ConsentConfig),
      ENTRY(ConsentDefaultEntry),
      ENTRY(ConsentDelegationEntry),
      ENTRY(CorePlatformServiceEntry),
      ENTRY(CustomProperty),
      ENTRY(DataControl),
      ENTRY(DynamicFilterResultTimestamp),
      ENTRY(Event),
      ENTRY(EventConfig),
      ENTRY(EventFilter),
      ENTRY(EventParam),
      ENTRY(Experiment),
      ENTRY(ExperimentRequest),
      ENTRY(ExperimentResponse),
      ENTRY(Filter),
      ENTRY(Flag),
      ENTRY(MeasurementBatch),
      ENTRY(MeasurementBundle),
      ENTRY(MeasurementConfig),
      ENTRY(NumberFilter),
      ENTRY(OgtActivities),
      ENTRY(OgtActivity),
      ENTRY(Program),
      ENTRY(PropertyFilter),
      ENTRY(PsmSetting),
      ENTRY(Region),
      ENTRY(ResultData),
      ENTRY(RuntimeEntity),
      ENTRY(SdkResponse),
      ENTRY(SequenceFilterResultTimestamp),
      ENTRY(Setting),
      ENTRY(Snapshot),
      ENTRY(SrtmSetting),
      ENTRY(StringFilter),
      ENTRY(UserAttribute),
  };
  return all;
}

// The one descriptor type byte and member size each type word stands for.
struct Expected {
  pb_type_t type;
  std::size_t dataSize;  // 0: an inline message, whose size is its own
};

const std::map<std::int32_t, Expected>& expectedByTypeWord() {
  constexpr std::size_t callback = sizeof(pb_callback_t);
  static const std::map<std::int32_t, Expected> map = {
      {0x22, {0x10, sizeof(bool)}}, {0x42, {0x12, 4}},         {0x82, {0x11, 4}},
      {0x202, {0x11, 8}},           {0x802, {0x14, 4}},        {0x1002, {0x15, 8}},
      {0x2002, {0x57, callback}},   {0x4002, {0x18, 0}},       {0x108, {0x62, callback}},
      {0x208, {0x61, callback}},    {0x408, {0x62, callback}}, {0x2008, {0x67, callback}},
      {0x4008, {0x68, callback}},
  };
  return map;
}

std::vector<std::uint64_t> zeroedStruct(std::size_t size) {
  return std::vector<std::uint64_t>(size / sizeof(std::uint64_t) + 1, 0);
}

TEST(APMPBMessageTablesTest, EveryTableMatchesItsDescriptor) {
  std::set<std::string> names;
  for (const Entry& entry : entries()) {
    SCOPED_TRACE(entry.name);
    const NanoMessageTable& table = *entry.table;
    EXPECT_TRUE(names.insert(entry.name).second);
    EXPECT_STREQ(table.name, entry.name);
    EXPECT_EQ(table.descriptor, entry.descriptor);
    EXPECT_EQ(table.structSize, entry.structSize);
    ASSERT_EQ(static_cast<std::size_t>(table.fieldCount), entry.descriptor->field_count);

    auto storage = zeroedStruct(entry.structSize);
    std::set<pb_size_t> tags;
    std::set<std::string> fieldNames;
    for (std::int32_t index = 0; index < table.fieldCount; ++index) {
      SCOPED_TRACE("index " + std::to_string(index));
      EXPECT_TRUE(tags.insert(table.tags[index]).second);
      ASSERT_NE(table.fieldNames[index], nullptr);
      EXPECT_TRUE(fieldNames.insert(table.fieldNames[index]).second);
      const auto expected = expectedByTypeWord().find(table.types[index]);
      ASSERT_NE(expected, expectedByTypeWord().end()) << std::hex << table.types[index];

      pb_field_iter_t iter;
      ASSERT_TRUE(pb_field_iter_begin(&iter, entry.descriptor, storage.data()));
      ASSERT_TRUE(pb_field_iter_find(&iter, table.tags[index]));
      EXPECT_EQ(iter.type, expected->second.type);
      if (expected->second.dataSize != 0) {
        EXPECT_EQ(iter.data_size, expected->second.dataSize);
      }
      if ((table.types[index] & NanoTypeMessage) != 0) {
        ASSERT_NE(table.children[index], nullptr);
        EXPECT_EQ(table.children[index]->descriptor, iter.submsg_desc);
      } else {
        EXPECT_EQ(table.children[index], nullptr);
        EXPECT_EQ(iter.submsg_desc, nullptr);
      }
    }
  }
  EXPECT_EQ(names.size(), 39u);
}

// Indexes follow the declaration, not the tag: the bundle is the message where they part.
TEST(APMPBMessageTablesTest, BundleIndexesMapToTheirTags) {
  const std::vector<pb_size_t> tags = {1,  2,  3,  4,  5,  6,  26, 7,  8,  9,  10, 11, 12,
                                       13, 14, 15, 16, 17, 18, 19, 27, 20, 21, 22, 23, 24,
                                       25, 28, 29, 30, 31, 32, 33, 34, 35, 39, 41, 45, 47,
                                       50, 52, 53, 55, 63, 64, 65, 67, 71, 72, 73, 75, 77};
  const NanoMessageTable& bundle = nano_MeasurementBundle_table;
  ASSERT_EQ(static_cast<std::size_t>(bundle.fieldCount), tags.size());
  EXPECT_EQ(std::vector<pb_size_t>(bundle.tags, bundle.tags + bundle.fieldCount), tags);
  EXPECT_STREQ(bundle.fieldNames[6], "previous_bundle_start_timestamp_millis");
  EXPECT_STREQ(bundle.fieldNames[37], "experiment_ids");

  const NanoMessageTable& config = nano_MeasurementConfig_table;
  const std::vector<pb_size_t> configTags = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 17, 18};
  EXPECT_EQ(std::vector<pb_size_t>(config.tags, config.tags + config.fieldCount), configTags);
}

// Filling a MessageInfo directly: every other field (by `parity`), nested messages two levels
// deep, two elements per repeated field, values at the edges of their kinds.
void fillValue(const NanoMessageTable& table, std::int32_t index, void** slot, int depth,
               std::uint32_t seed);

void fill(const NanoMessageTable& table, MessageInfo* info, int parity, int depth) {
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    if ((i + parity) % 2 != 0) continue;
    const bool isMessage = (table.types[i] & NanoTypeMessage) != 0;
    if (isMessage && depth >= 2) continue;
    if ((table.types[i] & NanoTypeRepeated) != 0) {
      auto* array = static_cast<NanoArray*>(info->values[i]);
      array->count = 2;
      array->elements = static_cast<void**>(std::calloc(2, sizeof(void*)));
      for (std::uint32_t e = 0; e < 2; ++e)
        fillValue(table, i, &array->elements[e], depth, e + static_cast<std::uint32_t>(i));
    } else {
      fillValue(table, i, &info->values[i], depth, static_cast<std::uint32_t>(i));
    }
  }
}

void fillValue(const NanoMessageTable& table, std::int32_t index, void** slot, int depth,
               std::uint32_t seed) {
  const std::int32_t word = table.types[index];
  if ((word & NanoTypeBool) != 0) {
    nano_set_bool(slot, seed % 2 == 0);
  } else if ((word & NanoTypeEnum) != 0) {
    nano_set_uint32(slot, 7 + seed);
  } else if ((word & NanoTypeInt32) != 0) {
    nano_set_uint32(slot, static_cast<std::uint32_t>(-5 - static_cast<std::int32_t>(seed)));
  } else if ((word & NanoTypeUInt32) != 0) {
    nano_set_uint32(slot, 4294967295u - seed);
  } else if ((word & NanoTypeInt64) != 0) {
    nano_set_uint64(slot, static_cast<std::uint64_t>(INT64_MIN) + seed);
  } else if ((word & NanoTypeUInt64) != 0) {
    nano_set_uint64(slot, UINT64_MAX - seed);
  } else if ((word & NanoTypeFloat) != 0) {
    nano_set_float(slot, 1.5f + static_cast<float>(seed));
  } else if ((word & NanoTypeDouble) != 0) {
    nano_set_double(slot, -2.25 - seed);
  } else if ((word & NanoTypeString) != 0) {
    // Every third string is empty: it must still travel as a present field.
    const std::string text = seed % 3 == 0 ? "" : table.fieldNames[index] + std::to_string(seed);
    nano_set_string(slot, reinterpret_cast<const std::uint8_t*>(text.data()),
                    static_cast<std::uint32_t>(text.size()));
  } else if ((word & NanoTypeMessage) != 0) {
    const NanoMessageTable& child = *table.children[index];
    auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    ASSERT_TRUE(nano_message_init(child, info));
    fill(child, info, static_cast<int>(seed % 2), depth + 1);
    *slot = info;
  } else {
    FAIL() << "unexpected type word " << word;
  }
}

void expectSameValue(const NanoMessageTable& table, std::int32_t index, const void* a,
                     const void* b);

void expectSameMessage(const NanoMessageTable& table, const MessageInfo* a, const MessageInfo* b) {
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(a->name, b->name);
  ASSERT_EQ(a->fieldCount, table.fieldCount);
  ASSERT_EQ(b->fieldCount, table.fieldCount);
  for (std::int32_t i = 0; i < table.fieldCount; ++i) {
    SCOPED_TRACE(std::string(table.name) + "." + table.fieldNames[i]);
    if ((table.types[i] & NanoTypeRepeated) != 0) {
      const auto* x = static_cast<const NanoArray*>(a->values[i]);
      const auto* y = static_cast<const NanoArray*>(b->values[i]);
      ASSERT_NE(x, nullptr);
      ASSERT_NE(y, nullptr);
      ASSERT_EQ(x->count, y->count);
      for (std::uint32_t e = 0; e < x->count; ++e)
        expectSameValue(table, i, x->elements[e], y->elements[e]);
      continue;
    }
    ASSERT_EQ(a->values[i] != nullptr, b->values[i] != nullptr);
    if (a->values[i] != nullptr) expectSameValue(table, i, a->values[i], b->values[i]);
  }
}

void expectSameValue(const NanoMessageTable& table, std::int32_t index, const void* a,
                     const void* b) {
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  const std::int32_t word = table.types[index];
  if ((word & (NanoTypeString | NanoTypeBytes)) != 0) {
    const auto* x = static_cast<const NanoBytes*>(a);
    const auto* y = static_cast<const NanoBytes*>(b);
    ASSERT_EQ(x->size, y->size);
    if (x->size != 0) {
      EXPECT_EQ(std::memcmp(x->bytes, y->bytes, x->size), 0);
    }
  } else if ((word & NanoTypeMessage) != 0) {
    expectSameMessage(*table.children[index], static_cast<const MessageInfo*>(a),
                      static_cast<const MessageInfo*>(b));
  } else {
    // Floats fill 4 bytes of their block; every other scalar kind all 8.
    const std::size_t size = (word & NanoTypeFloat) != 0 ? sizeof(float) : sizeof(std::uint64_t);
    EXPECT_EQ(std::memcmp(a, b, size), 0);
  }
}

std::vector<std::uint8_t> encode(const NanoMessageTable& table, const MessageInfo* info) {
  std::uint8_t* buffer = nullptr;
  const std::int32_t length = nano_message_encode(table, info, &buffer);
  EXPECT_GE(length, 0);
  std::vector<std::uint8_t> bytes;
  if (length > 0 && buffer != nullptr) bytes.assign(buffer, buffer + length);
  std::free(buffer);
  return bytes;
}

TEST(APMPBMessageTablesTest, EveryMessageRoundTripsWithUnsetFieldsStayingUnset) {
  for (const Entry& entry : entries()) {
    for (int parity = 0; parity < 2; ++parity) {
      SCOPED_TRACE(std::string(entry.name) + " parity " + std::to_string(parity));
      const NanoMessageTable& table = *entry.table;
      auto* original = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
      ASSERT_TRUE(nano_message_init(table, original));
      fill(table, original, parity, 0);
      const auto bytes = encode(table, original);
      if (table.fieldCount > 1) {
        EXPECT_FALSE(bytes.empty());
      }

      auto* decoded = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
      ASSERT_TRUE(nano_message_init(table, decoded));
      EXPECT_TRUE(nano_message_decode(table, bytes.data(), bytes.size(), decoded));
      expectSameMessage(table, original, decoded);
      EXPECT_EQ(encode(table, decoded), bytes);

      MessageInfo* copy = nullptr;
      EXPECT_TRUE(nano_message_copy(table, &copy, original));
      expectSameMessage(table, original, copy);

      nano_message_free(table, copy);
      nano_message_free(table, decoded);
      nano_message_free(table, original);
    }
  }
}

template <typename M> std::shared_ptr<M> decode(const std::vector<std::uint8_t>& bytes) {
  const platform::Data data(bytes.data(), bytes.size());
  return M::initWithBuffer(&data);
}

std::vector<std::uint8_t> bytesOf(const NANOMessageBase& message) {
  const auto data = message.protoBuffer();
  EXPECT_TRUE(data.has_value());
  return data ? data->vector() : std::vector<std::uint8_t>{};
}

TEST(APMPBMessageTablesTest, BundleIndexSixIsWrittenAsTag26) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  ASSERT_NE(bundle, nullptr);
  nano_set_int64(bundle.get(), 6, 5);
  EXPECT_EQ(bytesOf(*bundle), (std::vector<std::uint8_t>{0xd0, 0x01, 0x05}));
  nano_set_int64(bundle.get(), 7, 1);
  EXPECT_EQ(bytesOf(*bundle), (std::vector<std::uint8_t>{0x38, 0x01, 0xd0, 0x01, 0x05}));

  const auto decoded = decode<APMPBMeasurementBundle>({0xd0, 0x01, 0x05});
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(nano_get_int64(decoded.get(), 6), 5);
  EXPECT_FALSE(nano_has_field(decoded.get(), 7));
  EXPECT_FALSE(nano_has_field(decoded.get(), 5));
}

TEST(APMPBMessageTablesTest, UnknownTagsAreDroppedAndPackedInputIsAccepted) {
  // filter_id 3, unknown varint tag 15, eval_timestamps packed [1, 2, 127], unknown bytes tag 20.
  const std::vector<std::uint8_t> input = {0x08, 0x03, 0x78, 0x01, 0x12, 0x03, 0x01,
                                           0x02, 0x7f, 0xa2, 0x01, 0x02, 'a',  'b'};
  const auto message = decode<APMPBSequenceFilterResultTimestamp>(input);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(nano_get_int32(message.get(), 0), 3);
  const auto stamps = nano_get_array(message.get(), 1, nullptr);
  ASSERT_TRUE(stamps.has_value());
  ASSERT_EQ(stamps->size(), 3u);
  EXPECT_EQ(std::get<Value>((*stamps)[2]), Value(127));
  EXPECT_EQ(bytesOf(*message),
            (std::vector<std::uint8_t>{0x08, 0x03, 0x10, 0x01, 0x10, 0x02, 0x10, 0x7f}));
}

// Parameters nested through their own repeated field, `levels` deep.
std::vector<std::uint8_t> nestedParam(int levels) {
  std::vector<std::uint8_t> bytes = {0x0a, 0x01, 'p'};
  for (int i = 0; i < levels; ++i) {
    std::vector<std::uint8_t> outer = {0x32};
    std::size_t length = bytes.size();
    do {
      outer.push_back(static_cast<std::uint8_t>((length & 0x7f) | (length > 0x7f ? 0x80 : 0)));
      length >>= 7;
    } while (length != 0);
    outer.insert(outer.end(), bytes.begin(), bytes.end());
    bytes = std::move(outer);
  }
  return bytes;
}

TEST(APMPBMessageTablesTest, DeeplyNestedParametersAreRefusedNotRecursedInto) {
  const auto shallow = nestedParam(5);
  const auto decoded = decode<APMPBEventParam>(shallow);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(bytesOf(*decoded), shallow);

  testing::internal::CaptureStdout();
  EXPECT_EQ(decode<APMPBEventParam>(nestedParam(3000)), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("EventParam decoder failed"),
            std::string::npos);
}

TEST(APMPBMessageTablesTest, WrappersCarryTheirMessageNames) {
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_STREQ(event->className(), "APMPBEvent");
  EXPECT_STREQ(event->messageID(), "Event");
  EXPECT_STREQ(APMPBSequenceFilterResultTimestamp::messageClass().name,
               "APMPBSequenceFilterResultTimestamp");

  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  EXPECT_EQ(APMPBEvent::initWithMessageInfo(param->messageInfo()), nullptr);

  // A parameter handed to an event comes back as the wrapper class the caller names.
  nano_set_string_field(param.get(), 0, "p");
  const NanoObjectArray params{param};
  nano_set_array(event.get(), 0, &params);
  const auto decoded = decode<APMPBEvent>(bytesOf(*event));
  ASSERT_NE(decoded, nullptr);
  const auto read = nano_get_array(decoded.get(), 0, &APMPBEventParam::messageClass());
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), 1u);
  const auto element = std::get<NanoMessagePtr>((*read)[0]);
  ASSERT_NE(element, nullptr);
  EXPECT_STREQ(element->className(), "APMPBEventParam");
  EXPECT_EQ(nano_get_string(element.get(), 0), "p");
}

}  // namespace
