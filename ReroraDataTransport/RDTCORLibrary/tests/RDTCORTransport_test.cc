#include "ReroraDataTransport/RDTCORLibrary/RDTCORTransport.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "tests/support/main_queue.h"

namespace {

using testing::ElementsAre;
using testing::EndsWith;
using testing::IsEmpty;
using transport_testing::BytesObject;
using transport_testing::FakeStorage;
using transport_testing::LogCapture;
using transport_testing::RecordingApplication;

// Answers the same object each time, recording what it was given.
class FixedTransformer : public RDTCOREventTransformer {
 public:
  explicit FixedTransformer(std::shared_ptr<RDTCOREvent> answer) : answer_(std::move(answer)) {}
  std::shared_ptr<RDTCOREvent>
  transformRDTEvent(const std::shared_ptr<RDTCOREvent>& event) override {
    received_.push_back(event);
    return answer_;
  }
  const std::vector<std::shared_ptr<RDTCOREvent>>& received() const { return received_; }

 private:
  std::shared_ptr<RDTCOREvent> answer_;
  std::vector<std::shared_ptr<RDTCOREvent>> received_;
};

struct Outcome {
  bool written = false;
  platform::ErrorPtr error;
};

TEST(RDTCORTransportCreationTest, AnEmptyMappingIDOrATargetBelowOneMakesNoTransport) {
  struct Case {
    std::string mappingID;
    RDTCORTarget target;
    std::vector<std::string> assertions;
  } const cases[] = {
      {"", 1000, {"A mapping ID cannot be nil or empty"}},
      {"1249", 0, {"A target cannot be negative or 0"}},
      {"1249", -5, {"A target cannot be negative or 0"}},
      {"", -1, {"A mapping ID cannot be nil or empty", "A target cannot be negative or 0"}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(RDTCORTransport::initWithMappingID(c.mappingID, {}, c.target), nullptr);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), c.assertions.size()) << c.mappingID << " " << c.target;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_THAT(lines[i], testing::StartsWith("[ReroraDataTransport][I-RDTCOR001006] ("));
      EXPECT_THAT(lines[i], EndsWith(" : " + c.assertions[i]));
    }
  }
}

TEST(RDTCORTransportCreationTest, ATransportKeepsItsFieldsAndMakesEventsFromThem) {
  LogCapture log(RDTCORLoggingLevelDebug);
  const auto transformer = std::make_shared<FixedTransformer>(nullptr);
  const auto transport = RDTCORTransport::initWithMappingID("1206", {transformer}, 1002);
  ASSERT_NE(transport, nullptr);
  EXPECT_EQ(transport->mappingID(), "1206");
  EXPECT_EQ(transport->target(), 1002);
  EXPECT_THAT(transport->transformers(), ElementsAre(transformer));
  EXPECT_EQ(transport->transformerInstance(), RDTCORTransformer::sharedInstance());
  EXPECT_EQ(RDTCORTransformer::sharedInstance()->eventWritingQueue()->label(),
            "com.rerora.RDTCORTransformer");
  EXPECT_EQ(RDTCORTransformer::sharedInstance()->application(),
            RDTCORApplication::sharedApplication());
  EXPECT_TRUE(log.contains("[ReroraDataTransport][I-RDTCOR000000] Transport object created. "
                           "mappingID:1206 transformers:("));
  EXPECT_TRUE(log.contains("<(anonymous namespace)::FixedTransformer: 0x"));
  EXPECT_TRUE(log.contains(" target:1002"));

  const auto event = transport->eventForTransport();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->mappingID(), "1206");
  EXPECT_EQ(event->target(), 1002);
  EXPECT_EQ(event->productData(), nullptr);
  const auto product = std::make_shared<RDTCORProductData>(42);
  const auto withProduct = transport->eventForTransportWithProductData(product);
  ASSERT_NE(withProduct, nullptr);
  EXPECT_EQ(withProduct->mappingID(), "1206");
  EXPECT_EQ(withProduct->target(), 1002);
  EXPECT_EQ(withProduct->productData(), product);
}

class RDTCORTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registrar_->registerStorage(storage_, 1000);
    transport_->setTransformerInstance(transformer_);
  }

  std::shared_ptr<RDTCOREvent> newEvent() {
    auto event = transport_->eventForTransport();
    event->setDataObject(std::make_shared<BytesObject>());
    return event;
  }
  // Sends and waits for the completion (the fake store answers on the transformer's queue).
  Outcome send(const std::function<void(RDTCORStorageProtocol::StoreCompletion)>& sending) {
    auto outcome = std::make_shared<std::optional<Outcome>>();
    sending([outcome](bool written, const platform::ErrorPtr& error) {
      *outcome = Outcome{written, error};
    });
    transformer_->eventWritingQueue()->sync([] {});
    EXPECT_TRUE(outcome->has_value());
    return outcome->value_or(Outcome{});
  }
  Outcome sendData(const std::shared_ptr<RDTCOREvent>& event) {
    return send([&](auto done) { transport_->sendDataEvent(event, std::move(done)); });
  }

  testing_support::ManualClockScope clock_;
  std::shared_ptr<RecordingApplication> application_ = std::make_shared<RecordingApplication>(7);
  std::shared_ptr<RDTCORRegistrar> registrar_ = std::make_shared<RDTCORRegistrar>();
  std::shared_ptr<RDTCORTransformer> transformer_ =
      std::make_shared<RDTCORTransformer>(application_, registrar_);
  std::shared_ptr<FakeStorage> storage_ = std::make_shared<FakeStorage>();
  std::shared_ptr<RDTCORTransport> transport_ =
      RDTCORTransport::initWithMappingID("1249", {}, 1000);
};

TEST_F(RDTCORTransportTest, TheStoreGetsACopyStampedAtSendTimeInTheOrderSent) {
  const auto event = newEvent();
  const auto created = RDTCORClock::snapshot();
  event->setClockSnapshot(created);
  clock_.advance(100);

  const Outcome outcome = sendData(event);
  EXPECT_TRUE(outcome.written);
  EXPECT_EQ(outcome.error, nullptr);
  const auto stored = storage_->events();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_NE(stored[0], event);
  EXPECT_EQ(stored[0]->eventID(), event->eventID());
  EXPECT_EQ(stored[0]->serializedDataObjectBytes(), event->serializedDataObjectBytes());
  ASSERT_NE(stored[0]->clockSnapshot(), nullptr);
  EXPECT_EQ(stored[0]->clockSnapshot()->timeMillis(), created->timeMillis() + 100'000);
  EXPECT_EQ(event->clockSnapshot(), created);

  std::vector<std::string> sent;
  for (int i = 0; i < 20; ++i) {
    const auto next = newEvent();
    sent.push_back(next->eventID());
    transport_->sendDataEvent(next);
  }
  transformer_->eventWritingQueue()->sync([] {});
  std::vector<std::string> arrived;
  for (const auto& e : storage_->events()) arrived.push_back(e->eventID());
  arrived.erase(arrived.begin());
  EXPECT_EQ(arrived, sent);
}

TEST_F(RDTCORTransportTest, TelemetryMarksTheCallersEventAndALaterDataSendKeepsTheTier) {
  const auto event = newEvent();
  EXPECT_TRUE(
      send([&](auto done) { transport_->sendTelemetryEvent(event, std::move(done)); }).written);
  EXPECT_EQ(event->qosTier(), RDTCOREventQoSTelemetry);

  LogCapture log;
  EXPECT_TRUE(sendData(event).written);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_THAT(log.lines()[0], EndsWith(" : Use -sendTelemetryEvent, please."));
  const auto stored = storage_->events();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0]->qosTier(), RDTCOREventQoSTelemetry);
  EXPECT_EQ(stored[1]->qosTier(), RDTCOREventQoSTelemetry);

  // A data event of another tier goes through without a word.
  LogCapture quiet;
  const auto fast = newEvent();
  fast->setQosTier(RDTCOREventQoSFast);
  EXPECT_TRUE(sendData(fast).written);
  EXPECT_THAT(quiet.lines(), IsEmpty());
  EXPECT_EQ(storage_->events().back()->qosTier(), RDTCOREventQoSFast);
}

TEST_F(RDTCORTransportTest, EveryTransformerSeesTheEventAsSentAndTheLastResultIsStored) {
  const auto replacement = newEvent();
  const auto last = newEvent();
  const auto first = std::make_shared<FixedTransformer>(replacement);
  const auto second = std::make_shared<FixedTransformer>(last);
  transport_->setTransformers({first, second});
  LogCapture log(RDTCORLoggingLevelDebug);
  EXPECT_TRUE(sendData(newEvent()).written);
  ASSERT_EQ(first->received().size(), 1u);
  EXPECT_THAT(second->received(), ElementsAre(first->received()[0]));
  EXPECT_THAT(storage_->events(), ElementsAre(last));
  EXPECT_TRUE(log.contains("Applying a transformer to event <RDTCOREvent: 0x"));
}

