// The heartbeat record, the ring, the bundle with its file form, and the payload with its
// header value.
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "foundation/HeartbeatsBundle.h"
#include "foundation/HeartbeatsPayload.h"
#include "foundation/ZULGzip.h"
#include "platform/base64.h"
#include "platform/json.h"

namespace ZiruzadaCoreInternal {
namespace {

using platform::Date;

constexpr double kDay = 86400;
// 2023-11-14 00:00:00 GMT.
const Date kDay0 = Date::fromTimeIntervalSince1970(1'699'920'000);

Date day(int n) { return kDay0.addingTimeInterval(n * kDay); }

Heartbeat heartbeat(std::string agent, Date date) {
  return Heartbeat{std::move(agent), date, 0, {TimePeriod::daily}};
}

platform::Value parse(std::string_view json) {
  auto value = platform::json::parse(json);
  EXPECT_TRUE(value.has_value()) << json;
  return value.value_or(platform::Value());
}

std::string write(const platform::Value& value) {
  return platform::json::write(value, {.escapeSlashes = false}).value_or("");
}

// The agents of the ring's slots in slot order, "-" for an empty slot.
std::string slots(const HeartbeatsBundle& bundle) {
  std::string text;
  for (const auto& slot : bundle.buffer().circularQueue()) text += slot ? slot->agent : "-";
  return text;
}

// A bundle as a file holds it: `slotCount` slots, the first ones holding "a", "b", ... a
// day apart.
HeartbeatsBundle stored(std::int64_t capacity, int slotCount, int filled, std::int64_t tail) {
  platform::Array queue;
  for (int i = 0; i < slotCount; ++i) {
    queue.push_back(i < filled ? heartbeat(std::string(1, char('a' + i)), day(i)).jsonValue()
                               : platform::Value());
  }
  platform::Value json = platform::Dictionary{
      {"capacity", capacity},
      {"lastAddedHeartbeatDates",
       platform::Array{1, day(filled - 1).timeIntervalSinceReferenceDate()}},
      {"buffer", platform::Dictionary{{"circularQueue", queue}, {"tailIndex", tail}}}};
  auto bundle = HeartbeatsBundle::fromJSONValue(json);
  EXPECT_TRUE(bundle.has_value());
  return bundle.value_or(HeartbeatsBundle(0));
}

TEST(HeartbeatTest, PeriodsAndTheStoredForm) {
  EXPECT_EQ(timeInterval(TimePeriod::daily), 86400.0);
  EXPECT_EQ(timePeriodFromRawValue(1), TimePeriod::daily);
  EXPECT_EQ(timePeriodFromRawValue(0), std::nullopt);
  EXPECT_EQ(timePeriodFromRawValue(7), std::nullopt);

  const Heartbeat original{
      "agent/1", Date::fromTimeIntervalSinceReferenceDate(721'612'800), 0, {TimePeriod::daily}};
  EXPECT_EQ(write(original.jsonValue()),
            R"({"agent":"agent/1","date":721612800,"version":0,"timePeriods":[1]})");
  EXPECT_EQ(Heartbeat::fromJSONValue(original.jsonValue()), original);

  const char* broken[] = {
      R"({"date":1,"version":0,"timePeriods":[1]})",
      R"({"agent":"a","version":0,"timePeriods":[1]})",
      R"({"agent":"a","date":1,"timePeriods":[1]})",
      R"({"agent":"a","date":1,"version":0})",
      R"({"agent":7,"date":1,"version":0,"timePeriods":[1]})",
      R"({"agent":"a","date":"1","version":0,"timePeriods":[1]})",
      R"({"agent":"a","date":1,"version":0.5,"timePeriods":[1]})",
      R"({"agent":"a","date":1,"version":0,"timePeriods":[2]})",
      R"({"agent":"a","date":true,"version":0,"timePeriods":[1]})",
      R"(["agent"])",
  };
  for (const char* json : broken) EXPECT_FALSE(Heartbeat::fromJSONValue(parse(json))) << json;
  // Unknown keys are ignored.
  EXPECT_TRUE(Heartbeat::fromJSONValue(
      parse(R"({"agent":"a","date":1.5,"version":3,"timePeriods":[],"extra":null})")));
}

TEST(RingBufferTest, PushPopAndSlotOrder) {
  RingBuffer<std::string> ring(3);
  for (const char* element : {"A", "B", "C"}) EXPECT_EQ(ring.push(element).displaced, std::nullopt);
  auto fourth = ring.push("D");
  EXPECT_EQ(fourth.displaced, "A");
  EXPECT_EQ(ring.elements(), (std::vector<std::string>{"D", "B", "C"}));
  EXPECT_EQ(ring.pop(), "D");
  EXPECT_EQ(ring.pop(), "C");
  EXPECT_EQ(ring.pop(), "B");
  // The tail still moves back onto the empty slot.
  EXPECT_EQ(ring.pop(), std::nullopt);
  EXPECT_EQ(ring.tailIndex(), 0);

  RingBuffer<std::string> none(0);
  auto dropped = none.push("x");
  EXPECT_FALSE(dropped.error);
  EXPECT_EQ(none.pop(), std::nullopt);
  EXPECT_TRUE(none.elements().empty());
}

// Tails a damaged file can hold: pushes refuse them; a pop reads only inside the slots, a
// tail past the end counting as an empty ring.
TEST(RingBufferTest, TailsOutsideTheSlots) {
  const std::vector<std::optional<std::string>> full{"x", "y", "z"};
  struct Case {
    std::int64_t tail;
    std::optional<std::string> popped;
    std::int64_t tailAfterPop;
  } cases[] = {
      {3, "z", 2},  {4, std::nullopt, 4}, {INT64_MAX, std::nullopt, INT64_MAX},
      {-1, "z", 2}, {INT64_MIN, "z", 2},
  };
  for (const Case& c : cases) {
    RingBuffer<std::string> ring(full, c.tail);
    auto pushed = ring.push("new");
    ASSERT_TRUE(pushed.error) << c.tail;
    EXPECT_EQ(pushed.error->pushIndex, c.tail);
    EXPECT_EQ(pushed.error->endIndex, 3);
    EXPECT_EQ(ring.circularQueue(), full) << "a refused push changes nothing";
    EXPECT_EQ(ring.pop(), c.popped) << c.tail;
    EXPECT_EQ(ring.tailIndex(), c.tailAfterPop) << c.tail;
  }
  EXPECT_EQ((RingBufferOutOfBoundsPush{30, 30}.description()),
            "Out-of-bounds push at index 30 to ring buffer withend index of 30.");
}

TEST(HeartbeatsBundleTest, FreshBundleAndItsFileForm) {
  const HeartbeatsBundle fresh(2);
  EXPECT_EQ(write(fresh.jsonValue()), R"({"capacity":2,"lastAddedHeartbeatDates":[1,-63114076800],)"
                                      R"("buffer":{"circularQueue":[null,null],"tailIndex":0}})");
  EXPECT_EQ(fresh.lastAddedHeartbeatDates().at(TimePeriod::daily), kDistantPast);

  HeartbeatsBundle used(3);
  used.append(heartbeat("agent/1 os/2", day(0)));
  used.append(heartbeat("agent/1 os/2", day(1)));
  EXPECT_EQ(HeartbeatsBundle::decode(*used.encoded()), used);
  // Keys in any order, unknown keys ignored.
  EXPECT_EQ(HeartbeatsBundle::fromJSONValue(
                parse(R"({"buffer":{"tailIndex":0,"circularQueue":[null,null],"x":1},"other":[],)"
                      R"("lastAddedHeartbeatDates":[1,-63114076800.0],"capacity":2})")),
            fresh);
}

TEST(HeartbeatsBundleTest, DamagedFilesDoNotDecode) {
  const char* broken[] = {
      R"({"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":1,"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[]})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[],"buffer":{"tailIndex":0}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[]}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[1],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[2,0],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[1,"x"],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":{"1":0},"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":1,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[{"agent":"a"}],"tailIndex":0}})",
      R"({"capacity":"1","lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
      // A capacity no ring could be remade with.
      R"({"capacity":1e15,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
  };
  for (const char* json : broken) {
    EXPECT_FALSE(HeartbeatsBundle::fromJSONValue(parse(json))) << json;
  }
  EXPECT_FALSE(HeartbeatsBundle::decode(platform::Data::fromString("{not json")));
}

