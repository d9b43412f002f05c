// Protobuf wire bytes written by hand, so that the benchmarks build their inputs without going
// through the code they measure.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace bench_wire {

inline void putVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}
inline void putVarintField(std::string& out, std::uint32_t tag, std::uint64_t value) {
  putVarint(out, tag << 3);
  putVarint(out, value);
}
inline void putBytesField(std::string& out, std::uint32_t tag, const std::string& bytes) {
  putVarint(out, tag << 3 | 2);
  putVarint(out, bytes.size());
  out += bytes;
}
inline void putDoubleField(std::string& out, std::uint32_t tag, double value) {
  putVarint(out, tag << 3 | 1);
  char raw[8];
  std::memcpy(raw, &value, sizeof raw);
  out.append(raw, sizeof raw);
}

// An event as the client logs one: `params` parameters mixing string, integer and double
// values (event number `e` varies them), a name among twenty and its timestamp.
inline std::string eventBytes(int e, int params, std::int64_t timestampMillis) {
  std::string event;
  for (int p = 0; p < params; ++p) {
    std::string param;
    putBytesField(param, 1, "param_" + std::to_string(p));
    if (p % 3 == 0)
      putBytesField(param, 2, "value of parameter " + std::to_string(p * e));
    else if (p % 3 == 1)
      putVarintField(param, 3, 1000000 + p * e);
    else
      putDoubleField(param, 5, p * 0.25 + e);
    putBytesField(event, 1, param);
  }
  putBytesField(event, 2, "event_" + std::to_string(e % 20));
  putVarintField(event, 3, static_cast<std::uint64_t>(timestampMillis));
  return event;
}

}  // namespace bench_wire
