// Data: an owned, immutable-by-default run of bytes, the unit that files, requests and
// archives exchange.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Data {
 public:
  Data() = default;
  explicit Data(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Data(const void* bytes, std::size_t length)
      : bytes_(static_cast<const std::uint8_t*>(bytes),
               static_cast<const std::uint8_t*>(bytes) + length) {}
  // The bytes of a string, as they are (no terminator).
  static Data fromString(std::string_view text) { return Data(text.data(), text.size()); }

  const std::uint8_t* bytes() const { return bytes_.data(); }
  std::uint8_t* mutableBytes() { return bytes_.data(); }
  std::size_t length() const { return bytes_.size(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  const std::vector<std::uint8_t>& vector() const { return bytes_; }
  std::vector<std::uint8_t>& vector() { return bytes_; }

  void append(const void* bytes, std::size_t length) {
    auto* p = static_cast<const std::uint8_t*>(bytes);
    bytes_.insert(bytes_.end(), p, p + length);
  }
  void append(const Data& other) { append(other.bytes(), other.length()); }

  // The bytes read as text (no validation; bytes are copied as they are).
  std::string toString() const { return std::string(bytes_.begin(), bytes_.end()); }
  // Lower-case hexadecimal, two digits per byte.
  std::string hexString() const;

  friend bool operator==(const Data&, const Data&) = default;
  friend auto operator<=>(const Data&, const Data&) = default;

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace platform