TEST(HeartbeatsBundleTest, TheOldestIsOverwrittenAndItsDateForgotten) {
  HeartbeatsBundle bundle(30);
  for (int i = 0; i < 30; ++i) bundle.append(heartbeat("a", day(i)));
  EXPECT_EQ(bundle.lastAddedHeartbeatDates().at(TimePeriod::daily), day(29));
  EXPECT_EQ(bundle.buffer().tailIndex(), 0);

  // The overwritten heartbeat's date is reset wherever it appears, then the new one's set.
  HeartbeatsBundle sameDay = bundle;
  sameDay.append(Heartbeat{"b", day(0), 0, {}});
  EXPECT_EQ(sameDay.lastAddedHeartbeatDates().at(TimePeriod::daily), day(29));
  HeartbeatsBundle overwritesLatest = stored(2, 2, 2, 0);  // "a" on day 0, "b" on day 1
  overwritesLatest.append(Heartbeat{"c", day(5), 0, {}});
  overwritesLatest.append(Heartbeat{"d", day(6), 0, {}});  // overwrites "b", the latest date
  EXPECT_EQ(overwritesLatest.lastAddedHeartbeatDates().at(TimePeriod::daily), kDistantPast);

  bundle.append(heartbeat("new", day(30)));
  EXPECT_EQ(bundle.buffer().circularQueue()[0]->agent, "new");
  EXPECT_EQ(bundle.buffer().tailIndex(), 1);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates().at(TimePeriod::daily), day(30));
}

