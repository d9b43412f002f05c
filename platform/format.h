// format: printf-style formatting over Values, type-safe because every argument carries
// its own kind, and never reading past the arguments it was given.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/value.h"

namespace platform {

// One argument of format(): a Value, or a pointer for %p. Built implicitly from anything
// a Value is built from; a pointer other than a C string is kept as an address (a plain
// pointer would otherwise turn into a Boolean Value).
class FormatArg {
 public:
  template <typename T>
  requires(std::constructible_from<Value, T> && !std::is_pointer_v<std::decay_t<T>>)
      FormatArg(T&& value)
      : value_(std::forward<T>(value)) {}
  FormatArg(const char* text) : value_(text) {}
  // A character is its code, for %c.
  FormatArg(char c) : value_(static_cast<int>(static_cast<unsigned char>(c))) {}
  FormatArg(const void* pointer)
      : value_(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer))),
        isPointer_(true) {}

  const Value& value() const { return value_; }
  bool isPointer() const { return isPointer_; }

 private:
  Value value_;
  bool isPointer_ = false;
};

// Directives:
//   %@     the argument's description(); "(null)" for a null Value
//   %s     a string as it is, anything else as %@
//   %d %i  signed decimal (an unsigned argument prints its own value, never wrapped)
//   %u %x %X
//          unsigned decimal and hexadecimal; a negative argument wraps as 64 bits
//   %f %g  floating
//   %c     the character with the argument's code (a string argument: its first
//          character); code 0 prints nothing
//   %p     an address as 0x followed by lower-case hexadecimal
//   %%     a percent sign
// with the flags "-+ #0", a width and a precision (%06ld, %-10s, %5.2f, %.3f). Widths and
// precisions of %@, %s and %c count characters, not bytes. Length modifiers (h, hh, l, ll,
// q, z, j, t, L) are accepted and ignored: the argument's kind decides.
//
// A mismatched kind converts: a string for %d reads as integerValue(), for %f as
// doubleValue(); a double for %d truncates. A missing argument (more directives than
// arguments) renders as "(null)" for %@ and %s, as nothing for %c, and as the number 0
// for every numeric directive (so "0" for %d, "0.000000" for %f, "0x0" for %p). Extra
// arguments are ignored. An unknown directive, or one using "*" or "$", is copied as it
// stands and takes no argument. Output is the same in every C locale.
std::string format(std::string_view fmt, std::initializer_list<FormatArg> args);
std::string format(std::string_view fmt, std::span<const FormatArg> args);

}  // namespace platform
