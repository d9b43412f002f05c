// RDTCORFlatFileStorageFormat: the event store's on-disk names and small records: event file
// and batch folder names (built and parsed), the percent-encoded mapping ID inside event
// names, the 4-byte batch-ID counter, and the bounded read of a library-data file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "platform/data.h"
#include "platform/date.h"
#include "platform/error.h"

// The store's error domain, also its storage class name (the folder under the root).
inline constexpr const char* kRDTCORFlatFileStorageErrorDomain = "RDTCORFlatFileStorage";
inline constexpr const char* kRDTCORFlatFileStorageBatchIDCounterKey =
    "RDTCORFlatFileStorageBatchIDCounter";
inline constexpr const char* kRDTCORMetricsMetadataLibraryDataKey = "metrics_metadata";

// What an event file's name says about its event.
struct RDTCOREventComponents {
  std::string eventID;
  RDTCOREventQoS qosTier = 0;
  platform::Date expiration;
  // Still percent-encoded.
  std::string mappingID;
};

// What a batch folder's name says about its batch.
struct RDTCORBatchComponents {
  RDTCORTarget target = 0;
  std::int64_t batchID = 0;
  platform::Date expiration;
};

// Letters, marks and numbers of any script and "-" stay; every other byte of the UTF-8 text
// (and every byte that is not well-formed UTF-8) becomes "%" and two upper-case hex digits.
std::string RDTCORPercentEncodeMappingID(std::string_view mappingID);
// The bytes the encoding stood for; none when a "%" is not followed by two hex digits.
std::optional<std::string> RDTCORPercentDecodeMappingID(std::string_view encoded);

// Seconds since 1970 as the names carry them: truncated toward zero, negative and NaN as 0,
// beyond the 64-bit range as its maximum.
std::uint64_t RDTCORNameSeconds(std::optional<platform::Date> date);

// "<eventID>-<qosTier>-<expiry>-<encoded mappingID>".
std::string RDTCOREventFileName(std::string_view eventID, RDTCOREventQoS qosTier,
                                std::optional<platform::Date> expirationDate,
                                std::string_view mappingID);
// "<target>-<batchID>-<expiry>".
std::string RDTCORBatchDirectoryName(RDTCORTarget target, std::int64_t batchID,
                                     platform::Date expirationDate);

// Why an event cannot be kept under a name that parses back to it (an ID that is empty,
// hidden, or holds "-", "/" or NUL; a negative tier), or none when it can.
std::optional<std::string> RDTCOREventNameProblem(std::string_view eventID, RDTCOREventQoS qosTier);

// Whether the name has the shape of the names the store gives event files: an ID that
// RDTCOREventNameProblem accepts, a tier and an expiry in decimal digits, and a mapping ID
// whose "%" are each followed by two hex digits. Anything else in a target folder is no event
// of ours.
bool RDTCORIsEventFileName(std::string_view name);

// At least three "-": ID, tier, expiry, and the rest as the mapping ID. Numbers read leniently
// (leading digits; none reads as 0). None, after a log line, for fewer parts.
std::optional<RDTCOREventComponents> RDTCOREventComponentsFromFilename(std::string_view name);
// Exactly two "-". None, after a log line, otherwise.
std::optional<RDTCORBatchComponents> RDTCORBatchComponentsFromFilename(std::string_view name);

// The counter file's next batch ID: exactly 4 bytes, little-endian, not negative; none for
// anything else.
std::optional<std::int32_t> RDTCORBatchIDCounterFromData(const platform::Data& data);
platform::Data RDTCORBatchIDCounterData(std::int32_t nextBatchID);

// The largest library-data file read: nothing the store keeps can outgrow its whole cap.
inline constexpr std::uintmax_t kRDTCORMaxLibraryDataFileSize = 20'000'000;
// The platform's code for a file too large to read, in its Cocoa error domain.
inline constexpr std::int64_t kRDTCORFileReadTooLargeError = 263;
// A missing file is none with the platform's no-such-file read error; a larger file is none
// with kRDTCORFileReadTooLargeError, and anything but a plain file none with
// kFileReadUnknownError, both unread.
std::optional<platform::Data> RDTCORReadLibraryDataFile(const std::filesystem::path& path,
                                                        platform::ErrorPtr* error = nullptr);
