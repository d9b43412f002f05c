// RingBuffer: a fixed number of slots written round and round, the newest write replacing
// the oldest element; the store of the most recent heartbeats.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ZiruzadaCoreInternal {

// A push at a tail index that a ring read from a damaged file placed outside its slots.
struct RingBufferOutOfBoundsPush {
  std::int64_t pushIndex = 0;
  std::int64_t endIndex = 0;

  std::string description() const {
    return "Out-of-bounds push at index " + std::to_string(pushIndex) + " to ring buffer with" +
           "end index of " + std::to_string(endIndex) + ".";
  }
};

template <typename Element> class RingBuffer {
 public:
  // What a push did: the element it overwrote, or why it could not write.
  struct PushResult {
    std::optional<Element> displaced;
    std::optional<RingBufferOutOfBoundsPush> error;
  };

  // A capacity below zero makes a ring with no slots.
  explicit RingBuffer(std::int64_t capacity)
      : circularQueue_(static_cast<std::size_t>(capacity > 0 ? capacity : 0)) {}
  // The slots and tail as stored; the tail is not checked here (see push and pop).
  RingBuffer(std::vector<std::optional<Element>> circularQueue, std::int64_t tailIndex)
      : circularQueue_(std::move(circularQueue)), tailIndex_(tailIndex) {}

  const std::vector<std::optional<Element>>& circularQueue() const { return circularQueue_; }
  std::int64_t tailIndex() const { return tailIndex_; }

  // A ring with no slots drops the element. A tail outside the slots fails and changes
  // nothing.
  PushResult push(Element element) {
    const std::int64_t length = this->length();
    if (length == 0) return {};
    if (tailIndex_ < 0 || tailIndex_ >= length) {
      return {std::nullopt, RingBufferOutOfBoundsPush{tailIndex_, length}};
    }
    std::optional<Element> displaced = std::move(circularQueue_[tailIndex_]);
    circularQueue_[tailIndex_] = std::move(element);
    tailIndex_ = tailIndex_ + 1 == length ? 0 : tailIndex_ + 1;
    return {std::move(displaced), std::nullopt};
  }

  // Takes the most recently pushed element back out. The tail moves back even onto an
  // empty slot. A tail past the end of the slots, as only a damaged file leaves it, counts
  // as an empty ring.
  std::optional<Element> pop() {
    const std::int64_t length = this->length();
    if (length == 0 || tailIndex_ > length) return std::nullopt;
    tailIndex_ = tailIndex_ <= 0 ? length - 1 : tailIndex_ - 1;
    std::optional<Element> element = std::move(circularQueue_[tailIndex_]);
    circularQueue_[tailIndex_].reset();
    return element;
  }

  // The elements of the filled slots, in slot order (not push order).
  std::vector<Element> elements() const {
    std::vector<Element> result;
    for (const auto& slot : circularQueue_) {
      if (slot) result.push_back(*slot);
    }
    return result;
  }

  friend bool operator==(const RingBuffer&, const RingBuffer&) = default;

 private:
  std::int64_t length() const { return static_cast<std::int64_t>(circularQueue_.size()); }

  std::vector<std::optional<Element>> circularQueue_;
  std::int64_t tailIndex_ = 0;
};

}  // namespace ZiruzadaCoreInternal
