// Formats with format strings and arguments taken from the input, as a log line or a message
// built from a service's text would be: the format must never read past its arguments.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/format.h"

namespace {

using namespace platform;

// The first byte counts the arguments, each argument is a kind byte and its payload, and
// what is left is the format string.
FormatArg argumentFrom(fuzz::FuzzInput& input) {
  switch (input.byte() % 11) {
  case 0:
    return FormatArg(static_cast<std::int64_t>(input.integer(8)));
  case 1:
    return FormatArg(input.integer(8));
  case 2:
    return FormatArg(std::bit_cast<double>(input.integer(8)));
  case 3:
    return FormatArg(input.byte() % 2 == 1);
  case 4:
    return FormatArg(input.shortText());
  case 5:
    return FormatArg(Value(nullptr));
  case 6:
    return FormatArg(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(input.integer(8))));
  case 7:
    return FormatArg(Data::fromString(input.shortText()));
  case 8:
    return FormatArg(Array{Value(input.shortText()), Value(input.byte())});
  case 9: {
    auto key = input.shortText();
    return FormatArg(Dictionary{{std::move(key), Value(input.shortText())}});
  }
  default:
    return FormatArg(Date::fromTimeIntervalSince1970(std::bit_cast<double>(input.integer(8))));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  std::vector<FormatArg> arguments;
  for (int count = input.byte() % 8; count > 0; --count) {
    arguments.push_back(argumentFrom(input));
  }
  const std::string fmt = input.rest();
  const std::string text = format(fmt, arguments);
  if (fmt.find('%') == std::string::npos) {
    fuzz::fuzzCheck(text == fmt, "text without directives comes out as it is");
  }
  return 0;
}
