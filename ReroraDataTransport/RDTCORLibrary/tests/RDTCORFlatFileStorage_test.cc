// Stores of their own over a temporary folder; the shared store's wiring is in
// RDTCORFlatFileStorageShared_test.cc.
#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "platform/files.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using platform::Data;
using platform::Date;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::UnorderedElementsAre;
using testing_support::ManualClockScope;
using transport_testing::BytesObject;
using transport_testing::RecordingApplication;

// ---- Names and records

TEST(RDTCORFlatFileStorageFormatTest, MappingIDsKeepLettersMarksNumbersAndDashOnly) {
  struct Case {
    std::string mappingID;
    std::string encoded;
  };
  const std::vector<Case> cases = {
      {"ab c/1-x", "ab%20c%2F1-x"},
      {"1249", "1249"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},  // é: a letter
      {"e\xCC\x81", "e\xCC\x81"},                  // a combining mark
      {"\xC2\xBD\xD9\xA3", "\xC2\xBD\xD9\xA3"},    // ½ and Arabic three: numbers
      {"a.b_c%", "a%2Eb%5Fc%25"},                  // ASCII punctuation
      {"\xF0\x9F\x98\x80", "%F0%9F%98%80"},        // a symbol, per UTF-8 byte
      {std::string("a\xFF\0b", 4), "a%FF%00b"},    // bytes that are not UTF-8
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoded);
    EXPECT_EQ(RDTCORPercentEncodeMappingID(c.mappingID), c.encoded);
    EXPECT_EQ(RDTCORPercentDecodeMappingID(c.encoded), c.mappingID);
  }
  EXPECT_EQ(RDTCORPercentDecodeMappingID("%2f%2F"), "//");
  for (const char* malformed : {"%", "a%2", "%zz", "%%41"}) {
    EXPECT_EQ(RDTCORPercentDecodeMappingID(malformed), std::nullopt) << malformed;
  }
}

