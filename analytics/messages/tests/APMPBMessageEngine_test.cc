// The table-driven message engine over two hand-bound nanopb messages: a root with one field
// of every kind the catalogues use (one index not in tag order) and a leaf that contains
// itself through a repeated field.

#include "analytics/messages/APMPBMessageEngine.h"

#include "analytics/messages/APMPBMessage.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/value.h"

struct EngineTestLeaf {
  bool has_number;
  std::int32_t number;
  pb_callback_t text;
  pb_callback_t kids;
};
#define EngineTestLeaf_FIELDLIST(X, a)                                                             \
  X(a, STATIC, OPTIONAL, INT32, number, 1)                                                         \
  X(a, CALLBACK, OPTIONAL, STRING, text, 2)                                                        \
  X(a, CALLBACK, REPEATED, MESSAGE, kids, 3)
#define EngineTestLeaf_CALLBACK pb_default_field_callback
#define EngineTestLeaf_DEFAULT NULL
#define EngineTestLeaf_kids_MSGTYPE EngineTestLeaf
extern const pb_msgdesc_t EngineTestLeaf_msg;
PB_BIND(EngineTestLeaf, EngineTestLeaf, AUTO)

struct EngineTestRoot {
  bool has_flag;
  bool flag;
  bool has_kind;
  std::int32_t kind;
  bool has_count;
  std::int32_t count;
  bool has_big;
  std::int64_t big;
  bool has_ratio;
  float ratio;
  bool has_score;
  double score;
  pb_callback_t title;
  bool has_child;
  EngineTestLeaf child;
  pb_callback_t nums;
  pb_callback_t leaves;
  pb_callback_t names;
  pb_callback_t ids;
  pb_callback_t stamps;
};
#define EngineTestRoot_FIELDLIST(X, a)                                                             \
  X(a, STATIC, OPTIONAL, BOOL, flag, 1)                                                            \
  X(a, STATIC, OPTIONAL, ENUM, kind, 2)                                                            \
  X(a, STATIC, OPTIONAL, INT32, count, 3)                                                          \
  X(a, STATIC, OPTIONAL, INT64, big, 4)                                                            \
  X(a, STATIC, OPTIONAL, FLOAT, ratio, 5)                                                          \
  X(a, STATIC, OPTIONAL, DOUBLE, score, 6)                                                         \
  X(a, CALLBACK, OPTIONAL, STRING, title, 7)                                                       \
  X(a, STATIC, OPTIONAL, MESSAGE, child, 8)                                                        \
  X(a, CALLBACK, REPEATED, UINT64, nums, 9)                                                        \
  X(a, CALLBACK, REPEATED, MESSAGE, leaves, 10)                                                    \
  X(a, CALLBACK, REPEATED, STRING, names, 11)                                                      \
  X(a, CALLBACK, REPEATED, UINT32, ids, 12)                                                        \
  X(a, CALLBACK, REPEATED, INT64, stamps, 13)
#define EngineTestRoot_CALLBACK pb_default_field_callback
#define EngineTestRoot_DEFAULT NULL
#define EngineTestRoot_child_MSGTYPE EngineTestLeaf
#define EngineTestRoot_leaves_MSGTYPE EngineTestLeaf
PB_BIND(EngineTestRoot, EngineTestRoot, AUTO)

