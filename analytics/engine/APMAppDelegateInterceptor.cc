#include "analytics/engine/APMAppDelegateInterceptor.h"

std::shared_ptr<APMAppDelegateInterceptor> APMAppDelegateInterceptor::sharedInstance() {
  // Never destroyed: the swizzler may still hold it at exit.
  static const auto* const shared = [] {
    platform::Class& cls = platform::ObjectRuntime::registerClass<APMAppDelegateInterceptor>(
        "APMAppDelegateInterceptor");
    platform::addApplicationDelegateMethods<APMAppDelegateInterceptor>(cls);
    return new std::shared_ptr<APMAppDelegateInterceptor>(
        std::make_shared<APMAppDelegateInterceptor>());
  }();
  return *shared;
}