TEST(HeartbeatsBundleTest, AnOutOfRangeTailHealsWithADiagnosticHeartbeat) {
  HeartbeatsBundle bundle = stored(30, 30, 30, 30);
  bundle.append(heartbeat("agent/1", day(40)));
  HeartbeatsBundle expected(30);
  expected.append(heartbeat(
      "agent/1 error/Out-of-bounds-push-at-index-30-to-ring-buffer-withend-index-of-30.", day(40)));
  EXPECT_EQ(bundle, expected);
  EXPECT_EQ(bundle.buffer().tailIndex(), 1);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates().at(TimePeriod::daily), day(40));
}

TEST(HeartbeatsBundleTest, CapacitiesAndSlotsThatDisagree) {
  // Capacity 0 ignores appends even when the file holds slots.
  HeartbeatsBundle zero = stored(0, 3, 1, 1);
  const HeartbeatsBundle zeroBefore = zero;
  zero.append(heartbeat("b", day(9)));
  EXPECT_EQ(zero, zeroBefore);

  // Capacity 30 without slots: nothing is stored, yet the date is.
  HeartbeatsBundle noSlots = stored(30, 0, 0, 0);
  noSlots.append(heartbeat("b", day(9)));
  EXPECT_TRUE(noSlots.buffer().circularQueue().empty());
  EXPECT_EQ(noSlots.lastAddedHeartbeatDates().at(TimePeriod::daily), day(9));
  EXPECT_EQ(noSlots.removeHeartbeat(day(9)), std::nullopt);
}

TEST(HeartbeatsBundleTest, RemovingAHeartbeat) {
  // Slots a b c d e -, tail at 5.
  HeartbeatsBundle bundle = stored(6, 6, 5, 5);
  HeartbeatsBundle latest = bundle;
  EXPECT_EQ(latest.removeHeartbeat(day(4)), heartbeat("e", day(4)));
  EXPECT_EQ(slots(latest), "abcd--");
  EXPECT_EQ(latest.buffer().tailIndex(), 4);

  HeartbeatsBundle middle = bundle;
  EXPECT_EQ(middle.removeHeartbeat(day(1)), heartbeat("b", day(1)));
  EXPECT_EQ(slots(middle), "acde--");
  EXPECT_EQ(middle.lastAddedHeartbeatDates(), bundle.lastAddedHeartbeatDates());

  // Nothing matches: the run searched back to the empty slot moves one slot earlier.
  HeartbeatsBundle missing = bundle;
  EXPECT_EQ(missing.removeHeartbeat(day(20)), std::nullopt);
  EXPECT_EQ(slots(missing), "bcde-a");
  EXPECT_EQ(missing.buffer().tailIndex(), 4);

  // A damaged tail past the end counts as an empty ring: nothing found, nothing moved.
  HeartbeatsBundle damaged = stored(6, 6, 5, 9);
  EXPECT_EQ(damaged.removeHeartbeat(day(4)), std::nullopt);
  EXPECT_EQ(slots(damaged), "abcde-");
}

TEST(HeartbeatsPayloadTest, BundlesGroupByAgentInSlotOrder) {
  HeartbeatsBundle bundle(6);
  // Slot by slot: zed, apple, Zed, apple, zed.
  for (const char* agent : {"zed", "apple", "Zed", "apple", "zed"}) {
    bundle.append(heartbeat(agent, day(static_cast<int>(bundle.buffer().tailIndex()))));
  }
  // Push two more so that slots 0 and 1 are taken again: slot order, not push order, counts.
  bundle.append(heartbeat("zed", day(5)));
  bundle.append(heartbeat("apple", day(-3)));
  const HeartbeatsPayload payload = bundle.makePayload();
  const HeartbeatsPayload expected{
      {{"Zed", {day(2)}}, {"apple", {day(-3), day(1), day(3)}}, {"zed", {day(4), day(5)}}}, 2};
  EXPECT_EQ(payload, expected);
  EXPECT_EQ(HeartbeatsBundle(4).makePayload(), HeartbeatsPayload::emptyPayload());
  EXPECT_EQ(heartbeat("one", day(1)).makePayload(), (HeartbeatsPayload{{{"one", {day(1)}}}, 2}));
}