namespace engine_test {

using platform::Value;

extern const NanoMessageTable kLeaf;
constexpr std::int32_t kLeafTypes[] = {0x82, 0x2002, 0x4008};
constexpr pb_size_t kLeafTags[] = {1, 2, 3};
const char* const kLeafNames[] = {"number", "text", "kids"};
const NanoMessageTable* const kLeafChildren[] = {nullptr, nullptr, &kLeaf};
const NanoMessageTable kLeaf{"Leaf",
                             3,
                             kLeafTypes,
                             kLeafTags,
                             kLeafNames,
                             kLeafChildren,
                             &EngineTestLeaf_msg,
                             sizeof(EngineTestLeaf)};

enum RootField {
  kFlag,
  kKind,
  kCount,
  kBig,
  kRatio,
  kScore,
  kTitle,
  kChild,
  kLeaves,  // tag 10
  kNums,    // tag 9
  kNames,
  kIds,
  kStamps,
  kRootFieldCount
};
constexpr std::int32_t kRootTypes[] = {0x22,   0x42,   0x82,  0x202,  0x802, 0x1002, 0x2002,
                                       0x4002, 0x4008, 0x408, 0x2008, 0x108, 0x208};
constexpr pb_size_t kRootTags[] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 9, 11, 12, 13};
const char* const kRootNames[] = {"flag",  "kind",   "count", "big",   "ratio", "score", "title",
                                  "child", "leaves", "nums",  "names", "ids",   "stamps"};
const NanoMessageTable* const kRootChildren[] = {nullptr, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr, &kLeaf,  &kLeaf,  nullptr,
                                                 nullptr, nullptr, nullptr};
const NanoMessageTable kRoot{
    "Root",     kRootFieldCount, kRootTypes,          kRootTags,
    kRootNames, kRootChildren,   &EngineTestRoot_msg, sizeof(EngineTestRoot)};

using Root = APMPBMessage<kRoot>;
using Leaf = APMPBMessage<kLeaf>;

template <typename M> std::shared_ptr<M> make() { return M::initWithMessageInfo(nullptr); }

template <typename M> std::shared_ptr<M> decode(const std::vector<std::uint8_t>& bytes) {
  const platform::Data data(bytes.data(), bytes.size());
  return M::initWithBuffer(&data);
}

std::vector<std::uint8_t> bytesOf(const NANOMessageBase& message) {
  const auto data = message.protoBuffer();
  EXPECT_TRUE(data.has_value());
  return data ? data->vector() : std::vector<std::uint8_t>{};
}

struct StdoutCapture {
  StdoutCapture() { testing::internal::CaptureStdout(); }
  std::string take() { return testing::internal::GetCapturedStdout(); }
};

std::shared_ptr<Leaf> leaf(std::int32_t a, const char* s) {
  auto made = make<Leaf>();
  nano_set_int32(made.get(), 0, a);
  if (s != nullptr) nano_set_string_field(made.get(), 1, s);
  return made;
}

std::shared_ptr<Root> fullRoot() {
  auto root = make<Root>();
  nano_set_bool_field(root.get(), kFlag, true);
  nano_set_int32(root.get(), kKind, 3);
  nano_set_int32(root.get(), kCount, -7);
  nano_set_int64(root.get(), kBig, INT64_MIN);
  nano_set_double_field(root.get(), kScore, 0.25);
  nano_set_string_field(root.get(), kTitle, "");
  nano_set_message(root.get(), kChild, leaf(9, "c").get());
  const NanoObjectArray leaves{leaf(1, "x"), leaf(2, nullptr), leaf(-3, "")};
  nano_set_array(root.get(), kLeaves, &leaves);
  const NanoObjectArray nums{Value(UINT64_MAX), Value(0)};
  nano_set_array(root.get(), kNums, &nums);
  const NanoObjectArray names{Value("a"), Value("")};
  nano_set_array(root.get(), kNames, &names);
  const NanoObjectArray ids{Value(4294967295u)};
  nano_set_array(root.get(), kIds, &ids);
  const NanoObjectArray stamps{Value(-1)};
  nano_set_array(root.get(), kStamps, &stamps);
  return root;
}

