#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorageFormat.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/value.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendPercentEncoded(std::string& out, std::string_view bytes) {
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    out.push_back('%');
    out.push_back(kHexDigits[value >> 4]);
    out.push_back(kHexDigits[value & 0xF]);
  }
}

bool staysUnencoded(UChar32 c) {
  return c == '-' || (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

// The platform's lenient readings: leading whitespace and digits, nothing read as 0.
std::int64_t integerValueOf(std::string_view text) {
  return platform::Value(std::string(text)).integerValue();
}

double doubleValueOf(std::string_view text) {
  return platform::Value(std::string(text)).doubleValue();
}

}  // namespace

std::string RDTCORPercentEncodeMappingID(std::string_view mappingID) {
  std::string encoded;
  encoded.reserve(mappingID.size());
  // ICU walks 32-bit offsets; no name gets near that, but whatever lies beyond is still
  // encoded byte by byte rather than cut off.
  const auto length = static_cast<std::int32_t>(
      std::min<std::size_t>(mappingID.size(), std::numeric_limits<std::int32_t>::max()));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(mappingID.data());
  for (std::int32_t i = 0; i < length;) {
    const std::int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    const std::string_view character = mappingID.substr(start, i - start);
    if (c >= 0 && staysUnencoded(c)) {
      encoded.append(character);
    } else {
      appendPercentEncoded(encoded, character);
    }
  }
  appendPercentEncoded(encoded, mappingID.substr(static_cast<std::size_t>(length)));
  return encoded;
}

std::optional<std::string> RDTCORPercentDecodeMappingID(std::string_view encoded) {
  return platform::text::percentDecodedBytes(encoded);
}

std::uint64_t RDTCORNameSeconds(std::optional<platform::Date> date) {
  if (!date) return 0;
  const double seconds = date->timeIntervalSince1970();
  if (std::isnan(seconds) || seconds <= 0) return 0;
  // 2^64 is exactly representable; everything from it up saturates.
  if (seconds >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(seconds);
}

std::string RDTCOREventFileName(std::string_view eventID, RDTCOREventQoS qosTier,
                                std::optional<platform::Date> expirationDate,
                                std::string_view mappingID) {
  std::string name(eventID);
  name += '-';
  name += std::to_string(qosTier);
  name += '-';
  name += std::to_string(RDTCORNameSeconds(expirationDate));
  name += '-';
  name += RDTCORPercentEncodeMappingID(mappingID);
  return name;
}

std::string RDTCORBatchDirectoryName(RDTCORTarget target, std::int64_t batchID,
                                     platform::Date expirationDate) {
  return std::to_string(target) + "-" + std::to_string(batchID) + "-" +
         std::to_string(RDTCORNameSeconds(expirationDate));
}

std::optional<std::string> RDTCOREventNameProblem(std::string_view eventID,
                                                  RDTCOREventQoS qosTier) {
  if (eventID.empty()) return "The event has no ID.";
  if (eventID.front() == '.') return "The event's ID would hide its file.";
  if (eventID.find_first_of(std::string_view("-/\0", 3)) != std::string_view::npos) {
    return "The event's ID holds a character that cannot be part of its file name.";
  }
  if (qosTier < 0) return "The event's QoS tier is negative.";
  return std::nullopt;
}

bool RDTCORIsEventFileName(std::string_view name) {
  const auto isNumber = [](std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  };
  const std::size_t first = name.find('-');
  if (first == std::string_view::npos) return false;
  const std::size_t second = name.find('-', first + 1);
  if (second == std::string_view::npos) return false;
  const std::size_t third = name.find('-', second + 1);
  if (third == std::string_view::npos) return false;
  return !RDTCOREventNameProblem(name.substr(0, first), 0) &&
         isNumber(name.substr(first + 1, second - first - 1)) &&
         isNumber(name.substr(second + 1, third - second - 1)) &&
         RDTCORPercentDecodeMappingID(name.substr(third + 1)).has_value();
}

std::optional<RDTCOREventComponents> RDTCOREventComponentsFromFilename(std::string_view name) {
  std::array<std::size_t, 3> dashes{};
  std::size_t from = 0;
  for (std::size_t& dash : dashes) {
    dash = name.find('-', from);
    if (dash == std::string_view::npos) {
      RDTCORLogDebug("The event filename could not be split: %@", {std::string(name)});
      return std::nullopt;
    }
    from = dash + 1;
  }
  RDTCOREventComponents components;
  components.eventID = std::string(name.substr(0, dashes[0]));
  components.qosTier = integerValueOf(name.substr(dashes[0] + 1, dashes[1] - dashes[0] - 1));
  components.expiration = platform::Date::fromTimeIntervalSince1970(
      static_cast<double>(integerValueOf(name.substr(dashes[1] + 1, dashes[2] - dashes[1] - 1))));
  components.mappingID = std::string(name.substr(dashes[2] + 1));
  return components;
}

std::optional<RDTCORBatchComponents> RDTCORBatchComponentsFromFilename(std::string_view name) {
  const std::size_t first = name.find('-');
  const std::size_t second =
      first == std::string_view::npos ? std::string_view::npos : name.find('-', first + 1);
  if (second == std::string_view::npos || name.find('-', second + 1) != std::string_view::npos) {
    RDTCORLogDebug("The batch filename could not be split: %@", {std::string(name)});
    return std::nullopt;
  }
  RDTCORBatchComponents components;
  components.target = integerValueOf(name.substr(0, first));
  components.batchID = integerValueOf(name.substr(first + 1, second - first - 1));
  components.expiration =
      platform::Date::fromTimeIntervalSince1970(doubleValueOf(name.substr(second + 1)));
  return components;
}

std::optional<std::int32_t> RDTCORBatchIDCounterFromData(const platform::Data& data) {
  if (data.length() != 4) return std::nullopt;
  const std::uint8_t* b = data.bytes();
  const std::uint32_t raw =
      static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
      static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  const auto value = static_cast<std::int32_t>(raw);
  if (value < 0) return std::nullopt;
  return value;
}

platform::Data RDTCORBatchIDCounterData(std::int32_t nextBatchID) {
  const auto raw = static_cast<std::uint32_t>(nextBatchID);
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
      static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 24)};
  return platform::Data(bytes, sizeof bytes);
}

std::optional<platform::Data> RDTCORReadLibraryDataFile(const std::filesystem::path& path,
                                                        platform::ErrorPtr* error) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  // Opening a pipe or a device would block or never end; only plain files hold our data.
  if (!ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    if (error) {
      *error = platform::makeError(platform::kCocoaErrorDomain, platform::kFileReadUnknownError,
                                   {{platform::kFilePathErrorKey, path.string()}});
    }
    return std::nullopt;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > kRDTCORMaxLibraryDataFileSize) {
    if (error) {
      *error = platform::makeError(platform::kCocoaErrorDomain, kRDTCORFileReadTooLargeError,
                                   {{platform::kFilePathErrorKey, path.string()}});
    }
    return std::nullopt;
  }
  return platform::readFile(path, error);
}
