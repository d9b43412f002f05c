#include "platform/error.h"

#include <mutex>

namespace platform {

Error::Error(std::string domain, std::int64_t code, Dictionary userInfo,
             std::shared_ptr<const Error> underlying)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)),
      underlying_(std::move(underlying)) {}

std::string Error::localizedDescription() const {
  if (const std::string* text = userInfo_[kLocalizedDescriptionKey].asString()) {
    return *text;
  }
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const {
  if (const std::string* text = userInfo_[kLocalizedFailureReasonErrorKey].asString()) {
    return *text;
  }
  return std::nullopt;
}

std::string Error::description() const {
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                    localizedDescription() + "\"";
  if (!userInfo_.empty() || underlying_) {
    out += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo_) {
      out += (first ? "" : ", ") + key + "=" + value.description();
      first = false;
    }
    if (underlying_) {
      out +=
          std::string(first ? "" : ", ") + kUnderlyingErrorKey + "=" + underlying_->description();
    }
    out += "}";
  }
  return out;
}

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : std::runtime_error(name + ": " + reason), name_(std::move(name)), reason_(std::move(reason)),
      userInfo_(std::move(userInfo)) {}

namespace {

std::mutex& handlerMutex() {
  static std::mutex mutex;
  return mutex;
}

// Never destroyed: a check may still fail on a worker queue while the process exits.
AssertionHandler::Handler& installedHandler() {
  static auto* const handler = new AssertionHandler::Handler;
  return *handler;
}

}  // namespace

void AssertionHandler::handleFailure(const Failure& failure) {
  Handler handler;
  {
    std::lock_guard lock(handlerMutex());
    handler = installedHandler();
  }
  if (handler) {
    handler(failure);
    return;
  }
  throw Exception("NSInternalInconsistencyException", failure.description);
}

AssertionHandler::Handler AssertionHandler::setHandler(Handler handler) {
  std::lock_guard lock(handlerMutex());
  return std::exchange(installedHandler(), std::move(handler));
}

}  // namespace platform