void expectFullRoot(const NANOMessageBase* root) {
  EXPECT_TRUE(nano_get_bool(root, kFlag));
  EXPECT_EQ(nano_get_int32(root, kKind), 3);
  EXPECT_EQ(nano_get_int32(root, kCount), -7);
  EXPECT_EQ(nano_get_int64(root, kBig), INT64_MIN);
  EXPECT_FALSE(nano_has_field(root, kRatio));
  EXPECT_EQ(nano_get_double(root, kScore), 0.25);
  EXPECT_EQ(nano_get_string(root, kTitle), "");
  auto child = nano_get_message(root, kChild, Leaf::messageClass());
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(nano_get_int32(child.get(), 0), 9);
  EXPECT_EQ(nano_get_string(child.get(), 1), "c");
  const auto leaves = nano_get_array(root, kLeaves, &Leaf::messageClass());
  ASSERT_TRUE(leaves.has_value());
  ASSERT_EQ(leaves->size(), 3u);
  const auto second = std::get<NanoMessagePtr>((*leaves)[1]);
  EXPECT_EQ(nano_get_int32(second.get(), 0), 2);
  EXPECT_FALSE(nano_has_field(second.get(), 1));
  EXPECT_EQ(nano_get_int32(std::get<NanoMessagePtr>((*leaves)[2]).get(), 0), -3);
  EXPECT_EQ(nano_get_string(std::get<NanoMessagePtr>((*leaves)[2]).get(), 1), "");
  const auto nums = nano_get_array(root, kNums, nullptr);
  ASSERT_EQ(nums->size(), 2u);
  EXPECT_EQ(std::get<Value>((*nums)[0]), Value(UINT64_MAX));
  const auto names = nano_get_array(root, kNames, nullptr);
  ASSERT_EQ(names->size(), 2u);
  EXPECT_EQ(std::get<Value>((*names)[1]), Value(""));
  EXPECT_EQ(std::get<Value>((*nano_get_array(root, kIds, nullptr))[0]), Value(4294967295u));
  EXPECT_EQ(std::get<Value>((*nano_get_array(root, kStamps, nullptr))[0]), Value(-1));
}

TEST(APMPBMessageEngineTest, EveryKindRoundTripsAndUnsetFieldsStayUnset) {
  auto root = fullRoot();
  expectFullRoot(root.get());
  const auto decoded = decode<Root>(bytesOf(*root));
  ASSERT_NE(decoded, nullptr);
  expectFullRoot(decoded.get());
  EXPECT_EQ(bytesOf(*decoded), bytesOf(*root));

  auto copy = Root::initWithMessageInfo(root->messageInfo());
  nano_set_int32(root.get(), kCount, 1);
  expectFullRoot(copy.get());
}

TEST(APMPBMessageEngineTest, WorkedBytesFollowTheTagNotTheIndex) {
  auto root = make<Root>();
  nano_set_bool_field(root.get(), kFlag, true);
  const NanoObjectArray nums{Value(5)};
  nano_set_array(root.get(), kNums, &nums);  // index 9 = tag 9
  const NanoObjectArray leaves{leaf(1, nullptr)};
  nano_set_array(root.get(), kLeaves, &leaves);  // index 8 = tag 10
  EXPECT_EQ(bytesOf(*root),
            (std::vector<std::uint8_t>{0x08, 0x01, 0x48, 0x05, 0x52, 0x02, 0x08, 0x01}));
}

// Many kilobytes of output, written in one piece or not at all: a long title and 300 leaves,
// then the same message with the last leaf's text gone bad underneath the accessors.
TEST(APMPBMessageEngineTest, LongMessagesComeOutWholeOrNotAtAll) {
  auto root = make<Root>();
  const std::string title(5000, 't');
  nano_set_string_field(root.get(), kTitle, title);
  NanoObjectArray leaves;
  for (int i = 0; i < 300; ++i) leaves.emplace_back(leaf(i, "x"));
  nano_set_array(root.get(), kLeaves, &leaves);

  std::vector<std::uint8_t> expected = {0x3a, 0x88, 0x27};  // tag 7, length 5000
  expected.insert(expected.end(), title.begin(), title.end());
  for (int i = 0; i < 300; ++i) {
    std::vector<std::uint8_t> number = {0x08};
    if (i < 128) {
      number.push_back(static_cast<std::uint8_t>(i));
    } else {
      number.push_back(static_cast<std::uint8_t>(i | 0x80));
      number.push_back(static_cast<std::uint8_t>(i >> 7));
    }
    expected.push_back(0x52);
    expected.push_back(static_cast<std::uint8_t>(number.size() + 3));
    expected.insert(expected.end(), number.begin(), number.end());
    expected.insert(expected.end(), {0x12, 0x01, 'x'});
  }
  EXPECT_EQ(bytesOf(*root), expected);
  const auto decoded = decode<Root>(expected);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(bytesOf(*decoded), expected);

  const auto* array = static_cast<const NanoArray*>(root->messageInfo()->values[kLeaves]);
  auto* last = static_cast<MessageInfo*>(array->elements[299]);
  auto* text = static_cast<NanoBytes*>(last->values[1]);
  std::free(text->bytes);
  text->bytes = nullptr;
  EXPECT_EQ(root->protoBuffer(), std::nullopt);
}

