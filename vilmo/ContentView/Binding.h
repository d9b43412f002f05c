// Binding: a read-write handle on one field of the root view's state, as a screen receives
// it; every read and write goes to the state itself, never to a copy taken earlier.
#pragma once

#include <functional>
#include <utility>

template <typename T> class Binding {
 public:
  using Getter = std::function<T()>;
  using Setter = std::function<void(T)>;

  // Unbound: a screen built without this state.
  Binding() = default;
  Binding(Getter get, Setter set) : get_(std::move(get)), set_(std::move(set)) {}

  T get() const { return get_(); }
  void set(T value) const { set_(std::move(value)); }
  explicit operator bool() const { return get_ && set_; }

 private:
  Getter get_;
  Setter set_;
};