TEST_F(RDTCORTransportTest, ATransformerThatDropsOrCannotTransformStoresNothing) {
  struct Case {
    const char* name;
    RDTCOREventTransformers transformers;
    bool logsError;
  } const cases[] = {
      {"returns nothing", {std::make_shared<FixedTransformer>(nullptr)}, false},
      {"drops after a first",
       {std::make_shared<FixedTransformer>(newEvent()),
        std::make_shared<FixedTransformer>(nullptr)},
       false},
      {"null entry", {nullptr}, true},
  };
  for (const Case& c : cases) {
    transport_->setTransformers(c.transformers);
    LogCapture log;
    const Outcome outcome = sendData(newEvent());
    EXPECT_FALSE(outcome.written) << c.name;
    EXPECT_EQ(outcome.error, nullptr) << c.name;
    EXPECT_THAT(storage_->events(), IsEmpty()) << c.name;
    EXPECT_EQ(log.contains("[ReroraDataTransport][I-RDTCOR001000] Transformer doesn't implement "
                           "transformRDTEvent: (null)"),
              c.logsError)
        << c.name;
  }
}

TEST_F(RDTCORTransportTest, TheStoresOutcomeComesBackUnchanged) {
  const auto error = platform::makeError("RDTCORFlatFileStorage", 0);
  storage_->setWriteResult(false, error);
  const Outcome outcome = sendData(newEvent());
  EXPECT_FALSE(outcome.written);
  EXPECT_EQ(outcome.error, error);
}

TEST_F(RDTCORTransportTest, ATargetWithoutAStoreCompletesWithAnError) {
  transport_->setTarget(1003);
  const Outcome outcome = sendData(newEvent());
  EXPECT_FALSE(outcome.written);
  ASSERT_NE(outcome.error, nullptr);
  EXPECT_EQ(outcome.error->domain(), "RDTCORTransformer");
  EXPECT_EQ(outcome.error->code(), -1);
  EXPECT_EQ(outcome.error->localizedFailureReason(), "No storage is registered for target 1003.");
  EXPECT_THAT(storage_->events(), IsEmpty());
}

TEST_F(RDTCORTransportTest, ANilEventIsReportedTwiceAndCompletesUnwritten) {
  LogCapture log;
  const Outcome outcome = sendData(nullptr);
  EXPECT_FALSE(outcome.written);
  ASSERT_NE(outcome.error, nullptr);
  EXPECT_EQ(outcome.error->domain(), "RDTCORTransformer");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], EndsWith(" : You can't send a nil event"));
  EXPECT_THAT(lines[1], EndsWith(" : You can't write a nil event"));
  EXPECT_THAT(storage_->events(), IsEmpty());
}

TEST_F(RDTCORTransportTest, EachSendHoldsABackgroundTaskUntilTheStoreAnswers) {
  LogCapture log(RDTCORLoggingLevelWarnings);
  EXPECT_TRUE(sendData(newEvent()).written);
  EXPECT_THAT(application_->names(), ElementsAre("RDTTransformer"));
  EXPECT_THAT(application_->ended(), ElementsAre(7u));
  EXPECT_THAT(log.lines(), IsEmpty());

  // The task ran out before the store answered: its handler ended it, so the answer finds
  // no task to end.
  transformer_->eventWritingQueue()->suspend();
  auto outcome = std::make_shared<std::optional<Outcome>>();
  transport_->sendDataEvent(newEvent(), [outcome](bool written, const platform::ErrorPtr& error) {
    *outcome = Outcome{written, error};
  });
  application_->expireLastTask();
  EXPECT_THAT(application_->ended(), ElementsAre(7u, 7u));
  transformer_->eventWritingQueue()->resume();
  transformer_->eventWritingQueue()->sync([] {});
  ASSERT_TRUE(outcome->has_value());
  EXPECT_TRUE((*outcome)->written);
  EXPECT_THAT(application_->ended(), ElementsAre(7u, 7u));
  EXPECT_THAT(log.lines(),
              ElementsAre("[ReroraDataTransport][I-RDTCOR000000] Attempted to cancel invalid "
                          "background task in RDTCORTransformer."));
}

// This platform has no background tasks: every send ends with the warning, which the default
// minimum level (errors) keeps out of the log.
TEST_F(RDTCORTransportTest, WithThePlatformsApplicationEverySendWarnsOfAnInvalidTask) {
  const auto transformer =
      std::make_shared<RDTCORTransformer>(RDTCORApplication::sharedApplication(), registrar_);
  transport_->setTransformerInstance(transformer);
  const auto sendAndWait = [&] {
    transport_->sendDataEvent(newEvent());
    transformer->eventWritingQueue()->sync([] {});
  };
  LogCapture quiet;
  sendAndWait();
  EXPECT_THAT(quiet.lines(), IsEmpty());
  LogCapture warnings(RDTCORLoggingLevelWarnings);
  sendAndWait();
  sendAndWait();
  EXPECT_EQ(warnings.lines().size(), 2u);
  EXPECT_TRUE(
      warnings.contains("Attempted to cancel invalid background task in RDTCORTransformer."));
  EXPECT_EQ(storage_->events().size(), 3u);
}

}  // namespace
