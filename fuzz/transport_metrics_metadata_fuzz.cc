// Reads the dropped-event metrics record as the event store reads it (one
// RDTCORMetricsMetadata, secure coding); a record that decodes must archive again into an equal
// one, merge with itself and encode as a metrics report.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "fuzz/fuzz_input.h"
#include "platform/system_log.h"

namespace {

void setUp() {
  RDTCORMetricsLoad();
  platform::SystemLog::setCaptureSink([](const platform::SystemLog::Entry&) {});
}

bool sameRecord(const RDTCORMetricsMetadata& a, const RDTCORMetricsMetadata& b) {
  const double x = a.collectionStartDate().timeIntervalSince1970();
  const double y = b.collectionStartDate().timeIntervalSince1970();
  return (x == y || (std::isnan(x) && std::isnan(y))) &&
         *a.logSourceMetrics() == *b.logSourceMetrics();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (setUp(), true);
  (void)ready;
  platform::ErrorPtr error;
  const auto record = std::dynamic_pointer_cast<RDTCORMetricsMetadata>(
      RDTCORUnarchiveFromData(kRDTCORMetricsMetadataClassName, fuzz::dataOf(data, size), &error));
  if (!record) return 0;
  fuzz::fuzzCheck(record->logSourceMetrics() != nullptr, "a read record has counts");

  const auto archive = RDTCORArchiveToPath(record, {});
  fuzz::fuzzCheck(archive.has_value(), "a read record archives again");
  const auto again = std::dynamic_pointer_cast<RDTCORMetricsMetadata>(
      RDTCORUnarchiveFromData(kRDTCORMetricsMetadataClassName, *archive));
  fuzz::fuzzCheck(again && sameRecord(*again, *record), "a record reads back as it was written");

  // What the controller and the uploader do with a stored record.
  const auto doubled = record->logSourceMetrics()->logSourceMetricsByMergingWithLogSourceMetrics(
      *record->logSourceMetrics());
  fuzz::fuzzCheck(doubled->droppedEventCounterByLogSource().size() ==
                      record->logSourceMetrics()->droppedEventCounterByLogSource().size(),
                  "merging a record with itself keeps its log sources");
  const auto metrics = RDTCORMetrics::metricsWithMetricsMetadata(
      *record, RDTCORStorageMetadata(1, kRDTCORFlatFileStorageSizeLimit));
  metrics->transportBytes();
  metrics->description();
  return 0;
}