TEST(RDTCORFlatFileStorageFormatTest, EventNamesAreBuiltAndParsedBack) {
  const std::string name =
      RDTCOREventFileName("ABC", 3, Date::fromTimeIntervalSince1970(1'700'000'000.9), "ab c/1-x");
  EXPECT_EQ(name, "ABC-3-1700000000-ab%20c%2F1-x");
  const auto components = RDTCOREventComponentsFromFilename(name);
  ASSERT_TRUE(components);
  EXPECT_EQ(components->eventID, "ABC");
  EXPECT_EQ(components->qosTier, 3);
  EXPECT_EQ(components->expiration.timeIntervalSince1970(), 1'700'000'000);
  EXPECT_EQ(components->mappingID, "ab%20c%2F1-x");

  // Expiries the names cannot carry as they are.
  EXPECT_EQ(RDTCORNameSeconds(std::nullopt), 0u);
  EXPECT_EQ(RDTCORNameSeconds(Date::fromTimeIntervalSince1970(-5)), 0u);
  EXPECT_EQ(RDTCORNameSeconds(Date::fromTimeIntervalSince1970(std::nan(""))), 0u);
  EXPECT_EQ(RDTCORNameSeconds(Date::fromTimeIntervalSince1970(1e30)),
            std::numeric_limits<std::uint64_t>::max());

  struct Case {
    std::string name;
    bool parses;
    std::string eventID;
    RDTCOREventQoS tier;
    double expiry;
    std::string mappingID;
  };
  const std::vector<Case> cases = {
      {"a-b-c", false, "", 0, 0, ""},
      {"plain", false, "", 0, 0, ""},
      {"a-1-2-", true, "a", 1, 2, ""},
      {"a-x-y-z", true, "a", 0, 0, "z"},
      {"a-1-2-b-c-d", true, "a", 1, 2, "b-c-d"},
      {"---", true, "", 0, 0, ""},
      {"a-4-99999999999999999999999-m", true, "a", 4, 9223372036854775807.0, "m"},
      {"\xFF-1-2-\xFE", true, "\xFF", 1, 2, "\xFE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = RDTCOREventComponentsFromFilename(c.name);
    ASSERT_EQ(parsed.has_value(), c.parses);
    if (!parsed) continue;
    EXPECT_EQ(parsed->eventID, c.eventID);
    EXPECT_EQ(parsed->qosTier, c.tier);
    EXPECT_EQ(parsed->expiration.timeIntervalSince1970(), c.expiry);
    EXPECT_EQ(parsed->mappingID, c.mappingID);
  }
  // A name of the longest kind a folder holds, all dashes, parses without trouble.
  EXPECT_TRUE(RDTCOREventComponentsFromFilename(std::string(255, '-')));
}

TEST(RDTCORFlatFileStorageFormatTest, BatchNamesNeedExactlyThreeParts) {
  EXPECT_EQ(RDTCORBatchDirectoryName(1000, 7, Date::fromTimeIntervalSince1970(1'700'000'600.5)),
            "1000-7-1700000600");
  struct Case {
    std::string name;
    bool parses;
    RDTCORTarget target;
    std::int64_t batchID;
    double expiry;
  };
  const std::vector<Case> cases = {
      {"1000-7-1700000600", true, 1000, 7, 1'700'000'600},
      {"1000-7-1700000600.5", true, 1000, 7, 1'700'000'600.5},
      {"x-y-z", true, 0, 0, 0},
      {"1000-7", false, 0, 0, 0},
      {"1000-7-1700000600-x", false, 0, 0, 0},
      {"", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = RDTCORBatchComponentsFromFilename(c.name);
    ASSERT_EQ(parsed.has_value(), c.parses);
    if (!parsed) continue;
    EXPECT_EQ(parsed->target, c.target);
    EXPECT_EQ(parsed->batchID, c.batchID);
    EXPECT_EQ(parsed->expiration.timeIntervalSince1970(), c.expiry);
  }
}

TEST(RDTCORFlatFileStorageFormatTest, TheCounterIsFourLittleEndianBytesNeverNegative) {
  EXPECT_EQ(RDTCORBatchIDCounterData(1), Data(std::vector<std::uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(RDTCORBatchIDCounterData(0x01020304), Data(std::vector<std::uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(RDTCORBatchIDCounterFromData(Data(std::vector<std::uint8_t>{1, 0, 0, 0})), 1);
  EXPECT_EQ(RDTCORBatchIDCounterFromData(Data(std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x7F})),
            std::numeric_limits<std::int32_t>::max());
  for (const std::vector<std::uint8_t>& bad : std::vector<std::vector<std::uint8_t>>{
           {}, {1}, {1, 0, 0}, {1, 0, 0, 0, 0}, {0, 0, 0, 0x80}, {0xFF, 0xFF, 0xFF, 0xFF}}) {
    EXPECT_EQ(RDTCORBatchIDCounterFromData(Data(bad)), std::nullopt) << bad.size();
  }
}

TEST(RDTCORFlatFileStorageFormatTest, EventsWhoseNamesWouldNotParseBackAreNamed) {
  for (const std::string& id : {std::string(), std::string(".hidden"), std::string("a-b"),
                                std::string("../x"), std::string("a\0b", 3)}) {
    EXPECT_TRUE(RDTCOREventNameProblem(id, 3)) << id;
  }
  EXPECT_TRUE(RDTCOREventNameProblem("ABC", -1));
  EXPECT_FALSE(RDTCOREventNameProblem("ABC", 0));
  EXPECT_FALSE(RDTCOREventNameProblem(RDTCOREvent::nextEventID(), 4));
}

// ---- The store

class RecordingDelegate : public RDTCORStorageDelegate {
 public:
  void storageDidRemoveExpiredEvents(RDTCORStorageProtocol&,
                                     const RDTCOREventSet& events) override {
    std::lock_guard lock(mutex_);
    expired_.push_back(events);
  }
  void storageDidDropEvent(RDTCORStorageProtocol&,
                           const std::shared_ptr<RDTCOREvent>& event) override {
    std::lock_guard lock(mutex_);
    dropped_.push_back(event);
  }
  std::vector<RDTCOREventSet> expired() const {
    std::lock_guard lock(mutex_);
    return expired_;
  }
  std::vector<std::shared_ptr<RDTCOREvent>> dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<RDTCOREventSet> expired_;
  std::vector<std::shared_ptr<RDTCOREvent>> dropped_;
};

struct StoreResult {
  bool written = false;
  platform::ErrorPtr error;
};

struct BatchResult {
  std::optional<std::int64_t> batchID;
  std::optional<RDTCOREventSet> events;
};

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void writeFile(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

std::string readFile(const fs::path& path) {
  const auto data = platform::readFile(path);
  return data ? data->toString() : std::string("<missing>");
}

std::uint64_t bytesUnder(const fs::path& folder) {
  std::uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path().filename().string().front() != '.') {
      total += entry.file_size();
    }
  }
  return total;
}

class RDTCORFlatFileStorageTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    RDTCOREvent::load();
    storage_->setDelegate(delegate_);
  }

  fs::path storeFolder() const { return root_ / "RDTCORFlatFileStorage"; }
  fs::path eventFolder(RDTCORTarget target = 1000) const {
    return storeFolder() / "rdt_event_data" / std::to_string(target);
  }
  fs::path batchFolder() const { return storeFolder() / "rdt_batch_data"; }
  fs::path libraryFolder() const { return storeFolder() / "rdt_library_data"; }

  // Everything queued before it has run, completions included.
  void drain() {
    storage_->storageQueue()->sync([] {});
  }

  static std::shared_ptr<RDTCOREvent> makeEvent(std::string mappingID = "1249",
                                                RDTCORTarget target = 1000,
                                                RDTCOREventQoS tier = RDTCOREventQoSDefault,
                                                std::string payload = "payload") {
    auto event = RDTCOREvent::initWithMappingID(std::move(mappingID), target);
    event->setDataObject(std::make_shared<BytesObject>(std::move(payload)));
    event->setQosTier(tier);
    return event;
  }

  StoreResult store(const std::shared_ptr<RDTCOREvent>& event) {
    StoreResult result;
    storage_->storeEvent(event, [&](bool written, const platform::ErrorPtr& error) {
      result = {written, error};
    });
    drain();
    return result;
  }

  fs::path pathOf(const RDTCOREvent& event) const {
    return eventFolder(event.target()) / RDTCOREventFileName(event.eventID(), event.qosTier(),
                                                             event.expirationDate(),
                                                             event.mappingID());
  }

  BatchResult batch(std::shared_ptr<RDTCORStorageEventSelector> selector,
                    Date expiration = Date::fromTimeIntervalSince1970(1'900'000'000)) {
    BatchResult result;
    storage_->batchWithEventSelector(
        selector, expiration,
        [&](std::optional<std::int64_t> batchID, std::optional<RDTCOREventSet> events) {
          result = {batchID, std::move(events)};
        });
    drain();
    return result;
  }

  void removeBatch(std::int64_t batchID, bool deleteEvents) {
    bool done = false;
    storage_->removeBatchWithID(batchID, deleteEvents, [&] { done = true; });
    drain();
    EXPECT_TRUE(done);
  }

  std::optional<std::set<std::int64_t>> batchIDs(RDTCORTarget target = 1000) {
    std::optional<std::set<std::int64_t>> result;
    storage_->batchIDsForTarget(target,
                                [&](std::optional<std::set<std::int64_t>> ids) { result = ids; });
    drain();
    return result;
  }

  std::uint64_t storageSize() {
    std::uint64_t size = 0;
    storage_->storageSizeWithCallback([&](std::uint64_t s) { size = s; });
    drain();
    return size;
  }

  // Runs the work the call queues on the store's queue without the privilege that lets root
  // read any file, so that a file's permission bits bite whoever runs the tests.
  void runQueuedWorkWithoutReadPrivilege(const std::function<void()>& queueWork) {
    using Privilege = std::optional<transport_testing::WithoutFileReadPrivilege>;
    auto privilege = std::make_shared<Privilege>();
    const platform::QueuePtr& queue = storage_->storageQueue();
    // Held until all is queued, so that one worker runs the three blocks in a row.
    queue->suspend();
    queue->async([privilege] { privilege->emplace(); });
    queueWork();
    queue->async([privilege] { privilege->reset(); });
    queue->resume();
    drain();
  }

  static std::set<std::string> idsOf(const RDTCOREventSet& events) {
    std::set<std::string> ids;
    for (const auto& event : events) ids.insert(event->eventID());
    return ids;
  }

  fs::path root_ = home_.path() / "root";
  std::shared_ptr<RDTCORFlatFileStorage> storage_ =
      std::make_shared<RDTCORFlatFileStorage>(root_, nullptr);
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(RDTCORFlatFileStorageTest, StoresEachEventUnderItsNameAndSelectsByNameAlone) {
  const auto spaced = makeEvent("ab c/1-x", 1000, 3);
  const auto telemetry = makeEvent("1974", 1000, RDTCOREventQoSTelemetry);
  const auto fast = makeEvent("1974", 1000, RDTCOREventQoSFast);
  const auto otherTarget = makeEvent("ab c/1-x", 1001, 3);
  for (const auto& event : {spaced, telemetry, fast, otherTarget}) {
    const StoreResult result = store(event);
    EXPECT_TRUE(result.written);
    EXPECT_EQ(result.error, nullptr);
  }

  const std::string spacedName = spaced->eventID() + "-3-" +
                                 std::to_string(RDTCORNameSeconds(spaced->expirationDate())) +
                                 "-ab%20c%2F1-x";
  EXPECT_TRUE(fs::is_regular_file(eventFolder() / spacedName));
  const auto decoded =
      RDTCORUnarchiveFromPath<RDTCOREvent>(kRDTCOREventClassName, eventFolder() / spacedName);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*spaced));
  struct stat info {};
  ASSERT_EQ(::stat((eventFolder() / spacedName).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // Encoded text is not what clients give, so it matches nothing.
  EXPECT_FALSE(batch(std::make_shared<RDTCORStorageEventSelector>(
                         1000, std::nullopt, std::set<std::string>{"ab%20c%2F1-x"}, std::nullopt))
                   .batchID);
  const BatchResult byTier = batch(std::make_shared<RDTCORStorageEventSelector>(
      1000, std::nullopt, std::nullopt, std::set<RDTCOREventQoS>{1, 4}));
  ASSERT_TRUE(byTier.events);
  EXPECT_EQ(idsOf(*byTier.events), (std::set<std::string>{telemetry->eventID(), fast->eventID()}));
  const BatchResult byMapping = batch(std::make_shared<RDTCORStorageEventSelector>(
      1000, std::set<std::string>{spaced->eventID(), "unknown"}, std::set<std::string>{"ab c/1-x"},
      std::set<RDTCOREventQoS>{3}));
  ASSERT_TRUE(byMapping.events);
  EXPECT_EQ(idsOf(*byMapping.events), std::set<std::string>{spaced->eventID()});
  ASSERT_EQ(byMapping.events->size(), 1u);
  EXPECT_TRUE((*byMapping.events)[0]->isEqual(*spaced));

  // Taken events left the pool for their batch folders; the other target's did not.
  EXPECT_THAT(namesIn(eventFolder()), IsEmpty());
  EXPECT_EQ(namesIn(eventFolder(1001)).size(), 1u);
  EXPECT_THAT(namesIn(batchFolder()), ElementsAre("1000-1-1900000000", "1000-2-1900000000"));
  EXPECT_THAT(namesIn(batchFolder() / "1000-2-1900000000"), ElementsAre(spacedName));
}

TEST_F(RDTCORFlatFileStorageTest, RefusesMissingAndUnnameableEventsOnTheCallersThread) {
  const auto noPayload = RDTCOREvent::initWithMappingID("1249", 1000);
  const auto dashedID = makeEvent();
  dashedID->setEventID("AB-CD");
  const auto escapingID = makeEvent();
  escapingID->setEventID("../../../escape");
  const auto negativeTier = makeEvent("1249", 1000, -1);
  for (const auto& event :
       {std::shared_ptr<RDTCOREvent>(), noPayload, dashedID, escapingID, negativeTier}) {
    std::optional<StoreResult> result;
    storage_->storeEvent(event, [&](bool written, const platform::ErrorPtr& error) {
      result = StoreResult{written, error};
    });
    ASSERT_TRUE(result) << "answered before returning";
    EXPECT_FALSE(result->written);
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->domain(), "NSInternalInconsistencyException");
    EXPECT_EQ(result->error->code(), -1);
  }
  drain();
  EXPECT_EQ(bytesUnder(home_.path()), 0u);
}

TEST_F(RDTCORFlatFileStorageTest, TheSizeCapAllowsExactlyTwentyMillionBytes) {
  // An event whose archive is exactly 1,000 bytes, and one of 1,001.
  const auto archivedWithPayloadOf = [](std::size_t length) {
    auto event = makeEvent("1249", 1000, 3, std::string(length, 'p'));
    return std::make_pair(event, RDTCORArchiveToPath(event, {})->length());
  };
  std::shared_ptr<RDTCOREvent> thousand;
  std::shared_ptr<RDTCOREvent> thousandAndOne;
  for (std::size_t length = 0; length < 1000 && !(thousand && thousandAndOne); ++length) {
    const auto [event, size] = archivedWithPayloadOf(length);
    if (size == 1000 && !thousand) thousand = event;
    if (size == 1001 && !thousandAndOne) thousandAndOne = event;
  }
  ASSERT_TRUE(thousand && thousandAndOne);

  fs::create_directories(root_);
  const fs::path filler = root_ / "filler";
  std::ofstream(filler).close();
  fs::resize_file(filler, 19'999'000);

  const StoreResult refused = store(thousandAndOne);
  EXPECT_FALSE(refused.written);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->domain(), "RDTCORFlatFileStorage");
  EXPECT_EQ(refused.error->code(), 0);
  EXPECT_EQ(refused.error->localizedFailureReason(), "Storage size limit has been reached.");
  ASSERT_EQ(delegate_->dropped().size(), 1u);
  EXPECT_EQ(delegate_->dropped()[0], thousandAndOne);
  EXPECT_FALSE(fs::exists(pathOf(*thousandAndOne)));

  const StoreResult stored = store(thousand);
  EXPECT_TRUE(stored.written);
  EXPECT_EQ(storageSize(), 20'000'000u);
  EXPECT_EQ(delegate_->dropped().size(), 1u);
}

TEST_F(RDTCORFlatFileStorageTest, BatchIDsComeFromTheCounterAndNeverRepeatOnDisk) {
  EXPECT_EQ(batchIDs(), std::nullopt) << "no batch folder entries yet";
  const fs::path counter = libraryFolder() / "RDTCORFlatFileStorageBatchIDCounter";

  store(makeEvent());
  const BatchResult first = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
  EXPECT_EQ(first.batchID, 0);
  EXPECT_EQ(readFile(counter), std::string("\x01\0\0\0", 4));

  // An empty selection uses its ID up and makes no folder.
  const BatchResult empty = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
  EXPECT_EQ(empty.batchID, std::nullopt);
  EXPECT_EQ(empty.events, std::nullopt);
  EXPECT_EQ(readFile(counter), std::string("\x02\0\0\0", 4));
  EXPECT_THAT(namesIn(batchFolder()), ElementsAre("1000-0-1900000000"));

  store(makeEvent("1974", 1001));
  EXPECT_EQ(batch(RDTCORStorageEventSelector::eventSelectorForTarget(1001)).batchID, 2);
  EXPECT_EQ(batchIDs(1000), (std::set<std::int64_t>{0}));
  EXPECT_EQ(batchIDs(1001), (std::set<std::int64_t>{2}));
  EXPECT_EQ(batchIDs(1003), std::set<std::int64_t>{});

  // A damaged or reset counter starts again from 0 but skips the IDs of batches on disk:
  // removing one of two same-numbered batches would take the other's events along.
  struct Case {
    std::string counterBytes;
    std::int64_t expectedID;
  };
  const std::vector<Case> cases = {
      {std::string(), 1},
      {std::string("\x05", 1), 1},
      {std::string("\xFF\xFF\xFF\xFF", 4), 1},
      {std::string("\x00\x00\x00\x00", 4), 1},
      {std::string("\x02\x00\x00\x00", 4), 3},
      {std::string("\x07\x00\x00\x00\x00", 5), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.counterBytes.size());
    writeFile(counter, c.counterBytes);
    store(makeEvent());
    const BatchResult taken = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
    EXPECT_EQ(taken.batchID, c.expectedID);
    EXPECT_EQ(RDTCORBatchIDCounterFromData(Data::fromString(readFile(counter))), c.expectedID + 1);
    removeBatch(c.expectedID, true);
  }
  // The largest ID wraps to 0, which is free again once its batch is gone.
  removeBatch(0, true);
  writeFile(counter, std::string("\xFF\xFF\xFF\x7F", 4));
  store(makeEvent());
  EXPECT_EQ(batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000)).batchID,
            std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(readFile(counter), std::string("\0\0\0\0", 4));
}

TEST_F(RDTCORFlatFileStorageTest, RemovingABatchDeletesOrReturnsItsEvents) {
  const auto a = makeEvent();
  const auto b = makeEvent();
  store(a);
  store(b);
  const std::vector<std::string> poolNames = namesIn(eventFolder());
  ASSERT_EQ(batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000)).batchID, 0);
  const std::uint64_t sizeWithEvents = storageSize();

  removeBatch(0, false);
  EXPECT_EQ(namesIn(eventFolder()), poolNames);
  EXPECT_THAT(namesIn(batchFolder()), IsEmpty());
  EXPECT_EQ(storageSize(), sizeWithEvents);

  ASSERT_EQ(batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000)).batchID, 1);
  removeBatch(1, true);
  EXPECT_THAT(namesIn(eventFolder()), IsEmpty());
  EXPECT_THAT(namesIn(batchFolder()), IsEmpty());
  EXPECT_EQ(storageSize(), bytesUnder(root_));

  // The events' folder gone meanwhile is made again for them.
  store(a);
  ASSERT_EQ(batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000)).batchID, 2);
  fs::remove_all(eventFolder());
  removeBatch(2, false);
  EXPECT_EQ(namesIn(eventFolder()).size(), 1u);

  // A copy whose name is already back in the pool is the same event: the batch's copy goes.
  ASSERT_EQ(batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000)).batchID, 3);
  store(a);
  removeBatch(3, false);
  EXPECT_EQ(namesIn(eventFolder()).size(), 1u);
  EXPECT_THAT(namesIn(batchFolder()), IsEmpty());
}