TEST(APMPBMessageEngineTest, EmptyInputAndEmptyMessage) {
  auto root = decode<Root>({});
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(bytesOf(*root).empty());
  // The singular child existed while decoding and is gone afterwards.
  EXPECT_FALSE(nano_has_field(root.get(), kChild));
  const auto* leaves = static_cast<const NanoArray*>(root->messageInfo()->values[kLeaves]);
  EXPECT_EQ(leaves->count, 0u);
}

TEST(APMPBMessageEngineTest, UnknownTagsAreDroppedAndPackedInputComesOutUnpacked) {
  // flag, an unknown varint field 100, nums packed [1, 2], an unknown length field 99.
  const std::vector<std::uint8_t> input = {0x08, 0x01, 0xa0, 0x06, 0x07, 0x4a, 0x02,
                                           0x01, 0x02, 0x9a, 0x06, 0x01, 0x00};
  auto root = decode<Root>(input);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(bytesOf(*root), (std::vector<std::uint8_t>{0x08, 0x01, 0x48, 0x01, 0x48, 0x02}));
}

TEST(APMPBMessageEngineTest, RepeatedMessagesAreCountedThenFilled) {
  // Three leaves, the second with its own two kids.
  const std::vector<std::uint8_t> input = {0x52, 0x02, 0x08, 0x01, 0x52, 0x08, 0x1a, 0x02,
                                           0x08, 0x02, 0x1a, 0x02, 0x08, 0x03, 0x52, 0x00};
  // The decoded MessageInfo itself, before any wrapper takes it.
  auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  ASSERT_TRUE(nano_message_init(kRoot, info));
  ASSERT_TRUE(nano_message_decode(kRoot, input.data(), input.size(), info));
  const auto* leaves = static_cast<const NanoArray*>(info->values[kLeaves]);
  EXPECT_EQ(leaves->count, 3u);
  EXPECT_EQ(leaves->filled, 3u);
  nano_message_free(kRoot, info);
  auto root = decode<Root>(input);
  ASSERT_NE(root, nullptr);
  const auto array = nano_get_array(root.get(), kLeaves, &Leaf::messageClass());
  ASSERT_EQ(array->size(), 3u);
  const auto kids =
      nano_get_array(std::get<NanoMessagePtr>((*array)[1]).get(), 2, &Leaf::messageClass());
  ASSERT_EQ(kids->size(), 2u);
  EXPECT_EQ(nano_get_int32(std::get<NanoMessagePtr>((*kids)[1]).get(), 0), 3);
  EXPECT_EQ(bytesOf(*root), input);
}

std::vector<std::uint8_t> nestedLeaf(int levels) {
  std::vector<std::uint8_t> bytes = {0x08, 0x01};
  for (int i = 0; i < levels; ++i) {
    std::vector<std::uint8_t> outer = {0x1a};
    for (std::size_t n = bytes.size();; n >>= 7) {
      if (n < 0x80) {
        outer.push_back(static_cast<std::uint8_t>(n));
        break;
      }
      outer.push_back(static_cast<std::uint8_t>((n & 0x7f) | 0x80));
    }
    outer.insert(outer.end(), bytes.begin(), bytes.end());
    bytes = std::move(outer);
  }
  return bytes;
}

