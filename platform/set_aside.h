// Setting a damaged file or folder aside: it is moved beside itself under a name that tells
// when it was found, never replacing an earlier one, so that what it held can still be
// looked at by hand while a fresh one takes its place.
#pragma once

#include <optional>
#include <string>

#include "platform/error.h"

namespace platform {

// The current time, as set-aside names carry it: "20261211T093000Z" (UTC).
std::string setAsideTimestamp();

// Moves path to "<path>.damaged-<timestamp>", or to the first of "…-2" to "…-100" that is
// free. Returns the new path; none (and the move's error) when it cannot be moved.
std::optional<std::string> setAsideAsDamaged(const std::string& path,
                                             const std::string& timestamp,
                                             ErrorPtr* error = nullptr);

}  // namespace platform
