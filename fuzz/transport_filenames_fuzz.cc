// Reads a file name as the event store reads the names in its folders: as an event name (its
// mapping ID percent-decoded for selection), as a batch name, and as a name the expiry sweep
// keeps or removes; a name built again from what was read must read back the same (and be
// kept), and encoding any text must decode back to it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorageFormat.h"
#include "fuzz/fuzz_input.h"
#include "platform/system_log.h"

namespace {

void setUp() {
  platform::SystemLog::setCaptureSink([](const platform::SystemLog::Entry&) {});
}

bool onlyNameCharacters(const std::string& encoded) {
  return encoded.find_first_of(std::string("/.\0", 3)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (setUp(), true);
  (void)ready;
  const std::string name(fuzz::textOf(data, size));

  const std::string encoded = RDTCORPercentEncodeMappingID(name);
  fuzz::fuzzCheck(onlyNameCharacters(encoded), "an encoded mapping ID names no path");
  fuzz::fuzzCheck(RDTCORPercentDecodeMappingID(encoded) == name, "encoding decodes back");

  if (RDTCORIsEventFileName(name)) {
    const auto event = RDTCOREventComponentsFromFilename(name);
    fuzz::fuzzCheck(event && !RDTCOREventNameProblem(event->eventID, 0),
                    "an event file name parses into an ID the store could keep");
  }

  if (const auto event = RDTCOREventComponentsFromFilename(name)) {
    fuzz::fuzzCheck(event->eventID.find('-') == std::string::npos, "an event ID holds no dash");
    const auto mappingID = RDTCORPercentDecodeMappingID(event->mappingID);
    if (mappingID && !RDTCOREventNameProblem(event->eventID, event->qosTier)) {
      const std::string rebuilt =
          RDTCOREventFileName(event->eventID, event->qosTier, event->expiration, *mappingID);
      fuzz::fuzzCheck(RDTCORIsEventFileName(rebuilt), "the store's own names are event names");
      const auto again = RDTCOREventComponentsFromFilename(rebuilt);
      fuzz::fuzzCheck(again.has_value(), "a rebuilt event name parses");
      fuzz::fuzzCheck(again->eventID == event->eventID && again->qosTier == event->qosTier,
                      "a rebuilt event name keeps its ID and tier");
      fuzz::fuzzCheck(RDTCORPercentDecodeMappingID(again->mappingID) == mappingID,
                      "a rebuilt event name keeps its mapping ID");
      if (event->expiration.timeIntervalSince1970() >= 0) {
        fuzz::fuzzCheck(again->expiration == event->expiration,
                        "a rebuilt event name keeps its expiry");
      }
    }
  }

  if (const auto batch = RDTCORBatchComponentsFromFilename(name)) {
    const auto again = RDTCORBatchComponentsFromFilename(
        RDTCORBatchDirectoryName(batch->target, batch->batchID, batch->expiration));
    fuzz::fuzzCheck(again.has_value(), "a rebuilt batch name parses");
    fuzz::fuzzCheck(again->target == batch->target && again->batchID == batch->batchID,
                    "a rebuilt batch name keeps its target and ID");
  }
  return 0;
}