// An accent typed as one code point or as a combining mark is one agent, placed by its
// composed form: "\u00e9" comes after "f" however it was encoded.
TEST(HeartbeatsPayloadTest, AgentsAreGroupedAndSortedByTheirComposedForm) {
  const std::string decomposed = "lib-e\xCC\x81/1";
  const std::string composed = "lib-\u00e9/1";
  HeartbeatsBundle bundle(6);
  bundle.append(heartbeat(decomposed, day(0)));
  bundle.append(heartbeat("lib-f/1", day(1)));
  bundle.append(heartbeat(composed, day(2)));
  bundle.append(heartbeat("lib-e/1", day(3)));
  bundle.append(heartbeat(composed, day(4)));
  // The entry keeps the text of its earliest slot.
  const HeartbeatsPayload expected{
      {{"lib-e/1", {day(3)}}, {"lib-f/1", {day(1)}}, {decomposed, {day(0), day(2), day(4)}}}, 2};
  EXPECT_EQ(bundle.makePayload(), expected);
}

TEST(HeartbeatsPayloadTest, EmptinessIgnoresTheVersion) {
  EXPECT_TRUE(HeartbeatsPayload::emptyPayload().isEmpty());
  EXPECT_EQ(HeartbeatsPayload::emptyPayload().version, 2);
  EXPECT_TRUE((HeartbeatsPayload{{}, 7}.isEmpty()));
  EXPECT_FALSE((HeartbeatsPayload{{{"a", {}}}, 0}.isEmpty()));
  auto wrapped = ZIRHeartbeatsPayload(HeartbeatsPayload::emptyPayload());
  EXPECT_TRUE(wrapped.isEmpty());
  EXPECT_EQ(wrapped.headerValue(), HeartbeatsPayload::emptyPayload().headerValue());
}

// Dates are their GMT day whatever the local zone: 23:30 GMT stays on its day.
TEST(HeartbeatsPayloadTest, DatesAreGMTDays) {
  const Date lateEvening = kDay0.addingTimeInterval(23.5 * 3600);
  for (const char* zone : {"UTC", "Pacific/Kiritimati", "America/Los_Angeles", "Asia/Kolkata"}) {
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(payloadDateString(lateEvening), "2023-11-14") << zone;
    EXPECT_EQ(payloadDateString(kDay0.addingTimeInterval(-1)), "2023-11-13") << zone;
  }
  unsetenv("TZ");
  tzset();
  EXPECT_EQ(payloadDateString(Date::fromTimeIntervalSince1970(0)), "1970-01-01");
  EXPECT_EQ(payloadDateString(Date::fromTimeIntervalSince1970(951'782'400)), "2000-02-29");
  EXPECT_EQ(payloadDateFromString("2000-02-29"), Date::fromTimeIntervalSince1970(951'782'400));
  for (const char* bad : {"2000-02-30", "2023-13-01", "23-01-01", "2023-1-01", "2023/01/01", ""}) {
    EXPECT_EQ(payloadDateFromString(bad), std::nullopt) << bad;
  }
}

// The header value is unpadded base64url of the gzip of the JSON form: it decodes,
// inflates and reads back as the same payload.
TEST(HeartbeatsPayloadTest, HeaderValuesDecodeToTheirJSON) {
  EXPECT_EQ(HeartbeatsPayload::emptyPayload().headerValue(),
            "H4sIAAAAAAAAA6tWykhNLCpJSk0sKVayio7VUSpLLSrOzM9TsjKqBQAqMsj7HQAAAA");

  const HeartbeatsPayload payloads[] = {
      HeartbeatsPayload::emptyPayload(),
      {{{"apple-platform/linux zere-ios/10.27.0", {day(0), day(1), day(2)}}}, 2},
      {{{"a/1", {day(-400)}}, {"b/2 ~?>", {day(3), day(3)}}}, 2},
  };
  for (const HeartbeatsPayload& payload : payloads) {
    const std::string header = payload.headerValue();
    EXPECT_FALSE(header.empty());
    EXPECT_EQ(header.find_first_of("+/=\n"), std::string::npos) << header;
    const auto compressed = platform::base64::decode(header, platform::base64::Alphabet::URLSafe);
    ASSERT_TRUE(compressed.has_value()) << header;
    const auto json = zul_dataByInflatingGzippedData(*compressed);
    ASSERT_TRUE(json.has_value());
    const auto value = platform::json::parse(*json);
    ASSERT_TRUE(value.has_value()) << json->toString();
    EXPECT_EQ(*value, payload.jsonValue());
    EXPECT_EQ(HeartbeatsPayload::fromJSONValue(*value), payload);
  }
  EXPECT_EQ(write(payloads[1].jsonValue()),
            R"({"heartbeats":[{"agent":"apple-platform/linux zere-ios/10.27.0",)"
            R"("dates":["2023-11-14","2023-11-15","2023-11-16"]}],"version":2})");
}

}  // namespace
}  // namespace ZiruzadaCoreInternal
