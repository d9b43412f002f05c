// ZIRMessagingMessageInfo: what ZIRMessaging::appDidReceiveMessage tells about a received
// notification.
#pragma once

#include <cstdint>

enum ZIRMessagingMessageStatus : std::int64_t {
  // The dictionary was empty; nothing was done.
  ZIRMessagingMessageStatusUnknown = 0,
  // The message was taken (new or already seen).
  ZIRMessagingMessageStatusNew = 1,
};

class ZIRMessagingMessageInfo {
 public:
  explicit ZIRMessagingMessageInfo(ZIRMessagingMessageStatus status) : status_(status) {}
  ZIRMessagingMessageStatus status() const { return status_; }

 private:
  ZIRMessagingMessageStatus status_;
};
