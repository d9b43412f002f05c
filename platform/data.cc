#include "platform/data.h"

namespace platform {

std::string Data::hexString() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes_.size() * 2);
  for (std::uint8_t byte : bytes_) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

}  // namespace platform