TEST(APMPBMessageEngineTest, NestingIsBoundedAt64Levels) {
  const auto deepest = nestedLeaf(64);
  auto decoded = decode<Leaf>(deepest);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(bytesOf(*decoded), deepest);

  StdoutCapture capture;
  EXPECT_EQ(decode<Leaf>(nestedLeaf(65)), nullptr);
  EXPECT_EQ(decode<Leaf>(nestedLeaf(2000)), nullptr);
  EXPECT_NE(capture.take().find("<ERROR> Leaf decoder failed: nested too deep\n"),
            std::string::npos);
}

TEST(APMPBMessageEngineTest, BadInputFailsWithTheDecoderLine) {
  StdoutCapture capture;
  EXPECT_EQ(decode<Root>({0x3a, 0x05, 'a'}), nullptr);  // title ends inside its bytes
  EXPECT_EQ(capture.take().rfind("<ERROR> Root decoder failed: ", 0), 0u);
}

TEST(APMPBMessageEngineTest, FreeFieldAndEncoderDiagnostics) {
  auto root = make<Root>();
  {
    StdoutCapture capture;
    EXPECT_FALSE(nano_message_free_field(kRoot, root->messageInfo(), kRootFieldCount));
    EXPECT_EQ(capture.take(), "<ERROR> Root: Cannot deallocate field 13: Unknown field\n");
  }
  MessageInfo* info = root->messageInfo();
  void* record = info->values[kNums];
  info->values[kNums] = nullptr;
  StdoutCapture capture;
  std::uint8_t* buffer = nullptr;
  EXPECT_EQ(nano_message_encode(kRoot, info, &buffer), -1);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(capture.take(), "<ERROR> Root Encoder: 'nums' should have been allocated\n");
  info->values[kNums] = record;
}

TEST(APMPBMessageEngineTest, CopyOfAnEmptyRepeatedFieldHasNoElementArray) {
  auto root = make<Root>();
  auto copy = Root::initWithMessageInfo(root->messageInfo());
  const auto* nums = static_cast<const NanoArray*>(copy->messageInfo()->values[kNums]);
  EXPECT_EQ(nums->count, 0u);
  EXPECT_EQ(nums->elements, nullptr);
  EXPECT_EQ(Leaf::initWithMessageInfo(root->messageInfo()), nullptr);
}

TEST(APMPBMessageEngineTest, WrapperFromNoDataIsEmptyAndOwnsItsCopy) {
  auto empty = Root::initWithBuffer(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->protoBuffer(), platform::Data());
  EXPECT_STREQ(empty->className(), "APMPBRoot");
  EXPECT_STREQ(empty->messageID(), "Root");

  auto source = make<Leaf>();
  nano_set_int32(source.get(), 0, 5);
  auto copy = Leaf::initWithMessageInfo(source->messageInfo());
  nano_set_int32(source.get(), 0, 6);
  EXPECT_EQ(nano_get_int32(copy.get(), 0), 5);
}

