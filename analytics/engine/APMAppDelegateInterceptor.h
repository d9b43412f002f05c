// APMAppDelegateInterceptor: the object analytics registers with the application-delegate
// swizzler; an application delegate that holds nothing and answers none of the callbacks.
#pragma once

#include <memory>

#include "platform/application.h"

class APMAppDelegateInterceptor : public platform::ApplicationDelegate {
 public:
  // Made once, the same instance for the whole process.
  static std::shared_ptr<APMAppDelegateInterceptor> sharedInstance();
};
