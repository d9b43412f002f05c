#include "foundation/ZIRVersion.h"

const std::string& ZIRSDKVersionString() {
  static const std::string version = "10.27.0";
  return version;
}
