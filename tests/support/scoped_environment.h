// ScopedEnvironment: sets (or unsets) one environment variable for a scope and puts back
// what was there, so a test that picks a locale leaves the process as it found it.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "platform/environment.h"

namespace testing_support {

class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    set(value);
  }
  ~ScopedEnvironment() { set(old_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void set(const std::optional<std::string>& value) { platform::setEnvironmentValue(name_, value); }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace testing_support
