// Test helpers of the transport: an event payload of fixed bytes, an application that records
// its background tasks, and ways to make file access fail for real (permission bits that bite
// even root, a process out of descriptors).
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"

namespace transport_testing {

class BytesObject : public RDTCOREventDataObject {
 public:
  explicit BytesObject(std::string bytes = "payload") : bytes_(std::move(bytes)) {}
  platform::Data transportBytes() const override { return platform::Data::fromString(bytes_); }
  void setBytes(std::string bytes) { bytes_ = std::move(bytes); }

 private:
  std::string bytes_;
};

// Hands out the configured identifier for every background task and records the begins and
// ends; the last task's expiration handler can be run as the system would run it.
class RecordingApplication : public RDTCORApplicationProtocol {
 public:
  explicit RecordingApplication(RDTCORBackgroundIdentifier identifier = 42)
      : identifier_(identifier) {}

  RDTCORBackgroundIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                         std::function<void()> expiry) override {
    std::lock_guard lock(mutex_);
    names_.push_back(name);
    expiry_ = std::move(expiry);
    return identifier_;
  }
  void endBackgroundTask(RDTCORBackgroundIdentifier identifier) override {
    std::lock_guard lock(mutex_);
    ended_.push_back(identifier);
  }
  bool isRunningInBackground() const override { return false; }

  std::vector<std::string> names() const {
    std::lock_guard lock(mutex_);
    return names_;
  }
  std::vector<RDTCORBackgroundIdentifier> ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }
  void expireLastTask() {
    std::function<void()> expiry;
    {
      std::lock_guard lock(mutex_);
      expiry = expiry_;
    }
    if (expiry) expiry();
  }

 private:
  const RDTCORBackgroundIdentifier identifier_;
  mutable std::mutex mutex_;
  std::vector<std::string> names_;
  std::vector<RDTCORBackgroundIdentifier> ended_;
  std::function<void()> expiry_;
};

// Takes from the calling thread, while it lives, the privilege that lets root read and list
// anything, so that a file's permission bits bite whoever runs the tests. Capabilities belong
// to one thread: the others keep theirs.
class WithoutFileReadPrivilege {
 public:
  WithoutFileReadPrivilege() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) {
      ADD_FAILURE() << "cannot read the thread's capabilities";
      return;
    }
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    active_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    if (!active_) ADD_FAILURE() << "cannot lower the thread's capabilities";
  }
  ~WithoutFileReadPrivilege() {
    if (active_) ::syscall(SYS_capset, &header_, saved_);
  }
  WithoutFileReadPrivilege(const WithoutFileReadPrivilege&) = delete;
  WithoutFileReadPrivilege& operator=(const WithoutFileReadPrivilege&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  bool active_ = false;
};

// Lets the process open only `more` further descriptors while it lives, as a process at its
// descriptor limit would. The limit is the whole process's: other threads must not open files
// meanwhile.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(int more) {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) {
      ADD_FAILURE() << "cannot read the descriptor limit";
      return;
    }
    // Descriptors are numbered lowest free first: the next opens get these numbers, so a
    // limit at the last of them lets exactly `more` opens through.
    std::vector<int> next;
    for (int i = 0; i <= more; ++i) next.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (const int fd : next) {
      if (fd >= 0) ::close(fd);
    }
    if (next.back() < 0) {
      ADD_FAILURE() << "cannot find the next free descriptors";
      return;
    }
    rlimit limited = saved_;
    limited.rlim_cur = static_cast<rlim_t>(next.back());
    active_ = ::setrlimit(RLIMIT_NOFILE, &limited) == 0;
    if (!active_) ADD_FAILURE() << "cannot lower the descriptor limit";
  }
  ~DescriptorLimit() {
    if (active_) ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

 private:
  rlimit saved_{};
  bool active_ = false;
};

}  // namespace transport_testing