// A decoded message keeps its buffers together, yet every accessor still changes it as it
// changes a built one: the same edits on both give the same bytes, and freeing either after
// the edits (under the sanitizer) frees each block once.
TEST(APMPBMessageEngineTest, DecodedMessagesChangeLikeBuiltOnes) {
  const auto edit = [](Root* root) {
    nano_set_string_field(root, kTitle, "renamed");
    nano_set_int32(root, kCount, 11);
    nano_set_double_field(root, kScore, 1.5);
    nano_clear_field(root, kBig);
    nano_set_message(root, kChild, leaf(4, "d").get());
    const NanoObjectArray leaves{leaf(7, "y")};
    nano_set_array(root, kLeaves, &leaves);
    const NanoObjectArray names{Value("p"), Value("q"), Value("r")};
    nano_set_array(root, kNames, &names);
    nano_set_array(root, kStamps, nullptr);
    nano_clear_field(root, kNums);
  };
  auto built = fullRoot();
  auto decoded = decode<Root>(bytesOf(*built));
  ASSERT_NE(decoded, nullptr);
  edit(built.get());
  edit(decoded.get());
  EXPECT_EQ(bytesOf(*decoded), bytesOf(*built));
  EXPECT_EQ(nano_get_string(decoded.get(), kTitle), "renamed");

  // Edits inside a decoded child, reached through the MessageInfo as the data code does.
  auto again = decode<Root>(bytesOf(*fullRoot()));
  ASSERT_NE(again, nullptr);
  auto* child = static_cast<MessageInfo*>(again->messageInfo()->values[kChild]);
  ASSERT_TRUE(nano_message_free_field(kLeaf, child, 1));
  nano_set_string(&child->values[1], reinterpret_cast<const std::uint8_t*>("e"), 1);
  auto read = nano_get_message(again.get(), kChild, Leaf::messageClass());
  EXPECT_EQ(nano_get_string(read.get(), 1), "e");
}

// Elements arrive one at a time and their arrays grow as they come: counts on either side of
// each growth step keep every element, in order, for numbers, strings and messages alike.
TEST(APMPBMessageEngineTest, RepeatedFieldsKeepEveryElementInOrder) {
  for (const int count : {1, 3, 4, 5, 8, 9, 16, 17, 300}) {
    SCOPED_TRACE(count);
    auto root = make<Root>();
    NanoObjectArray nums, names, leaves;
    for (int i = 0; i < count; ++i) {
      nums.emplace_back(Value(static_cast<std::uint64_t>(i) * 1000));
      names.emplace_back(Value(std::string(static_cast<std::size_t>(i % 7), 'n')));
      leaves.emplace_back(leaf(i, i % 2 == 0 ? "even" : nullptr));
    }
    nano_set_array(root.get(), kNums, &nums);
    nano_set_array(root.get(), kNames, &names);
    nano_set_array(root.get(), kLeaves, &leaves);
    const auto bytes = bytesOf(*root);
    auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    ASSERT_TRUE(nano_message_init(kRoot, info));
    ASSERT_TRUE(nano_message_decode(kRoot, bytes.data(), bytes.size(), info));
    for (const std::int32_t field : {kNums, kNames, kLeaves}) {
      const auto* array = static_cast<const NanoArray*>(info->values[field]);
      EXPECT_EQ(array->count, static_cast<std::uint32_t>(count));
      EXPECT_EQ(array->filled, static_cast<std::uint32_t>(count));
    }
    const auto* last = static_cast<const NanoArray*>(info->values[kNums])->elements[count - 1];
    EXPECT_EQ(*static_cast<const std::uint64_t*>(last),
              static_cast<std::uint64_t>(count - 1) * 1000);
    std::uint8_t* again = nullptr;
    const std::int32_t length = nano_message_encode(kRoot, info, &again);
    ASSERT_GE(length, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(again, again + length), bytes);
    std::free(again);
    nano_message_free(kRoot, info);
  }

  // 100,000 packed numbers of one byte: the element array outgrows the arena's blocks.
  std::vector<std::uint8_t> packed = {0x4a, 0xa0, 0x8d, 0x06};  // tag 9, length 100000
  for (int i = 0; i < 100000; ++i) packed.push_back(static_cast<std::uint8_t>(i % 128));
  auto root = decode<Root>(packed);
  ASSERT_NE(root, nullptr);
  const auto* nums = static_cast<const NanoArray*>(root->messageInfo()->values[kNums]);
  ASSERT_EQ(nums->count, 100000u);
  EXPECT_EQ(*static_cast<const std::uint64_t*>(nums->elements[99999]), 99999u % 128);
  EXPECT_EQ(*static_cast<const std::uint64_t*>(nums->elements[4]), 4u);
}

}  // namespace engine_test
