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

}  // namespace bench_wire
