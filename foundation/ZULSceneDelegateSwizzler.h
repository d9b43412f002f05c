// ZULSceneDelegateSwizzler: the scene-delegate counterpart of the application-delegate
// proxy. This platform has no scene delegates, so there is nothing to proxy.
#pragma once

#include "foundation/ZULAppDelegateSwizzler.h"

// The weak holder kept for scene delegates: the same as the application delegate's.
using ZULSceneZeroingWeakContainer = ZULZeroingWeakContainer;

class ZULSceneDelegateSwizzler {
 public:
  // Follows the application-delegate switch.
  static bool isSceneDelegateProxyEnabled();
  // Does nothing: there is no scene delegate here.
  static void proxyOriginalSceneDelegate() {}

  ZULSceneDelegateSwizzler() = delete;
};
