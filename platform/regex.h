// RegularExpression: a compiled pattern for unanchored searches in UTF-8 text, bounded in time
// and stack so that a pattern received from outside can never stall its caller.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace platform {

class RegularExpression {
 public:
  // Patterns longer than this (in bytes) are refused: expressions written by people for
  // short values are a few dozen characters, and compiling is not bounded in time by itself.
  static constexpr std::size_t kMaxPatternLength = 4096;
  // The matcher's work budget per search, in the regex engine's own time units (each a fixed
  // count of matching steps, about a millisecond of work on the hardware the unit was sized
  // for and less on today's). A sensible pattern against a value of a few hundred characters
  // needs a small fraction of one unit; catastrophic backtracking needs millions. 50 units
  // keeps a hostile pattern from costing more than some tens of milliseconds per value.
  static constexpr std::int32_t kTimeLimit = 50;
  // The backtracking stack allowed per search, in bytes; beyond it the search gives up.
  static constexpr std::int32_t kStackLimit = 1 << 20;

  // The compiled pattern, or null with `error` set (domain NSCocoaErrorDomain, code 2048,
  // the pattern under "NSInvalidValue") when it does not compile or is too long.
  static std::shared_ptr<const RegularExpression>
  make(std::string_view pattern, bool caseInsensitive, ErrorPtr* error = nullptr);

  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  const std::string& pattern() const { return pattern_; }
  bool isCaseInsensitive() const { return caseInsensitive_; }

  // Whether the pattern matches anywhere in the text; none when the search ran out of time
  // or stack. Safe to call from several threads at once: every search has its own matcher.
  std::optional<bool> hasMatch(std::string_view utf8) const;

 private:
  struct Compiled;
  RegularExpression(std::string pattern, bool caseInsensitive, std::unique_ptr<Compiled> compiled);

  std::string pattern_;
  bool caseInsensitive_;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace platform
