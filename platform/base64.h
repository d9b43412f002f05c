// Base64 in the standard and the URL-safe alphabets, for tokens, identifiers and
// payloads carried in text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"

namespace platform::base64 {

enum class Alphabet { Standard, URLSafe };

std::string encode(const Data& data, Alphabet alphabet = Alphabet::Standard, bool padded = true);
// Reads text in the given alphabet, with or without padding; none for any other
// character, a misplaced "=", or a length no encoder produces.
std::optional<Data> decode(std::string_view text, Alphabet alphabet = Alphabet::Standard);

}  // namespace platform::base64
