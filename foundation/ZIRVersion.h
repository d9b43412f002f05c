// ZIRSDKVersionString: the SDK's version, printed at the head of every SDK log line and
// given to every library registered without a version of its own.
#pragma once

#include <string>

// "10.27.0".
const std::string& ZIRSDKVersionString();