// A kill after the service's answer and before the removal uploads the batch again at the
// next start; the removal does not wait for the writes queued meanwhile.
TEST_F(RDTCORFlatFileStorageTest, ASentBatchIsRemovedAheadOfQueuedWrites) {
  for (const bool asPromise : {false, true}) {
    SCOPED_TRACE(asPromise ? "as a promise" : "with a completion");
    store(makeEvent());
    store(makeEvent());
    const BatchResult taken = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
    ASSERT_TRUE(taken.batchID);
    const fs::path batchPath =
        batchFolder() / ("1000-" + std::to_string(*taken.batchID) + "-1900000000");
    ASSERT_TRUE(fs::exists(batchPath));

    // Held, as behind a slow write, while events keep coming and the answer arrives.
    const platform::QueuePtr& queue = storage_->storageQueue();
    queue->suspend();
    std::vector<bool> batchThereAtWrite;
    std::vector<std::shared_ptr<RDTCOREvent>> arriving;
    for (int i = 0; i < 3; ++i) {
      arriving.push_back(makeEvent());
      storage_->storeEvent(arriving.back(), [&](bool written, const platform::ErrorPtr&) {
        EXPECT_TRUE(written);
        batchThereAtWrite.push_back(fs::exists(batchPath));
      });
    }
    bool removed = false;
    if (asPromise) {
      storage_->removeBatchWithID(*taken.batchID, true)->then([&](const ZBLObject&) {
        removed = true;
        return ZBLObject::null();
      });
    } else {
      storage_->removeBatchWithID(*taken.batchID, true, [&] { removed = true; });
    }
    queue->resume();
    drain();
    if (asPromise) {
      EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return removed; }));
    }

    EXPECT_TRUE(removed);
    EXPECT_EQ(batchThereAtWrite, std::vector<bool>(3, false));
    EXPECT_FALSE(fs::exists(batchPath));
    for (const auto& event : arriving) EXPECT_TRUE(fs::exists(pathOf(*event)));
    EXPECT_EQ(namesIn(eventFolder()).size(), 3u);
    fs::remove_all(eventFolder());
  }
}

