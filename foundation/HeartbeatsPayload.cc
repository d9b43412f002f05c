#include "foundation/HeartbeatsPayload.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "foundation/Heartbeat.h"
#include "foundation/HeartbeatsBundle.h"
#include "foundation/ZULGzip.h"
#include "platform/base64.h"
#include "platform/json.h"
#include "platform/text.h"

namespace ZiruzadaCoreInternal {
namespace {

constexpr double kSecondsPerDay = 86400.0;
// About three million years either way: far past any real date, and small enough that the
// day count below stays exact.
constexpr double kLargestSeconds = 1e14;

struct CivilDay {
  std::int64_t year;
  int month;
  int day;
};

// Proleptic Gregorian calendar from days since 1970-01-01 and back.
CivilDay civilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2), month, day};
}

std::int64_t daysFromCivil(CivilDay civil) {
  const std::int64_t y = civil.year - (civil.month <= 2);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy =
      (153 * (civil.month > 2 ? civil.month - 3 : civil.month + 9) + 2) / 5 + civil.day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::optional<std::int64_t> digits(std::string_view text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::string payloadDateString(platform::Date date) {
  double seconds = date.timeIntervalSince1970();
  if (std::isnan(seconds)) seconds = 0;
  seconds = std::fmax(-kLargestSeconds, std::fmin(kLargestSeconds, seconds));
  const CivilDay civil =
      civilFromDays(static_cast<std::int64_t>(std::floor(seconds / kSecondsPerDay)));
  // Years before year 1 are written as the era's year, without a sign.
  const std::int64_t year = civil.year > 0 ? civil.year : 1 - civil.year;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02d", static_cast<long long>(year),
                civil.month, civil.day);
  return buffer;
}

std::optional<platform::Date> payloadDateFromString(std::string_view text) {
  const auto firstDash = text.find('-');
  if (firstDash == std::string_view::npos || firstDash < 4 || text.size() != firstDash + 6 ||
      text[firstDash + 3] != '-') {
    return std::nullopt;
  }
  const auto year = digits(text.substr(0, firstDash));
  const auto month = digits(text.substr(firstDash + 1, 2));
  const auto day = digits(text.substr(firstDash + 4, 2));
  if (!year || !month || !day) return std::nullopt;
  const CivilDay civil{*year, static_cast<int>(*month), static_cast<int>(*day)};
  const std::int64_t days = daysFromCivil(civil);
  // Rejects the 31st of a 30-day month and the like.
  const CivilDay back = civilFromDays(days);
  if (back.year != civil.year || back.month != civil.month || back.day != civil.day) {
    return std::nullopt;
  }
  return platform::Date::fromTimeIntervalSince1970(static_cast<double>(days) * kSecondsPerDay);
}

const HeartbeatsPayload& HeartbeatsPayload::emptyPayload() {
  static const HeartbeatsPayload* const empty = new HeartbeatsPayload{};
  return *empty;
}

platform::Value HeartbeatsPayload::jsonValue() const {
  platform::Array entries;
  for (const UserAgentPayload& entry : userAgentPayloads) {
    platform::Array dates;
    for (platform::Date date : entry.dates) dates.emplace_back(payloadDateString(date));
    entries.emplace_back(platform::Dictionary{{"agent", entry.agent}, {"dates", std::move(dates)}});
  }
  return platform::Dictionary{{"heartbeats", std::move(entries)}, {"version", version}};
}

std::optional<HeartbeatsPayload> HeartbeatsPayload::fromJSONValue(const platform::Value& value) {
  const platform::Array* entries = value["heartbeats"].asArray();
  const auto version = integerFromJSONNumber(value["version"]);
  if (!entries || !version) return std::nullopt;
  HeartbeatsPayload payload{{}, *version};
  for (const platform::Value& entry : *entries) {
    const std::string* agent = entry["agent"].asString();
    const platform::Array* dates = entry["dates"].asArray();
    if (!agent || !dates) return std::nullopt;
    UserAgentPayload agentPayload{*agent, {}};
    for (const platform::Value& text : *dates) {
      const auto date = text.asString() ? payloadDateFromString(*text.asString()) : std::nullopt;
      if (!date) return std::nullopt;
      agentPayload.dates.push_back(*date);
    }
    payload.userAgentPayloads.push_back(std::move(agentPayload));
  }
  return payload;
}

std::string HeartbeatsPayload::headerValue() const {
  const auto json = platform::json::writeData(jsonValue());
  if (!json) return emptyPayload().headerValue();
  const auto compressed = zul_dataByGzippingData(*json);
  return platform::base64::encode(compressed ? *compressed : *json,
                                  platform::base64::Alphabet::URLSafe, /*padded=*/false);
}

HeartbeatsPayload Heartbeat::makePayload() const {
  return HeartbeatsPayload{{{agent, {date}}}, HeartbeatsPayload::kVersion};
}

HeartbeatsPayload HeartbeatsBundle::makePayload() const {
  // Agents that differ only in how their accents are encoded are one agent: they are keyed
  // by their composed form, whose UTF-8 byte order is the order of its Unicode scalar values.
  // An entry keeps the agent text of its earliest slot as it was logged.
  std::map<std::string, HeartbeatsPayload::UserAgentPayload> entriesByAgent;
  for (const Heartbeat& heartbeat : buffer().elements()) {
    const auto entry = entriesByAgent
                           .try_emplace(platform::text::canonicallyComposed(heartbeat.agent),
                                        HeartbeatsPayload::UserAgentPayload{heartbeat.agent, {}})
                           .first;
    entry->second.dates.push_back(heartbeat.date);
  }
  HeartbeatsPayload payload;
  for (auto& [composed, entry] : entriesByAgent) {
    payload.userAgentPayloads.push_back(std::move(entry));
  }
  return payload;
}

}  // namespace ZiruzadaCoreInternal
