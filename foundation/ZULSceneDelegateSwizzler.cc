#include "foundation/ZULSceneDelegateSwizzler.h"

#include "foundation/ZULAppDelegateSwizzler.h"

bool ZULSceneDelegateSwizzler::isSceneDelegateProxyEnabled() {
  return ZULAppDelegateSwizzler::isAppDelegateProxyEnabled();
}
