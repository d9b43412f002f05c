// APMPBMessage: the wrapper object of one wire message, owning its MessageInfo alone and
// turning it into bytes and back; one template over the message's table serves every message.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "analytics/messages/APMPBMessageEngine.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "platform/data.h"

template <const NanoMessageTable& Table> class APMPBMessage : public NANOMessageBase {
 public:
  // A deep copy of `info`, or an empty message for null; none when `info` is another message.
  static std::shared_ptr<APMPBMessage> initWithMessageInfo(const MessageInfo* info) {
    std::shared_ptr<APMPBMessage> message(new APMPBMessage);
    if (info != nullptr) {
      if (info->name == nullptr || std::strcmp(info->name, Table.name) != 0 ||
          !nano_message_copy(Table, &message->info_, info))
        return nullptr;
      return message;
    }
    message->info_ = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    if (message->info_ == nullptr || !nano_message_init(Table, message->info_)) return nullptr;
    return message;
  }

  // The decoded message, an empty one for no data, or none when the bytes do not decode.
  static std::shared_ptr<APMPBMessage> initWithBuffer(const platform::Data* data) {
    auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    if (info == nullptr) return nullptr;
    if (!nano_message_init(Table, info) ||
        !nano_message_decode(Table, data != nullptr ? data->bytes() : nullptr,
                             data != nullptr ? data->length() : 0, info)) {
      nano_message_free(Table, info);
      return nullptr;
    }
    // Nobody else holds the decoded message, so it becomes the wrapper's own: a copy would
    // give the same fields at the cost of a second decode's allocations.
    std::shared_ptr<APMPBMessage> message(new APMPBMessage);
    message->info_ = info;
    return message;
  }

  // The class as the message and array accessors take it.
  static const NanoMessageClass& messageClass() {
    static const NanoMessageClass kClass{classNameText(), &initAsBase};
    return kClass;
  }

  ~APMPBMessage() override {
    if (info_ != nullptr) nano_message_free(Table, info_);
  }
  APMPBMessage(const APMPBMessage&) = delete;
  APMPBMessage& operator=(const APMPBMessage&) = delete;

  const char* className() const override { return classNameText(); }
  const char* messageID() const override { return Table.name; }
  MessageInfo* messageInfo() const override { return info_; }
  std::optional<platform::Data> protoBuffer() const override {
    if (info_ == nullptr) return std::nullopt;
    std::uint8_t* buffer = nullptr;
    const std::int32_t length = nano_message_encode(Table, info_, &buffer);
    if (length < 0 || buffer == nullptr) return std::nullopt;
    platform::Data data(buffer, static_cast<std::size_t>(length));
    std::free(buffer);
    return data;
  }
  NanoInitMessageInfoFn initMessageInfoFn() const override { return &initFn; }
  NanoDeallocMessageFieldFn deallocMessageFieldFn() const override { return &freeFieldFn; }
  NanoCopyMessageInfoFn copyMessageInfoFn() const override { return &copyFn; }

 private:
  APMPBMessage() = default;

  static const char* classNameText() {
    // Never destroyed: messages are still decoded on worker queues while the process exits.
    static const std::string& kName = *new std::string(std::string("APMPB") + Table.name);
    return kName.c_str();
  }
  static NanoMessagePtr initAsBase(const MessageInfo* info) { return initWithMessageInfo(info); }
  static bool initFn(MessageInfo* info) { return nano_message_init(Table, info); }
  static bool freeFieldFn(MessageInfo* info, std::int32_t index) {
    return nano_message_free_field(Table, info, index);
  }
  static bool copyFn(MessageInfo** destination, const MessageInfo* source) {
    return nano_message_copy(Table, destination, source);
  }

  MessageInfo* info_ = nullptr;
};
