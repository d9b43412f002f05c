// ZULMutableDictionary: a key-to-object table that any thread may use, every access
// serialised on the table's own queue; writers never wait, readers wait for their answer.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/value.h"

// A type with a null state of its own (shared pointers, callables, raw pointers): its
// null stands for "no object". Other types are wrapped in std::optional for that.
template <typename T>
concept ZULNullableObject = std::is_constructible_v<T, std::nullptr_t> && requires(const T& t) {
  static_cast<bool>(t);
};

template <typename T>
using ZULObjectOrNull = std::conditional_t<ZULNullableObject<T>, T, std::optional<T>>;

template <typename Key, typename Object, typename Compare = std::less<>>
class ZULMutableDictionary {
 public:
  using Contents = std::map<Key, Object, Compare>;
  using ObjectOrNull = ZULObjectOrNull<Object>;

  ZULMutableDictionary()
      : state_(std::make_shared<State>()), queue_(platform::Queue::serial("ZULMutableDictionary")) {
  }

  ZULMutableDictionary(const ZULMutableDictionary&) = delete;
  ZULMutableDictionary& operator=(const ZULMutableDictionary&) = delete;

  ObjectOrNull objectForKey(const Key& key) const {
    ObjectOrNull result{};
    if (isNull(key)) return result;
    queue_->sync([&] {
      const auto found = state_->objects.find(key);
      if (found != state_->objects.end()) result = found->second;
    });
    return result;
  }
  ObjectOrNull objectForKeyedSubscript(const Key& key) const { return objectForKey(key); }

  std::uint64_t count() const {
    std::uint64_t result = 0;
    queue_->sync([&] { result = state_->objects.size(); });
    return result;
  }

  // A copy taken in order with the writes, unaffected by later ones.
  Contents dictionary() const {
    Contents result;
    queue_->sync([&] { result = state_->objects; });
    return result;
  }

  // The contents in the property-list style of Value::description(), keys in order.
  std::string description() const {
    platform::Dictionary described;
    queue_->sync([&] {
      for (const auto& [key, object] : state_->objects) {
        described.set(describe(key).description(), describe(object));
      }
    });
    return platform::Value(std::move(described)).description();
  }

  // Queued; a null key or object is ignored, as the caller cannot be told of a refusal
  // once the call has returned.
  void setObject(Object object, Key key) {
    if (isNull(object) || isNull(key)) return;
    queue_->async([state = state_, object = std::move(object), key = std::move(key)]() mutable {
      state->objects.insert_or_assign(std::move(key), std::move(object));
    });
  }
  // As setObject(), except that a null object removes the key.
  void setObjectForKeyedSubscript(ObjectOrNull object, Key key) {
    if (isNull(key)) return;
    if (!static_cast<bool>(object)) {
      removeObjectForKey(std::move(key));
      return;
    }
    if constexpr (ZULNullableObject<Object>) {
      setObject(std::move(object), std::move(key));
    } else {
      setObject(std::move(*object), std::move(key));
    }
  }

  void removeObjectForKey(Key key) {
    if (isNull(key)) return;
    queue_->async([state = state_, key = std::move(key)] { state->objects.erase(key); });
  }

  // Removes the entry only while it still holds that object, so that a removal decided on an
  // earlier look never takes out what was set under the key since.
  void removeObjectForKeyIfIdentical(Key key, Object expected) {
    queue_->async([state = state_, key = std::move(key), expected = std::move(expected)] {
      const auto found = state->objects.find(key);
      if (found != state->objects.end() && found->second == expected) state->objects.erase(found);
    });
  }

  void removeAllObjects() {
    queue_->async([state = state_] { state->objects.clear(); });
  }

 private:
  // Held by the queued writes too, so a write still queued when the table goes finds its
  // contents in place.
  struct State {
    Contents objects;
  };

  template <typename T> static bool isNull(const T& item) {
    if constexpr (ZULNullableObject<T>) {
      return !static_cast<bool>(item);
    } else {
      return false;
    }
  }

  template <typename T> static platform::Value describe(const T& item) {
    if constexpr (std::is_constructible_v<platform::Value, const T&> && !std::is_pointer_v<T>) {
      return platform::Value(item);
    } else if constexpr (requires { item.description(); }) {
      return platform::Value(item.description());
    } else if constexpr (requires { item->description(); }) {
      return item ? platform::Value(item->description()) : platform::Value("(null)");
    } else {
      static_assert(
          requires { item.get(); }, "no description for this type");
      return platform::Value(platform::format("%p", {static_cast<const void*>(item.get())}));
    }
  }

  std::shared_ptr<State> state_;
  platform::QueuePtr queue_;
};
