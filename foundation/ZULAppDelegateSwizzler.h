// ZULAppDelegateSwizzler: lets SDK libraries hear the application delegate's callbacks
// without the application forwarding them. The delegate object is given a run-time
// subclass of its own class whose added methods tell every registered interceptor first
// and then run the delegate's own code.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/ZULMutableDictionary.h"
#include "platform/application.h"
#include "platform/object_runtime.h"

// Holds an object weakly, so that registering it never keeps it alive.
class ZULZeroingWeakContainer {
 public:
  explicit ZULZeroingWeakContainer(const platform::ObjectPtr& object) : object_(object) {}
  // Null once the object is gone.
  platform::ObjectPtr object() const { return object_.lock(); }

 private:
  const std::weak_ptr<platform::Object> object_;
};

// "ZUL_" followed by the interceptor's address.
using ZULAppDelegateInterceptorID = std::string;

class ZULAppDelegateSwizzler {
 public:
  using Interceptors =
      ZULMutableDictionary<ZULAppDelegateInterceptorID, std::shared_ptr<ZULZeroingWeakContainer>>;

  // Off when either Info.plist key "ZiruzadaAppDelegateProxyEnabled" or
  // "ReroraUtilitiesAppDelegateProxyEnabled" holds a false number; a key that is absent or
  // not a number counts as on.
  static bool isAppDelegateProxyEnabled();

  // Keeps the interceptor (weakly) so that it hears the delegate's callbacks it answers:
  // those its runtime class has methods for (platform::addApplicationDelegateMethods).
  // A null one, or one that is not an application delegate, is reported to the assertion
  // handler and logged, and gets no ID.
  static std::optional<ZULAppDelegateInterceptorID>
  registerAppDelegateInterceptor(const platform::ObjectPtr& interceptor);
  // A null or empty ID is reported to the assertion handler; an ID without a live
  // interceptor is logged and left in place.
  static void unregisterAppDelegateInterceptorWithID(
      const std::optional<ZULAppDelegateInterceptorID>& interceptorID);

  // Once per process (main thread): gives the application's delegate the intercepting
  // subclass, unless the proxy is disabled or there is no delegate.
  static void proxyOriginalDelegate();
  // proxyOriginalDelegate(), then once per process the remote-notification callbacks too.
  static void proxyOriginalDelegateIncludingAPNSMethods();

  // The shared application, found through the runtime's class "NSApplication"; null when
  // that class is not loaded.
  static std::shared_ptr<platform::Application> sharedApplication();

  static Interceptors& interceptors();
  static void clearInterceptors();
  // The delegate as last proxied; forgotten once the application is given another one.
  static std::shared_ptr<platform::ApplicationDelegate> originalDelegate();
  // Lets both proxy steps run again, for tests.
  static void resetProxyOriginalDelegateOnceToken();

  // The Info.plist key that log messages tell the developer to set.
  static std::string correctAppDelegateProxyKey();
  // What a developer does by hand when the proxy was not made ("" in this program).
  static std::string correctAlternativeWhenAppDelegateProxyNotCreated();

  ZULAppDelegateSwizzler() = delete;
};

// Watches the application's "delegate" so that the swizzler lets go of the delegate it
// proxied once the application has been given another one.
class ZULAppDelegateObserver : public platform::KeyValueObserver {
 public:
  static std::shared_ptr<ZULAppDelegateObserver> sharedInstance();

  // Starts observing the shared application's "delegate", unless already observing.
  void observeApplication();
  bool isObserving() const;

  void observeValueForKeyPath(std::string_view keyPath, platform::Object& object,
                              const platform::KeyValueChange& change, void* context) override;

 private:
  void stopObserving();

  mutable std::mutex mutex_;
  bool isObserving_ = false;
  std::weak_ptr<platform::Application> application_;
};
