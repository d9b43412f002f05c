// Typed reads of the nested message fields of audience messages: the accessors hand out base
// objects, and every reader here wants its own message class back, skipping what is not one.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "analytics/messages/APMPBMessageRuntime.h"

// The elements of a repeated message field; none for an absent or unreadable field.
template <typename Message>
std::vector<std::shared_ptr<Message>> APMMessagesAt(const NANOMessageBase* message,
                                                    std::int32_t index) {
  std::vector<std::shared_ptr<Message>> messages;
  auto array = nano_get_array(message, index, &Message::messageClass());
  if (!array) return messages;
  messages.reserve(array->size());
  for (const auto& element : *array) {
    const auto* nested = std::get_if<NanoMessagePtr>(&element);
    if (nested == nullptr) continue;
    if (auto typed = std::dynamic_pointer_cast<Message>(*nested)) messages.push_back(typed);
  }
  return messages;
}

// A singular message field; null when it is absent.
template <typename Message>
std::shared_ptr<Message> APMMessageAt(const NANOMessageBase* message, std::int32_t index) {
  if (!nano_has_field(message, index)) return nullptr;
  return std::dynamic_pointer_cast<Message>(
      nano_get_message(message, index, Message::messageClass()));
}
