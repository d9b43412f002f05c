// HeartbeatsPayload: stored heartbeats grouped by user agent, as handed to a request about
// to be sent, and their header value (JSON, gzip, unpadded base64url).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date.h"
#include "platform/value.h"

namespace ZiruzadaCoreInternal {

struct HeartbeatsPayload {
  struct UserAgentPayload {
    std::string agent;
    std::vector<platform::Date> dates;
    friend bool operator==(const UserAgentPayload&, const UserAgentPayload&) = default;
  };

  // Every payload made here has this version.
  static constexpr std::int64_t kVersion = 2;

  std::vector<UserAgentPayload> userAgentPayloads;
  std::int64_t version = kVersion;

  // No entries, version 2.
  static const HeartbeatsPayload& emptyPayload();

  // No entries, whatever the version.
  bool isEmpty() const { return userAgentPayloads.empty(); }
  // Never empty, even for the empty payload.
  std::string headerValue() const;

  // {"heartbeats": [{"agent", "dates": ["yyyy-MM-dd", ...]}, ...], "version"}, dates as
  // their GMT day.
  platform::Value jsonValue() const;
  static std::optional<HeartbeatsPayload> fromJSONValue(const platform::Value& value);

  friend bool operator==(const HeartbeatsPayload&, const HeartbeatsPayload&) = default;
};

// The GMT calendar day of a date as "yyyy-MM-dd", and its start read back from that form.
std::string payloadDateString(platform::Date date);
std::optional<platform::Date> payloadDateFromString(std::string_view text);

}  // namespace ZiruzadaCoreInternal

// The payload as the other SDK libraries receive it.
class ZIRHeartbeatsPayload {
 public:
  explicit ZIRHeartbeatsPayload(ZiruzadaCoreInternal::HeartbeatsPayload heartbeatsPayload)
      : heartbeatsPayload_(std::move(heartbeatsPayload)) {}

  const ZiruzadaCoreInternal::HeartbeatsPayload& heartbeatsPayload() const {
    return heartbeatsPayload_;
  }
  std::string headerValue() const { return heartbeatsPayload_.headerValue(); }
  bool isEmpty() const { return heartbeatsPayload_.isEmpty(); }

 private:
  const ZiruzadaCoreInternal::HeartbeatsPayload heartbeatsPayload_;
};
