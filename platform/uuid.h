// UUID: a 128-bit identifier whose text form is the upper-case canonical
// 8-4-4-4-12 spelling.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // The nil UUID (all zero).
  UUID() = default;
  explicit UUID(const Bytes& bytes) : bytes_(bytes) {}
  // A random (version 4) UUID from the secure random source.
  static UUID random();
  // Reads the canonical form in either case; none for anything else.
  static std::optional<UUID> fromString(std::string_view text);

  const Bytes& bytes() const { return bytes_; }
  // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
  std::string string() const;

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  Bytes bytes_{};
};

}  // namespace platform