TEST_F(RDTCORFlatFileStorageTest, EventsThatCannotMoveAreNeitherLostNorCountedTwice) {
  const auto a = makeEvent();
  const auto b = makeEvent();
  store(a);
  store(b);
  const std::vector<std::string> poolNames = namesIn(eventFolder());

  // No batch folder can be made: nothing moves, so nothing is in a batch.
  const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec;
  const auto readWrite = fs::perms::owner_all;
  fs::create_directories(batchFolder());
  fs::permissions(batchFolder(), readOnly);
  BatchResult blocked{0, RDTCOREventSet()};
  runQueuedWorkWithoutReadPrivilege([&] {
    storage_->batchWithEventSelector(
        RDTCORStorageEventSelector::eventSelectorForTarget(1000),
        Date::fromTimeIntervalSince1970(1'900'000'000),
        [&](std::optional<std::int64_t> batchID, std::optional<RDTCOREventSet> events) {
          blocked = {batchID, std::move(events)};
        });
  });
  EXPECT_EQ(blocked.batchID, std::nullopt);
  EXPECT_EQ(blocked.events, std::nullopt);
  EXPECT_EQ(namesIn(eventFolder()), poolNames);
  fs::permissions(batchFolder(), readWrite);

  // Events that cannot go back keep their batch folder, to be tried again later.
  const BatchResult taken = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
  ASSERT_TRUE(taken.batchID);
  fs::permissions(eventFolder(), readOnly);
  runQueuedWorkWithoutReadPrivilege(
      [&] { storage_->removeBatchWithID(*taken.batchID, false, nullptr); });
  const std::string batchName = "1000-" + std::to_string(*taken.batchID) + "-1900000000";
  EXPECT_EQ(namesIn(batchFolder() / batchName), poolNames);
  EXPECT_EQ(batchIDs(), std::set<std::int64_t>{*taken.batchID});

  fs::permissions(eventFolder(), readWrite);
  removeBatch(*taken.batchID, false);
  EXPECT_EQ(namesIn(eventFolder()), poolNames);
  EXPECT_THAT(namesIn(batchFolder()), IsEmpty());
}

TEST_F(RDTCORFlatFileStorageTest, SelectAllTakesUnparsableNamesButNotHiddenOnes) {
  const auto event = makeEvent();
  const Data archive = *RDTCORArchiveToPath(event, {});
  writeFile(eventFolder() / "not-an-event", archive.toString());
  writeFile(eventFolder() / ".hidden-3-1-1249", archive.toString());
  writeFile(eventFolder() / "corrupt-3-1900000000-1249", "not an archive");
  fs::create_directories(eventFolder() / "folder-3-1900000000-1249");

  EXPECT_FALSE(batch(std::make_shared<RDTCORStorageEventSelector>(1000, std::nullopt, std::nullopt,
                                                                  std::set<RDTCOREventQoS>{3}))
                   .batchID)
      << "the corrupt file is deleted and nothing else matches";
  EXPECT_FALSE(fs::exists(eventFolder() / "corrupt-3-1900000000-1249"));

  const BatchResult all = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
  ASSERT_TRUE(all.events);
  ASSERT_EQ(all.events->size(), 1u);
  EXPECT_EQ((*all.events)[0]->eventID(), event->eventID());
  EXPECT_THAT(namesIn(eventFolder()), ElementsAre(".hidden-3-1-1249", "folder-3-1900000000-1249"));
}

TEST_F(RDTCORFlatFileStorageTest, AnEventThatCannotBeReadWaitsInThePoolForALaterBatch) {
  const auto readable = makeEvent();
  const auto unreadable = makeEvent();
  store(readable);
  store(unreadable);
  writeFile(eventFolder() / "corrupt-3-1900000000-1249", "not an archive");
  fs::permissions(pathOf(*unreadable), fs::perms::none);

  BatchResult first;
  runQueuedWorkWithoutReadPrivilege([&] {
    storage_->batchWithEventSelector(
        RDTCORStorageEventSelector::eventSelectorForTarget(1000),
        Date::fromTimeIntervalSince1970(1'900'000'000),
        [&](std::optional<std::int64_t> batchID, std::optional<RDTCOREventSet> events) {
          first = {batchID, std::move(events)};
        });
  });
  ASSERT_TRUE(first.events);
  EXPECT_EQ(idsOf(*first.events), std::set<std::string>{readable->eventID()});
  // Bytes that were read and are no event go; the event that could not be read stays.
  EXPECT_THAT(namesIn(eventFolder()), ElementsAre(pathOf(*unreadable).filename().string()));

  fs::permissions(pathOf(*unreadable), fs::perms::owner_read | fs::perms::owner_write);
  const BatchResult second = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
  ASSERT_TRUE(second.events);
  EXPECT_EQ(idsOf(*second.events), std::set<std::string>{unreadable->eventID()});
  EXPECT_THAT(namesIn(eventFolder()), IsEmpty());
}

TEST_F(RDTCORFlatFileStorageTest, AnExpiredEventThatCannotBeReadIsSweptOnceItCanBeReported) {
  ManualClockScope clock(Date::fromTimeIntervalSince1970(1'700'000'000));
  const auto expired = makeEvent();
  expired->setExpirationDate(Date::fromTimeIntervalSince1970(1'699'999'999));
  store(expired);
  fs::permissions(pathOf(*expired), fs::perms::none);

  runQueuedWorkWithoutReadPrivilege([&] { storage_->checkForExpirations(); });
  EXPECT_THAT(namesIn(eventFolder()), ElementsAre(pathOf(*expired).filename().string()));
  EXPECT_THAT(delegate_->expired(), IsEmpty());

  fs::permissions(pathOf(*expired), fs::perms::owner_read | fs::perms::owner_write);
  storage_->checkForExpirations();
  drain();
  EXPECT_THAT(namesIn(eventFolder()), IsEmpty());
  ASSERT_EQ(delegate_->expired().size(), 1u);
  EXPECT_EQ(idsOf(delegate_->expired()[0]), std::set<std::string>{expired->eventID()});
}

TEST_F(RDTCORFlatFileStorageTest, TheSweepDropsExpiredEventsAndDissolvesExpiredBatches) {
  ManualClockScope clock(Date::fromTimeIntervalSince1970(1'700'000'000));
  const auto expired = makeEvent();
  expired->setExpirationDate(Date::fromTimeIntervalSince1970(1'699'999'999));
  const auto fresh = makeEvent();
  const auto batched = makeEvent();
  store(batched);
  ASSERT_EQ(batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000),
                  Date::fromTimeIntervalSince1970(1'699'999'000))
                .batchID,
            0);
  store(expired);
  store(fresh);
  writeFile(eventFolder() / "UNREADABLE-3-1000-1249", "not an archive");
  writeFile(batchFolder() / "1000-7-100-x" / "inside", "kept");

  storage_->checkForExpirations();
  drain();

  EXPECT_THAT(namesIn(eventFolder()), UnorderedElementsAre(pathOf(*fresh).filename().string(),
                                                           pathOf(*batched).filename().string()));
  EXPECT_THAT(namesIn(batchFolder()), ElementsAre("1000-7-100-x"));
  ASSERT_EQ(delegate_->expired().size(), 1u);
  EXPECT_EQ(idsOf(delegate_->expired()[0]), std::set<std::string>{expired->eventID()});
  EXPECT_EQ(storageSize(), bytesUnder(root_));

  // A batch name with a fourth part belongs to no batch operation.
  EXPECT_EQ(batchIDs(), std::set<std::int64_t>{});
  removeBatch(7, true);
  EXPECT_TRUE(fs::exists(batchFolder() / "1000-7-100-x" / "inside"));

  // Nothing expired: the delegate hears nothing.
  storage_->checkForExpirations();
  drain();
  EXPECT_EQ(delegate_->expired().size(), 1u);
}

// Entries no filtered batch would take and that never expire would stay for good.
TEST_F(RDTCORFlatFileStorageTest, TheSweepRemovesWhatIsNoEventFileFromTheTargetFolders) {
  const auto kept = makeEvent();
  store(kept);
  const std::string archive = RDTCORArchiveToPath(makeEvent(), {})->toString();
  const std::vector<std::string> stray = {
      "notanevent",      "-3-1900000000-1249",       "ID-x-1900000000-1249",
      "ID-3--1249",      "ID-3-1900000000-12%4",     "ID-3-19000000OO-1249",
      "ID-3-1900000000", "linked-3-1900000000-1249", "folder-3-1900000000-1249"};
  for (const std::string& name : stray) {
    if (name.starts_with("linked")) {
      fs::create_symlink(pathOf(*kept), eventFolder() / name);
    } else if (name.starts_with("folder")) {
      writeFile(eventFolder() / name / "inside", archive);
    } else {
      writeFile(eventFolder() / name, archive);
    }
  }
  // Writers' temporary files (of another process, perhaps) and what is outside the target
  // folders stay.
  writeFile(eventFolder() / ".writing-3-1-1249", archive);
  writeFile(eventFolder(1003) / "another-target", archive);
  writeFile(storeFolder() / "rdt_event_data" / "notatarget", archive);

  transport_testing::LogCapture log;
  storage_->checkForExpirations();
  drain();

  EXPECT_THAT(namesIn(eventFolder()),
              UnorderedElementsAre(pathOf(*kept).filename().string(), ".writing-3-1-1249"));
  EXPECT_THAT(namesIn(eventFolder(1003)), IsEmpty());
  EXPECT_TRUE(fs::exists(storeFolder() / "rdt_event_data" / "notatarget"));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("removed 10 entries that are not event files"), std::string::npos)
      << lines[0];
  EXPECT_TRUE(delegate_->expired().empty());
  EXPECT_EQ(storageSize(), bytesUnder(root_));
}

TEST_F(RDTCORFlatFileStorageTest, AFileWhereAStoreFolderBelongsIsSetAsideAndTheFolderMadeAgain) {
  ManualClockScope clock(Date::fromTimeIntervalSince1970(1'700'000'000));
  const std::string suffix = ".damaged-20231114T221320Z";
  const std::vector<fs::path> folders = {storeFolder(), storeFolder() / "rdt_event_data",
                                         batchFolder(), libraryFolder(), eventFolder()};
  for (const fs::path& folder : folders) {
    SCOPED_TRACE(folder.string());
    fs::remove_all(root_);
    writeFile(folder, "in the way");

    std::vector<std::string> lines;
    {
      transport_testing::LogCapture log;
      const auto event = makeEvent();
      EXPECT_TRUE(store(event).written);
      const BatchResult taken = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
      ASSERT_TRUE(taken.batchID);
      removeBatch(*taken.batchID, false);
      EXPECT_TRUE(fs::exists(pathOf(*event)));
      lines = log.lines();
    }
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(readFile(folder.string() + suffix), "in the way");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("set aside as " + folder.string() + suffix), std::string::npos)
        << lines[0];
  }

  // A name taken by an earlier set-aside file is not replaced.
  writeFile(eventFolder(1001), "second");
  writeFile(eventFolder(1001).string() + suffix, "first");
  EXPECT_TRUE(store(makeEvent("1249", 1001)).written);
  EXPECT_EQ(readFile(eventFolder(1001).string() + suffix), "first");
  EXPECT_EQ(readFile(eventFolder(1001).string() + suffix + "-2"), "second");
}

TEST_F(RDTCORFlatFileStorageTest, NoBatchOrSweepReportReadsMoreThanTheCapAtOnce) {
  // Two events of 10,500,000 bytes each, put into the pool past the cap by something else.
  ManualClockScope clock(Date::fromTimeIntervalSince1970(1'700'000'000));
  std::vector<std::shared_ptr<RDTCOREvent>> large;
  for (int i = 0; i < 2; ++i) {
    auto event = makeEvent("1249", 1000, 3, std::string(10'500'000, 'x'));
    event->setExpirationDate(Date::fromTimeIntervalSince1970(1'800'000'000));
    writeFile(pathOf(*event), RDTCORArchiveToPath(event, {})->toString());
    large.push_back(std::move(event));
  }
  const BatchResult first = batch(RDTCORStorageEventSelector::eventSelectorForTarget(1000));
  ASSERT_TRUE(first.events);
  EXPECT_EQ(first.events->size(), 1u);
  EXPECT_EQ(namesIn(eventFolder()).size(), 1u) << "the other waits in the pool";
  removeBatch(*first.batchID, false);

  clock.clock().setNow(Date::fromTimeIntervalSince1970(1'900'000'000));
  storage_->checkForExpirations();
  drain();
  ASSERT_EQ(delegate_->expired().size(), 2u);
  EXPECT_EQ(delegate_->expired()[0].size() + delegate_->expired()[1].size(), 2u);
  EXPECT_THAT(namesIn(eventFolder()), IsEmpty());
}

TEST_F(RDTCORFlatFileStorageTest, HasEventsCountsAnyEntryOfTheTargetFolder) {
  const auto hasEvents = [&](RDTCORTarget target) {
    std::optional<bool> answer;
    storage_->hasEventsForTarget(target, [&](bool value) { answer = value; });
    drain();
    return answer;
  };
  EXPECT_EQ(hasEvents(1000), false);
  EXPECT_TRUE(fs::is_directory(eventFolder()));
  writeFile(eventFolder() / ".hidden", "x");
  EXPECT_EQ(hasEvents(1000), true);
  store(makeEvent("1974", 1001));
  EXPECT_EQ(hasEvents(1001), true);
  EXPECT_EQ(hasEvents(1002), false);
}

TEST_F(RDTCORFlatFileStorageTest, LibraryDataIsKeptReadRemovedAndCountedOnce) {
  const auto fetch = [&](const std::string& key) {
    std::pair<std::optional<Data>, platform::ErrorPtr> result;
    storage_->libraryDataForKey(
        key,
        [&](const std::optional<Data>& data, const platform::ErrorPtr& error) {
          result = {data, error};
        },
        nullptr);
    drain();
    return result;
  };
  const auto storeData = [&](const std::string& bytes, const std::string& key) {
    std::optional<platform::ErrorPtr> result;
    storage_->storeLibraryData(Data::fromString(bytes), key,
                               [&](const platform::ErrorPtr& error) { result = error; });
    drain();
    return result;
  };

  const auto missing = fetch("key");
  EXPECT_EQ(missing.first, std::nullopt);
  ASSERT_TRUE(missing.second);
  EXPECT_EQ(missing.second->code(), platform::kFileReadNoSuchFileError);

  std::optional<platform::ErrorPtr> refused;
  storage_->storeLibraryData(Data(), "key",
                             [&](const platform::ErrorPtr& error) { refused = error; });
  ASSERT_TRUE(refused && *refused) << "answered before returning";
  EXPECT_EQ((*refused)->domain(), "NSInternalInconsistencyException");

  // Rewrites replace a file's size in the total, whether or not the total was known yet.
  EXPECT_EQ(storeData(std::string(100, 'a'), "key"), platform::ErrorPtr());
  EXPECT_EQ(storageSize(), 100u);
  EXPECT_EQ(storeData(std::string(40, 'b'), "key"), platform::ErrorPtr());
  EXPECT_EQ(storageSize(), 40u);
  const auto storedKey = fetch("key");
  EXPECT_EQ(storedKey.first, Data::fromString(std::string(40, 'b')));
  EXPECT_EQ(storedKey.second, nullptr);

  storage_->sizeTracker()->resetCachedSize();
  EXPECT_EQ(storeData(std::string(70, 'c'), "key"), platform::ErrorPtr());
  EXPECT_EQ(storageSize(), 70u);

  storage_->sizeTracker()->resetCachedSize();
  storage_->libraryDataForKey("key", nullptr,
                              [] { return Data::fromString(std::string(10, 'd')); });
  drain();
  EXPECT_EQ(readFile(libraryFolder() / "key"), std::string(10, 'd'));
  EXPECT_EQ(storageSize(), 10u);
  storage_->libraryDataForKey("key", nullptr,
                              [] { return Data::fromString(std::string(25, 'e')); });
  storage_->libraryDataForKey("key", nullptr, [] { return Data(); });
  storage_->libraryDataForKey("key", nullptr, [] { return std::nullopt; });
  drain();
  EXPECT_EQ(readFile(libraryFolder() / "key"), std::string(25, 'e'));
  EXPECT_EQ(storageSize(), 25u);

  storage_->sizeTracker()->resetCachedSize();
  std::optional<platform::ErrorPtr> removed;
  storage_->removeLibraryDataForKey("key",
                                    [&](const platform::ErrorPtr& error) { removed = error; });
  drain();
  EXPECT_EQ(removed, platform::ErrorPtr());
  EXPECT_FALSE(fs::exists(libraryFolder() / "key"));
  EXPECT_EQ(storageSize(), 0u);
  removed.reset();
  storage_->removeLibraryDataForKey("key",
                                    [&](const platform::ErrorPtr& error) { removed = error; });
  drain();
  EXPECT_EQ(removed, platform::ErrorPtr()) << "absence is not an error";
}

TEST_F(RDTCORFlatFileStorageTest, LibraryFilesThatCannotBeOursAreNotRead) {
  fs::create_directories(libraryFolder());
  const fs::path huge = libraryFolder() / "huge";
  std::ofstream(huge).close();
  fs::resize_file(huge, 20'000'001);
  ASSERT_EQ(::mkfifo((libraryFolder() / "pipe").c_str(), 0600), 0);

  for (const char* key : {"huge", "pipe"}) {
    std::optional<std::pair<std::optional<Data>, platform::ErrorPtr>> result;
    storage_->libraryDataForKey(
        key,
        [&](const std::optional<Data>& data, const platform::ErrorPtr& error) {
          result = std::make_pair(data, error);
        },
        nullptr);
    drain();
    ASSERT_TRUE(result) << key;
    EXPECT_EQ(result->first, std::nullopt) << key;
    ASSERT_TRUE(result->second) << key;
    EXPECT_EQ(result->second->domain(), platform::kCocoaErrorDomain);
  }
}

TEST_F(RDTCORFlatFileStorageTest, BackgroundingHoldsATaskUntilQueuedWorkIsDone) {
  const auto application = std::make_shared<RecordingApplication>();
  storage_->storageQueue()->suspend();
  storage_->appWillBackground(application);
  EXPECT_THAT(application->names(), IsEmpty());
  storage_->storageQueue()->resume();
  drain();
  EXPECT_THAT(application->names(), ElementsAre("RDTStorage"));
  EXPECT_THAT(application->ended(), ElementsAre(42u));
}

}  // namespace
