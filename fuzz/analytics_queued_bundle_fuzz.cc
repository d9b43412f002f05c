// Reads a queued upload bundle and a stored user property as a damaged analytics database may
// hand them back. The input is a queue row (the blob, gzip-compressed here or taken as it is,
// and a retry count of any kind) followed by a "user_attributes" row (each column missing,
// null or of any kind). A bundle row either gives a bundle that encodes and decodes again,
// carrying the stored retry count, or is refused with an error; a property row either gives
// an attribute whose stored form reads back the same, or none.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "analytics/data/APMDatabaseUploadQueue.h"
#include "analytics/data/APMDatabaseUserAttributes.h"
#include "foundation/ZULGzip.h"
#include "fuzz/fuzz_input.h"
#include "platform/data.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

constexpr std::int32_t kRetryCountIndex = 35;

platform::Value readValue(fuzz::FuzzInput& input) {
  if (auto value = fuzz::columnValue(input, input.byte() % 5)) return *value;
  return platform::Value(platform::Data::fromString(input.shortText()));
}

// Column present or absent, then its value.
void maybeSet(fuzz::FuzzInput& input, platform::Dictionary& record, const char* column) {
  if (input.byte() % 4 != 0) record.set(column, readValue(input));
}

void checkQueuedBundle(fuzz::FuzzInput& input) {
  const std::uint8_t shape = input.byte();
  platform::Dictionary record;
  if (shape & 1) record.set("rowid", readValue(input));
  if (shape & 2) record.set("retry_count", readValue(input));
  // Blobs may be long: a length of two bytes.
  const platform::Data bytes =
      platform::Data::fromString(input.text(static_cast<std::size_t>(input.integer(2))));
  if (shape & 4) {
    // Past the gzip layer, so that the bundle decoder is reached often.
    if (auto compressed = zul_dataByGzippingData(bytes)) record.set("data", *compressed);
  } else {
    record.set("data", bytes);
  }

  platform::ErrorPtr error;
  const auto row = APMBundleRowFromRecord(record, &error);
  if (!row) {
    const platform::Value* rowID = record.find("rowid");
    fuzzCheck(error != nullptr || rowID == nullptr || !rowID->asInt(),
              "a refused queued bundle says why");
    return;
  }
  fuzzCheck(row->bundle != nullptr, "an accepted queued bundle has its bundle");
  const platform::Value* retryCount = record.find("retry_count");
  const std::int64_t stored = retryCount != nullptr ? retryCount->asInt().value_or(0) : 0;
  if (stored > 0) {
    fuzzCheck(nano_get_int32(row->bundle.get(), kRetryCountIndex) ==
                  std::min<std::int64_t>(stored, kAPMQueuedBundleRetryLimit),
              "a queued bundle carries its stored retry count");
  }
  const auto encoded = row->bundle->protoBuffer();
  fuzzCheck(encoded.has_value(), "a queued bundle encodes");
  fuzzCheck(APMPBMeasurementBundle::initWithBuffer(&*encoded) != nullptr,
            "a queued bundle's encoding decodes");
}

bool sameStoredValue(const APMValue& a, const APMValue& b) {
  if (a.valueType() != b.valueType()) return false;
  if (a.isDouble()) {
    return a.doubleValue() == b.doubleValue() ||
           (std::isnan(a.doubleValue()) && std::isnan(b.doubleValue()));
  }
  if (a.isString()) return a.stringValue() == b.stringValue();
  return a.int64Value() == b.int64Value();
}

void checkUserAttribute(fuzz::FuzzInput& input) {
  platform::Dictionary record;
  maybeSet(input, record, "rowid");
  maybeSet(input, record, "name");
  maybeSet(input, record, "origin");
  maybeSet(input, record, "value");
  maybeSet(input, record, "set_timestamp");

  platform::ErrorPtr error;
  const auto attribute = APMUserAttributeFromRecord(record, &error);
  fuzzCheck(!record.empty() || error != nullptr, "an empty user property row says why");
  if (!attribute) return;
  fuzzCheck(attribute->value() != nullptr, "a user property read back has a value");
  // What is written for the attribute reads back as the same value.
  const auto again = APMValue::valueFromObject(APMStorableValueObject(*attribute->value()));
  fuzzCheck(again != nullptr && sameStoredValue(*again, *attribute->value()),
            "a user property's stored form reads back the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  checkQueuedBundle(input);
  checkUserAttribute(input);
  return 0;
}
