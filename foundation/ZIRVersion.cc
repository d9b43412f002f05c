#include "foundation/ZIRVersion.h"

const std::string& ZIRSDKVersionString() {
  // Never destroyed: requests made on queues while the process exits still carry it.
  static const auto* const version = new std::string("10.27.0");
  return *version;
}
