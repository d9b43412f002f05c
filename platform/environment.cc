#include "platform/environment.h"

#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <string_view>

extern char** environ;

namespace platform {
namespace {

std::shared_mutex& environmentLock() {
  static auto* const lock = new std::shared_mutex;
  return *lock;
}

}  // namespace

std::optional<std::string> environmentValue(const std::string& name) {
  std::shared_lock lock(environmentLock());
  if (const char* value = std::getenv(name.c_str())) return std::string(value);
  return std::nullopt;
}

std::map<std::string, std::string> environmentVariables() {
  std::map<std::string, std::string> variables;
  std::shared_lock lock(environmentLock());
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text = *entry;
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return variables;
}

void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value) {
  std::unique_lock lock(environmentLock());
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace platform
