// Cross-checks the generated nanopb descriptors of every analytics wire message against the
// catalogue written out by hand: field count, tags, kinds, nested message types and declared
// defaults, plus the encoding order by tag.

#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstddef>
#include <cstdint>
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

namespace {

enum class Kind {
  Bool,
  Enum,
  Int32,
  Int64,
  Float,
  Double,
  String,
  Message,
  RepeatedUInt32,
  RepeatedInt64,
  RepeatedUInt64,
  RepeatedString,
  RepeatedMessage,
};

// The descriptor type byte each kind must have, and the size of its struct member (0 where
// the member is a whole inline message).
struct KindTraits {
  pb_type_t type;
  std::size_t dataSize;
};

KindTraits traitsOf(Kind kind) {
  constexpr std::size_t callback = sizeof(pb_callback_t);
  switch (kind) {
  case Kind::Bool:
    return {0x10, sizeof(bool)};
  case Kind::Enum:
    return {0x12, 4};
  case Kind::Int32:
    return {0x11, 4};
  case Kind::Int64:
    return {0x11, 8};
  case Kind::Float:
    return {0x14, 4};
  case Kind::Double:
    return {0x15, 8};
  case Kind::String:
    return {0x57, callback};
  case Kind::Message:
    return {0x18, 0};
  case Kind::RepeatedUInt32:
    return {0x62, callback};
  case Kind::RepeatedInt64:
    return {0x61, callback};
  case Kind::RepeatedUInt64:
    return {0x62, callback};
  case Kind::RepeatedString:
    return {0x67, callback};
  case Kind::RepeatedMessage:
    return {0x68, callback};
  }
  return {0xff, 0};
}

// One field, in declaration (index) order.
struct Field {
  std::uint32_t tag;
  Kind kind;
  const pb_msgdesc_t* child = nullptr;
};

struct MessageEntry {
  const char* name;
  const pb_msgdesc_t* descriptor;
  std::size_t structSize;
  std::vector<Field> fields;
};

#define MESSAGE(name) #name, &nano_##name##_msg, sizeof(nano_##name)

const std::vector<MessageEntry>& catalogue() {
  using enum Kind;
  static const std::vector<MessageEntry> messages = {
      {MESSAGE(MeasurementBatch),
       {{1, RepeatedMessage, &nano_MeasurementBundle_msg}, {7, String}, {8, String}, {9, Enum}}},
      {MESSAGE(MeasurementBundle),
       {{1, Int32},
        {2, RepeatedMessage, &nano_Event_msg},
        {3, RepeatedMessage, &nano_UserAttribute_msg},
        {4, Int64},
        {5, Int64},
        {6, Int64},
        {26, Int64},
        {7, Int64},
        {8, String},
        {9, String},
        {10, String},
        {11, String},
        {12, Int32},
        {13, String},
        {14, String},
        {15, Int64},
        {16, String},
        {17, Int64},
        {18, Int64},
        {19, String},
        {27, String},
        {20, Bool},
        {21, String},
        {22, Int64},
        {23, Int32},
        {24, String},
        {25, String},
        {28, Bool},
        {29, RepeatedMessage, &nano_AudienceLeafFilterResult_msg},
        {30, String},
        {31, Int32},
        {32, Int32},
        {33, Int32},
        {34, String},
        {35, Int64},
        {39, Int32},
        {41, String},
        {45, RepeatedUInt32},
        {47, Int64},
        {50, String},
        {52, String},
        {53, Enum},
        {55, Bool},
        {63, String},
        {64, RepeatedString},
        {65, String},
        {67, Int64},
        {71, String},
        {72, Bool},
        {73, String},
        {75, String},
        {77, Int32}}},
      {MESSAGE(Event),
       {{1, RepeatedMessage, &nano_EventParam_msg},
        {2, String},
        {3, Int64},
        {4, Int64},
        {5, Int32}}},
      {MESSAGE(EventParam),
       {{1, String},
        {2, String},
        {3, Int64},
        {4, Float},
        {5, Double},
        {6, RepeatedMessage, &nano_EventParam_msg}}},
      {MESSAGE(UserAttribute),
       {{1, Int64}, {2, String}, {3, String}, {4, Int64}, {5, Float}, {6, Double}}},
      {MESSAGE(EventConfig), {{1, String}, {2, Bool}, {3, Bool}, {4, Int32}}},
      {MESSAGE(AudienceLeafFilterResult),
       {{1, Int32},
        {2, Message, &nano_ResultData_msg},
        {3, Message, &nano_ResultData_msg},
        {4, Bool}}},
      {MESSAGE(ResultData),
       {{1, RepeatedUInt64},
        {2, RepeatedUInt64},
        {3, RepeatedMessage, &nano_DynamicFilterResultTimestamp_msg},
        {4, RepeatedMessage, &nano_SequenceFilterResultTimestamp_msg}}},
      {MESSAGE(DynamicFilterResultTimestamp), {{1, Int32}, {2, Int64}}},
      {MESSAGE(SequenceFilterResultTimestamp), {{1, Int32}, {2, RepeatedInt64}}},
      {MESSAGE(Audience),
       {{1, Int32},
        {2, RepeatedMessage, &nano_PropertyFilter_msg},
        {3, RepeatedMessage, &nano_EventFilter_msg},
        {4, Bool},
        {5, Bool}}},
      {MESSAGE(EventFilter),
       {{1, Int32},
        {2, String},
        {3, RepeatedMessage, &nano_Filter_msg},
        {4, Bool},
        {5, Message, &nano_NumberFilter_msg},
        {6, Bool},
        {7, Bool},
        {8, Bool}}},
      {MESSAGE(PropertyFilter),
       {{1, Int32}, {2, String}, {3, Message, &nano_Filter_msg}, {4, Bool}, {5, Bool}, {6, Bool}}},
      {MESSAGE(Filter),
       {{1, Message, &nano_StringFilter_msg},
        {2, Message, &nano_NumberFilter_msg},
        {3, Bool},
        {4, String}}},
      {MESSAGE(StringFilter), {{1, Enum}, {2, String}, {3, Bool}, {4, RepeatedString}}},
      {MESSAGE(NumberFilter), {{1, Enum}, {2, Bool}, {3, String}, {4, String}, {5, String}}},
      {MESSAGE(MeasurementConfig),
       {{1, Int64},
        {2, String},
        {3, Int32},
        {4, RepeatedMessage, &nano_Setting_msg},
        {5, RepeatedMessage, &nano_EventConfig_msg},
        {6, RepeatedMessage, &nano_Audience_msg},
        {7, String},
        {8, Bool},
        {9, RepeatedMessage, &nano_Program_msg},
        {10, RepeatedMessage, &nano_DataControl_msg},
        {11, String},
        {14, String},
        {15, Message, &nano_ConsentConfig_msg},
        {16, Message, &nano_PsmSetting_msg},
        {17, Message, &nano_SrtmSetting_msg},
        {18, Message, &nano_Region_msg}}},
      {MESSAGE(Setting), {{1, String}, {2, String}}},
      {MESSAGE(PsmSetting), {{1, Int32}, {2, Int32}, {3, Int32}}},
      {MESSAGE(DataControl), {{1, String}, {2, RepeatedMessage, &nano_Region_msg}, {3, Bool}}},
      {MESSAGE(Region), {{1, String}, {2, String}}},
      {MESSAGE(SrtmSetting), {{1, String}, {2, String}, {3, String}, {4, Int32}}},
      {MESSAGE(ConsentConfig),
       {{1, RepeatedMessage, &nano_ConsentDefaultEntry_msg},
        {2, RepeatedMessage, &nano_ConsentDelegationEntry_msg},
        {3, RepeatedMessage, &nano_CorePlatformServiceEntry_msg},
        {4, Bool},
        {5, RepeatedMessage, &nano_ConsentDefaultEntry_msg}}},
      {MESSAGE(ConsentDefaultEntry), {{1, Enum}, {2, Enum}}},
      {MESSAGE(ConsentDelegationEntry), {{1, Enum}, {2, Enum}}},
      {MESSAGE(CorePlatformServiceEntry), {{1, String}, {2, String}}},
      {MESSAGE(ExperimentRequest),
       {{1, Message, &nano_AppProperty_msg}, {2, RepeatedMessage, &nano_ClientProperty_msg}}},
      {MESSAGE(AppProperty),
       {{1, String}, {2, String}, {3, String}, {4, String}, {5, String}, {6, Bool}, {7, Int64}}},
      {MESSAGE(ClientProperty),
       {{1, String},
        {2, String},
        {3, Int64},
        {4, String},
        {5, RepeatedMessage, &nano_CustomProperty_msg}}},
      {MESSAGE(CustomProperty), {{1, String}, {2, String}}},
      {MESSAGE(ExperimentResponse),
       {{1, RepeatedMessage, &nano_Snapshot_msg}, {2, RepeatedMessage, &nano_SdkResponse_msg}}},
      {MESSAGE(SdkResponse), {{1, String}, {2, Enum}, {3, Message, &nano_Snapshot_msg}}},
      {MESSAGE(Snapshot), {{1, String}, {2, RepeatedMessage, &nano_Experiment_msg}}},
      {MESSAGE(Experiment), {{1, Int32}, {2, RepeatedMessage, &nano_Flag_msg}}},
      {MESSAGE(Flag), {{1, String}, {2, Int64}, {3, String}, {4, Double}, {5, Bool}}},
      {MESSAGE(Program),
       {{1, RepeatedMessage, &nano_RuntimeEntity_msg}, {2, Message, &nano_OgtActivities_msg}}},
      {MESSAGE(OgtActivities), {{1, RepeatedMessage, &nano_OgtActivity_msg}}},
      {MESSAGE(OgtActivity), {{1, String}, {2, RepeatedMessage, &nano_RuntimeEntity_msg}}},
      {MESSAGE(RuntimeEntity),
       {{1, Enum},
        {2, RepeatedMessage, &nano_RuntimeEntity_msg},
        {3, String},
        {4, String},
        {5, Bool},
        {6, Double}}},
  };
  return messages;
}

// Zeroed storage for one nanopb struct, aligned for its widest members (pointers, 64-bit
// integers, doubles). Not max_align_t: filling with it leaves the padding of its long double
// uninitialised.
std::vector<std::uint64_t> zeroedStruct(std::size_t size) {
  static_assert(alignof(nano_MeasurementBundle) <= alignof(std::uint64_t));
  return std::vector<std::uint64_t>(size / sizeof(std::uint64_t) + 1, 0);
}

TEST(APMPBCatalogueTest, CoversEveryMessageOnce) {
  std::set<std::string> names;
  for (const MessageEntry& message : catalogue()) {
    EXPECT_TRUE(names.insert(message.name).second) << message.name;
  }
  EXPECT_EQ(names.size(), 39u);
}

TEST(APMPBCatalogueTest, DescriptorsMatchTheCatalogue) {
  for (const MessageEntry& message : catalogue()) {
    SCOPED_TRACE(message.name);
    ASSERT_EQ(message.descriptor->field_count, message.fields.size());
    EXPECT_EQ(message.descriptor->required_field_count, 0u);

    auto storage = zeroedStruct(message.structSize);
    std::set<std::uint32_t> tags;
    for (std::size_t index = 0; index < message.fields.size(); ++index) {
      const Field& field = message.fields[index];
      SCOPED_TRACE("index " + std::to_string(index) + ", tag " + std::to_string(field.tag));
      ASSERT_TRUE(tags.insert(field.tag).second);
      pb_field_iter_t iter;
      ASSERT_TRUE(pb_field_iter_begin(&iter, message.descriptor, storage.data()));
      ASSERT_TRUE(pb_field_iter_find(&iter, field.tag));
      const KindTraits expected = traitsOf(field.kind);
      EXPECT_EQ(iter.type, expected.type);
      if (expected.dataSize != 0) {
        EXPECT_EQ(iter.data_size, expected.dataSize);
      }
      EXPECT_EQ(iter.submsg_desc, field.child);
      if (PB_ATYPE(iter.type) == PB_ATYPE_STATIC) {
        // An optional static member carries its own presence flag.
        EXPECT_NE(iter.pSize, iter.pData);
      }
    }
  }
}

// nanopb writes fields in descriptor order, so that order must be ascending by tag whatever
// the declaration order (a bundle's index 6, tag 26, goes after tag 25).
TEST(APMPBCatalogueTest, DescriptorsListFieldsByAscendingTag) {
  for (const MessageEntry& message : catalogue()) {
    SCOPED_TRACE(message.name);
    auto storage = zeroedStruct(message.structSize);
    pb_field_iter_t iter;
    ASSERT_TRUE(pb_field_iter_begin(&iter, message.descriptor, storage.data()));
    std::uint32_t previous = 0;
    std::size_t count = 0;
    do {
      EXPECT_GT(iter.tag, previous);
      previous = iter.tag;
      ++count;
    } while (pb_field_iter_next(&iter));
    EXPECT_EQ(count, message.fields.size());
  }
}

TEST(APMPBCatalogueTest, EmptyMessagesEncodeToNothing) {
  for (const MessageEntry& message : catalogue()) {
    SCOPED_TRACE(message.name);
    auto storage = zeroedStruct(message.structSize);
    std::size_t size = 1;
    ASSERT_TRUE(pb_get_encoded_size(&size, message.descriptor, storage.data()));
    EXPECT_EQ(size, 0u);
  }
}

TEST(APMPBCatalogueTest, OnlyTheDeclaredDefaultsAreInTheDescriptors) {
  const std::set<std::string> withDefaults = {"MeasurementBatch", "MeasurementConfig",
                                              "PsmSetting"};
  for (const MessageEntry& message : catalogue()) {
    SCOPED_TRACE(message.name);
    EXPECT_EQ(message.descriptor->default_value != nullptr, withDefaults.contains(message.name));
  }
}

// Decoding writes the declared defaults into the struct but leaves their presence flags clear.
TEST(APMPBCatalogueTest, DeclaredDefaultsDoNotMakeFieldsPresent) {
  pb_istream_t empty = pb_istream_from_buffer(nullptr, 0);
  nano_PsmSetting psm = nano_PsmSetting_init_zero;
  ASSERT_TRUE(pb_decode(&empty, nano_PsmSetting_fields, &psm));
  EXPECT_EQ(psm.prefix_email, 14);
  EXPECT_EQ(psm.prefix_phone, 11);
  EXPECT_EQ(psm.signin_delay, 60);
  EXPECT_FALSE(psm.has_prefix_email || psm.has_prefix_phone || psm.has_signin_delay);

  nano_MeasurementConfig config = nano_MeasurementConfig_init_zero;
  config.field_8 = true;
  empty = pb_istream_from_buffer(nullptr, 0);
  ASSERT_TRUE(pb_decode(&empty, nano_MeasurementConfig_fields, &config));
  EXPECT_FALSE(config.field_8);
  EXPECT_FALSE(config.has_field_8);
  EXPECT_FALSE(config.has_psm_setting);

  nano_MeasurementBatch batch = nano_MeasurementBatch_init_zero;
  batch.field_9 = 3;
  empty = pb_istream_from_buffer(nullptr, 0);
  ASSERT_TRUE(pb_decode(&empty, nano_MeasurementBatch_fields, &batch));
  EXPECT_EQ(batch.field_9, 0u);
  EXPECT_FALSE(batch.has_field_9);
}

std::vector<std::uint8_t> encodeBundle(const nano_MeasurementBundle& bundle) {
  std::vector<std::uint8_t> bytes(64);
  pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
  EXPECT_TRUE(pb_encode(&stream, nano_MeasurementBundle_fields, &bundle));
  bytes.resize(stream.bytes_written);
  return bytes;
}

// The bundle's index 6 is tag 26 and is written after tag 7, its index 7.
TEST(APMPBCatalogueTest, BundleFieldsAreWrittenByTagNotByIndex) {
  nano_MeasurementBundle bundle = nano_MeasurementBundle_init_zero;
  bundle.has_previous_bundle_start_timestamp_millis = true;
  bundle.previous_bundle_start_timestamp_millis = 5;
  EXPECT_EQ(encodeBundle(bundle), (std::vector<std::uint8_t>{0xd0, 0x01, 0x05}));

  bundle.has_previous_bundle_end_timestamp_millis = true;
  bundle.previous_bundle_end_timestamp_millis = 1;
  EXPECT_EQ(encodeBundle(bundle), (std::vector<std::uint8_t>{0x38, 0x01, 0xd0, 0x01, 0x05}));

  nano_MeasurementBundle decoded = nano_MeasurementBundle_init_zero;
  const std::vector<std::uint8_t> bytes = {0xd0, 0x01, 0x05};
  pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
  ASSERT_TRUE(pb_decode(&stream, nano_MeasurementBundle_fields, &decoded));
  EXPECT_TRUE(decoded.has_previous_bundle_start_timestamp_millis);
  EXPECT_EQ(decoded.previous_bundle_start_timestamp_millis, 5);
  EXPECT_FALSE(decoded.has_previous_bundle_end_timestamp_millis);
}

}  // namespace
