// Reads a raw event and its metadata as a damaged analytics database may hand them back. The
// input is a "raw_events" row (a byte choosing which columns are present, then each column
// of any kind, the event blob any bytes) followed by a "raw_events_metadata" row. A raw event
// row is refused with an error or rebuilds into an event of the row's name, row id and
// fingerprint, whose bytes written directly are those of its message, and which stored again
// the way new events are stored reads back with the same origin and parameter names; a
// metadata row is refused (with an error unless its bytes do not decode) or gives a bundle
// that encodes and decodes again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "analytics/data/APMDatabaseRawEvents.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "fuzz/fuzz_input.h"
#include "platform/data.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

using namespace APMPBEventFields;

// The reader of a row needs no open file.
class RowReader final : public APMDatabaseRawEvents {};

platform::Value readValue(fuzz::FuzzInput& input) {
  const unsigned selector = input.byte() % 6;
  if (auto value = fuzz::columnValue(input, selector)) return *value;
  if (selector == 4) return platform::Value(platform::Data::fromString(input.shortText()));
  return platform::Value(static_cast<std::int64_t>(input.byte()));
}

// Blobs may be long: a length of two bytes.
platform::Data readBlob(fuzz::FuzzInput& input) {
  return platform::Data::fromString(input.text(static_cast<std::size_t>(input.integer(2))));
}

std::vector<std::string> parameterNames(const APMEvent& event) {
  std::vector<std::string> names = event.parameters().keys();
  std::sort(names.begin(), names.end());
  return names;
}

void checkRawEvent(fuzz::FuzzInput& input, RowReader& reader) {
  const std::uint8_t shape = input.byte();
  platform::Dictionary record;
  if (!(shape & 1)) record.set("rowid", readValue(input));
  // Names and times are mostly of their own kind, so that events get built.
  if (!(shape & 2)) record.set("name", shape & 0x20 ? readValue(input) : input.shortText());
  if (!(shape & 4)) {
    record.set("timestamp", shape & 0x40 ? readValue(input)
                                         : platform::Value(static_cast<double>(input.integer(4))));
  }
  if (!(shape & 8)) record.set("metadata_fingerprint", readValue(input));
  if (!(shape & 0x10)) record.set("data", shape & 0x80 ? readValue(input) : readBlob(input));

  platform::ErrorPtr error;
  const auto data = reader.rawEventDataFromDictionary(&record, &error);
  if (data == nullptr) {
    fuzzCheck(error != nullptr, "a refused raw event row says why");
    return;
  }
  fuzzCheck(data->rawEvent() != nullptr, "a raw event has its event");
  fuzzCheck(data->rowID() == record["rowid"].asInt(), "a raw event keeps its row id");
  fuzzCheck(data->metadataFingerprint() == record["metadata_fingerprint"].asInt(),
            "a raw event keeps its fingerprint");
  const APMEvent& event = *data->rawEvent();
  fuzzCheck(record["name"].asString() != nullptr && event.name() == *record["name"].asString(),
            "a raw event keeps its name");
  fuzzCheck(!event.origin().empty(), "a raw event has an origin");

  // Stored again as a new event is, it reads back the same.
  const auto proto = event.protoEvent();
  fuzzCheck(proto != nullptr, "a raw event has a wire form");
  nano_clear_field(proto.get(), kEventName);
  const auto bytes = proto->protoBuffer();
  fuzzCheck(bytes.has_value(), "a raw event encodes");
  fuzzCheck(event.protoBytes(/*withName=*/false) == bytes,
            "a raw event's bytes written directly are the message's bytes");
  const platform::Dictionary again{{"rowid", record["rowid"]},
                                   {"name", platform::Value(event.name())},
                                   {"timestamp", platform::Value(event.timestamp())},
                                   {"metadata_fingerprint", record["metadata_fingerprint"]},
                                   {"data", platform::Value(*bytes)}};
  platform::ErrorPtr againError;
  const auto reread = reader.rawEventDataFromDictionary(&again, &againError);
  fuzzCheck(reread != nullptr, "a raw event stored again reads back");
  fuzzCheck(reread->rawEvent()->origin() == event.origin(),
            "a raw event stored again keeps its origin");
  fuzzCheck(parameterNames(*reread->rawEvent()) == parameterNames(event),
            "a raw event stored again keeps its parameters");
}

void checkMetadata(fuzz::FuzzInput& input) {
  const std::uint8_t shape = input.byte();
  platform::Dictionary record;
  if (!(shape & 1)) record.set("metadata_fingerprint", readValue(input));
  if (!(shape & 2)) record.set("metadata", shape & 4 ? readValue(input) : readBlob(input));

  platform::ErrorPtr error;
  const auto bundle = APMRawEventsMetadataFromRecord(record, &error);
  if (bundle == nullptr) {
    const platform::Data* metadata = record["metadata"].asData();
    fuzzCheck(error != nullptr || (metadata != nullptr && !metadata->empty()),
              "refused metadata says why unless its bytes do not decode");
    return;
  }
  const auto encoded = bundle->protoBuffer();
  fuzzCheck(encoded.has_value(), "stored metadata encodes");
  fuzzCheck(APMPBMeasurementBundle::initWithBuffer(&*encoded) != nullptr,
            "stored metadata's encoding decodes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static RowReader* reader = new RowReader;
  fuzz::FuzzInput input(data, size);
  checkRawEvent(input, *reader);
  checkMetadata(input);
  return 0;
}
