// FuzzInput: takes a fuzz target's input apart into the choices and payloads a target needs,
// and fuzzCheck: stops the process on a broken promise so that the fuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"
#include "platform/value.h"

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // 0 once the input is used up, so that every input means something.
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::uint64_t integer(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | byte();
    return value;
  }
  // Eight bytes taken as the bits of a double, so that NaN, infinities and subnormals come up.
  double real() {
    const std::uint64_t bits = integer(8);
    double number;
    std::memcpy(&number, &bits, sizeof number);
    return number;
  }
  // A run of bytes whose length comes from the byte before it.
  std::string shortText() { return text(byte()); }
  std::string text(std::size_t length) {
    if (length > size_) length = size_;
    std::string taken(reinterpret_cast<const char*>(data_), length);
    data_ += length;
    size_ -= length;
    return taken;
  }
  std::string rest() { return text(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

inline platform::Data dataOf(const std::uint8_t* data, std::size_t size) {
  return platform::Data(data, size);
}

// A value of one of the kinds a database column holds, for selectors 0 to 3: null, integer,
// real, text. Other selectors give none, for the caller's own kinds (blobs of the length it
// chooses, small numbers).
inline std::optional<platform::Value> columnValue(FuzzInput& input, unsigned selector) {
  switch (selector) {
  case 0:
    return platform::Value();
  case 1:
    return platform::Value(static_cast<std::int64_t>(input.integer(8)));
  case 2:
    return platform::Value(input.real());
  case 3:
    return platform::Value(input.shortText());
  default:
    return std::nullopt;
  }
}

// Aborts with the broken promise, which both libFuzzer and the corpus replay report as a
// failure of the current input.
inline void fuzzCheck(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

}  // namespace fuzz
