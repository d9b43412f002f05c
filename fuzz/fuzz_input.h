// FuzzInput: takes a fuzz target's input apart into the choices and payloads a target needs,
// and fuzzCheck: stops the process on a broken promise so that the fuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/data.h"

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

// Aborts with the broken promise, which both libFuzzer and the corpus replay report as a
// failure of the current input.
inline void fuzzCheck(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

}  // namespace fuzz
