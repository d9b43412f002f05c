// Installed: the process-wide object that a library higher up installs and code below it
// asks for (a monitor, a front, an engine), read and replaced under its own lock. The one
// replaced is released after the lock, so that a destructor calling back in cannot deadlock.
// Meant to be made once and never destroyed, as code running at exit may still ask.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace platform {

template <typename T> class Installed {
 public:
  // Null while nothing is installed.
  std::shared_ptr<T> get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  // The installed object; when there is none, installs what `make` returns first.
  template <typename Make> std::shared_ptr<T> getOrInstall(Make&& make) {
    std::lock_guard lock(mutex_);
    if (!value_) value_ = std::forward<Make>(make)();
    return value_;
  }
  // Null uninstalls.
  void set(std::shared_ptr<T> value) {
    std::shared_ptr<T> previous;
    std::lock_guard lock(mutex_);
    previous = std::exchange(value_, std::move(value));
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;
};

}  // namespace platform
