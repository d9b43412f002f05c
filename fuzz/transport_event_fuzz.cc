// Reads a stored event file as the event store reads it (one RDTCOREvent, secure coding),
// then works its custom bytes; an event that decodes must archive again into an equal event.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "fuzz/fuzz_input.h"
#include "platform/system_log.h"

namespace {

void setUp() {
  RDTCOREvent::load();
  platform::SystemLog::setCaptureSink([](const platform::SystemLog::Entry&) {});
}

bool sameDate(const std::optional<platform::Date>& a, const std::optional<platform::Date>& b) {
  if (!a || !b) return !a && !b;
  const double x = a->timeIntervalSince1970();
  const double y = b->timeIntervalSince1970();
  return x == y || (std::isnan(x) && std::isnan(y));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (setUp(), true);
  (void)ready;
  platform::ErrorPtr error;
  const auto event = std::dynamic_pointer_cast<RDTCOREvent>(
      RDTCORUnarchiveFromData(kRDTCOREventClassName, fuzz::dataOf(data, size), &error));
  fuzz::fuzzCheck(event || error, "a refused event says why");
  if (!event) return 0;
  fuzz::fuzzCheck(event->serializedDataObjectBytes().has_value(), "a read event has a payload");
  fuzz::fuzzCheck(!event->eventID().empty(), "a read event has an ID");

  const auto archive = RDTCORArchiveToPath(event, {});
  fuzz::fuzzCheck(archive.has_value(), "a read event archives again");
  const auto again = std::dynamic_pointer_cast<RDTCOREvent>(
      RDTCORUnarchiveFromData(kRDTCOREventClassName, *archive));
  fuzz::fuzzCheck(again != nullptr, "an event written again reads again");
  fuzz::fuzzCheck(again->isEqual(*event) && again->customBytes() == event->customBytes() &&
                      sameDate(again->expirationDate(), event->expirationDate()),
                  "an event reads back as it was written");

  // The uploader reads and rewrites the custom bytes of every stored event.
  event->eventCode();
  event->networkConnectionInfoData();
  const bool needsInfo = event->needsNetworkConnectionInfoPopulated();
  event->setNeedsNetworkConnectionInfoPopulated(!needsInfo);
  event->setNetworkConnectionInfoData(platform::Data::fromString("0123456789abcdef"));
  event->setEventCode(7);
  return 0;
}
