#include "platform/set_aside.h"

#include <ctime>

#include "platform/clock.h"
#include "platform/files.h"

namespace platform {

std::string setAsideTimestamp() {
  const auto seconds = static_cast<std::time_t>(Clock::current().now().timeIntervalSince1970());
  std::tm parts{};
  char text[32] = "unknown-time";
  if (::gmtime_r(&seconds, &parts)) std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

std::optional<std::string> setAsideAsDamaged(const std::string& path,
                                             const std::string& timestamp, ErrorPtr* error) {
  const std::string base = path + ".damaged-" + timestamp;
  ErrorPtr moveError;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    std::string aside = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    moveError = nullptr;
    if (moveItem(path, aside, &moveError)) return aside;
    if (!moveError || moveError->code() != kFileWriteFileExistsError) break;
  }
  if (error) *error = moveError;
  return std::nullopt;
}

}  // namespace platform
