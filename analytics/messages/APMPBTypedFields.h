// Typed reads of nested message fields: the accessors hand out base objects, and every reader
// wants its own message class back, skipping elements that are not one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "analytics/messages/APMPBMessageRuntime.h"

// The elements of a repeated message field; none when the field cannot be read.
template <typename Message>
std::optional<std::vector<std::shared_ptr<Message>>>
APMMessageListAt(const NANOMessageBase* message, std::int32_t index) {
  auto array = nano_get_array(message, index, &Message::messageClass());
  if (!array) return std::nullopt;
  std::vector<std::shared_ptr<Message>> messages;
  messages.reserve(array->size());
  for (const auto& element : *array) {
    const auto* nested = std::get_if<NanoMessagePtr>(&element);
    if (nested == nullptr) continue;
    if (auto typed = std::dynamic_pointer_cast<Message>(*nested)) messages.push_back(typed);
  }
  return messages;
}

// As above, empty for a field that cannot be read.
template <typename Message>
std::vector<std::shared_ptr<Message>> APMMessagesAt(const NANOMessageBase* message,
                                                    std::int32_t index) {
  auto messages = APMMessageListAt<Message>(message, index);
  return messages ? std::move(*messages) : std::vector<std::shared_ptr<Message>>{};
}

// A singular message field; null when it is absent.
template <typename Message>
std::shared_ptr<Message> APMMessageAt(const NANOMessageBase* message, std::int32_t index) {
  if (!nano_has_field(message, index)) return nullptr;
  return std::dynamic_pointer_cast<Message>(
      nano_get_message(message, index, Message::messageClass()));
}
