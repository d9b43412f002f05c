#include "foundation/ZULAppDelegateSwizzler.h"

#include <any>
#include <functional>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/ZULAppEnvironmentUtil.h"
#include "foundation/ZULLogger.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/uuid.h"

namespace {

using platform::Application;
using platform::ApplicationDelegate;
using platform::Class;
using platform::IMP;
using platform::Object;
using platform::ObjectPtr;
using platform::ObjectRuntime;

constexpr std::string_view kService = "[ReroraUtilities/AppDelegateSwizzler]";
// The file and lines are the ones these assertions have always reported.
constexpr const char* kAssertionFile = "ZULAppDelegateSwizzler";

constexpr const char* kZiruzadaProxyEnabledKey = "ZiruzadaAppDelegateProxyEnabled";
constexpr const char* kUtilitiesProxyEnabledKey = "ReroraUtilitiesAppDelegateProxyEnabled";
// A class only the deep-link campaign library defines; its presence changes the advice given.
constexpr const char* kDeepLinkLibraryClassName = "VOVOdov";

constexpr const char* kInterceptorIDPrefix = "ZUL_";
constexpr const char* kDelegateKeyPath = "delegate";

// Keys of what is attached to the proxied delegate object.
const char kRealImplementationsKey = 0;
const char kRealClassKey = 0;
// Tells the observer's own registration apart from any other.
const char kObserverContext = 0;

// The delegate's own implementation of each intercepted selector; null where its class
// had none.
using RealImplementations = std::map<std::string, IMP, std::less<>>;
using RealImplementationsPtr = std::shared_ptr<const RealImplementations>;

std::string messageCode(long number) { return platform::format("I-SWZ%06ld", {number}); }

void assertionFailed(const char* function, int line, const char* description) {
  platform::AssertionHandler::handleFailure({function, kAssertionFile, line, description});
}

// A one-time gate that tests can re-arm. Other callers wait while the first one runs.
class ResettableOnce {
 public:
  template <typename F> void call(F&& f) {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
    std::forward<F>(f)();
  }
  void reset() {
    std::lock_guard lock(mutex_);
    done_ = false;
  }

 private:
  std::mutex mutex_;
  bool done_ = false;
};

struct ProxyState {
  std::mutex mutex;
  Class* realClass = nullptr;
  Class* subclass = nullptr;
  // Strong, as the application holds its delegate only weakly.
  std::shared_ptr<ApplicationDelegate> originalDelegate;

  ResettableOnce proxyOnce;
  ResettableOnce remoteNotificationsOnce;
};

// Never destroyed: a callback may still come in while the process exits.
ProxyState& proxyState() {
  static auto* const state = new ProxyState;
  return *state;
}

RealImplementationsPtr attachedRealImplementations(const Object& object) {
  const std::any value = ObjectRuntime::associatedObject(object, &kRealImplementationsKey);
  const auto* implementations = std::any_cast<RealImplementationsPtr>(&value);
  return implementations ? *implementations : nullptr;
}

Class* attachedRealClass(const Object& object) {
  const std::any value = ObjectRuntime::associatedObject(object, &kRealClassKey);
  const auto* cls = std::any_cast<Class*>(&value);
  return cls ? *cls : nullptr;
}

IMP realImplementation(const Object& self, std::string_view selector) {
  const RealImplementationsPtr implementations = attachedRealImplementations(self);
  if (!implementations) return nullptr;
  const auto found = implementations->find(selector);
  return found == implementations->end() ? nullptr : found->second;
}

// Runs `call` for every live interceptor that answers the selector. Interceptors that are
// gone leave the registry here, as nothing else notices them go.
template <typename Call> void notifyInterceptors(std::string_view selector, Call&& call) {
  ZULAppDelegateSwizzler::Interceptors& registry = ZULAppDelegateSwizzler::interceptors();
  // A snapshot: an interceptor may register or unregister others while it runs.
  for (const auto& [interceptorID, container] : registry.dictionary()) {
    const ObjectPtr interceptor = container->object();
    if (!interceptor) {
      ZULLogAtWarning(kService, false, messageCode(1010),
                      "AppDelegateProxy cannot find interceptor with ID %@. Removing the "
                      "interceptor.",
                      {interceptorID});
      // An interceptor registered since at the same address keeps its entry.
      registry.removeObjectForKeyIfIdentical(interceptorID, container);
      continue;
    }
    if (ObjectRuntime::respondsToSelector(*interceptor, selector)) call(*interceptor);
  }
}

// ---- What the subclass runs, on the delegate object

bool continueUserActivity(Object& self, Application& application,
                          const platform::UserActivity& userActivity,
                          platform::UserActivityRestorationHandler restorationHandler) {
  const auto& selector = platform::kApplicationContinueUserActivitySelector;
  const IMP real = realImplementation(self, selector.name);
  bool handled = false;
  notifyInterceptors(selector.name, [&](Object& interceptor) {
    if (ObjectRuntime::send(interceptor, selector, application, userActivity, restorationHandler)) {
      handled = true;
    }
  });
  if (real && ObjectRuntime::call(real, self, selector, application, userActivity,
                                  std::move(restorationHandler))) {
    handled = true;
  }
  return handled;
}

template <typename... Args>
void forwardRemoteNotificationCallback(Object& self,
                                       const platform::Selector<void(Args...)>& selector,
                                       std::type_identity_t<Args>... arguments) {
  const IMP real = realImplementation(self, selector.name);
  notifyInterceptors(selector.name, [&](Object& interceptor) {
    ObjectRuntime::send(interceptor, selector, arguments...);
  });
  if (real) ObjectRuntime::call(real, self, selector, arguments...);
}

void donorDidRegisterForRemoteNotifications(Object& self, Application& application,
                                            const platform::Data& deviceToken) {
  forwardRemoteNotificationCallback(self,
                                    platform::kApplicationDidRegisterForRemoteNotificationsSelector,
                                    application, deviceToken);
}

void donorDidFailToRegisterForRemoteNotifications(Object& self, Application& application,
                                                  const platform::Error& error) {
  forwardRemoteNotificationCallback(
      self, platform::kApplicationDidFailToRegisterForRemoteNotificationsSelector, application,
      error);
}

void donorDidReceiveRemoteNotification(Object& self, Application& application,
                                       const platform::Dictionary& userInfo) {
  forwardRemoteNotificationCallback(
      self, platform::kApplicationDidReceiveRemoteNotificationSelector, application, userInfo);
}

// The delegate keeps describing itself under its own class.
std::string fakeDescription(Object& self) {
  const Class* realClass = attachedRealClass(self);
  return platform::format("<%@: %p>",
                          {(realClass ? *realClass : ObjectRuntime::classOf(self)).name(),
                           static_cast<const void*>(&self)});
}

// One implementation per donor for the whole process, as a class's method would have.
template <typename R, typename... Args> IMP donorImplementation(R (*function)(Object&, Args...)) {
  return platform::makeImplementation(std::function<R(Object&, Args...)>(function));
}

const IMP& continueUserActivityDonor() {
  static const auto* const implementation = new IMP(donorImplementation(&continueUserActivity));
  return *implementation;
}

const IMP& fakeDescriptionDonor() {
  static const auto* const implementation = new IMP(donorImplementation(&fakeDescription));
  return *implementation;
}

// Adds the donor to the subclass under the selector and records what the real class runs
// for it.
void addDonorMethod(Class& subclass, const Class& realClass, std::string_view selector,
                    const IMP& donor, RealImplementations& realImplementations) {
  realImplementations.insert_or_assign(std::string(selector),
                                       realClass.methodImplementation(selector));
  if (!subclass.addMethod(selector, donor)) {
    ZULLogAtWarning(kService, false, messageCode(1009),
                    "Cannot copy method to destination selector %@ as it already exists",
                    {std::string(selector)});
  }
}

// The intercepting subclass, made and registered, with the object moved into it; null when
// it could not be made (the object then keeps its class).
Class* createSubclassWithObject(Object& object) {
  Class& realClass = ObjectRuntime::classOf(object);
  const std::string name = platform::format(
      "%@-%@", {kInterceptorIDPrefix + realClass.name(), platform::UUID::random().string()});
  if (ObjectRuntime::classNamed(name)) {
    ZULLogAtError(kService, false, messageCode(1005),
                  "Cannot create a proxy for App Delegate. Subclass already exists. Original "
                  "Class: %@, subclass: %@",
                  {realClass.name(), name});
    return nullptr;
  }
  Class* subclass = ObjectRuntime::allocateClassPair(&realClass, name);
  if (!subclass) {
    ZULLogAtError(kService, false, messageCode(1006),
                  "Cannot create a proxy for App Delegate. Subclass already exists. Original "
                  "Class: %@, subclass: Nil",
                  {realClass.name()});
    return nullptr;
  }

  RealImplementations realImplementations;
  addDonorMethod(*subclass, realClass, platform::kApplicationContinueUserActivitySelector.name,
                 continueUserActivityDonor(), realImplementations);
  if (!subclass->addMethod(platform::kDescriptionSelector.name, fakeDescriptionDonor())) {
    ZULLogAtWarning(kService, false, messageCode(1009),
                    "Cannot copy method to destination selector %@ as it already exists",
                    {std::string(platform::kDescriptionSelector.name)});
  }

  ObjectRuntime::setAssociatedObject(
      object, &kRealImplementationsKey,
      RealImplementationsPtr(
          std::make_shared<const RealImplementations>(std::move(realImplementations))));
  ObjectRuntime::setAssociatedObject(object, &kRealClassKey, &realClass);

  if (realClass.instanceSize() != subclass->instanceSize()) {
    ZULLogAtError(kService, false, messageCode(1007),
                  "Cannot create subclass of App Delegate, because the created subclass is not "
                  "the same size. %@",
                  {realClass.name()});
    assertionFailed(__func__, 447, "Classes must be the same size to swizzle isa");
    ObjectRuntime::disposeClassPair(subclass);
    return nullptr;
  }
  if (!ObjectRuntime::registerClassPair(subclass)) {
    // Another class took the name meanwhile.
    ZULLogAtError(kService, false, messageCode(1005),
                  "Cannot create a proxy for App Delegate. Subclass already exists. Original "
                  "Class: %@, subclass: %@",
                  {realClass.name(), name});
    ObjectRuntime::disposeClassPair(subclass);
    return nullptr;
  }
  ObjectRuntime::setClass(object, *subclass);
  ZULLogAtDebug(kService, false, messageCode(1008),
                "Successfully created App Delegate Proxy automatically. To disable the proxy, set "
                "the flag %@ to NO (Boolean) in the Info.plist",
                {ZULAppDelegateSwizzler::correctAppDelegateProxyKey()});
  return subclass;
}

// Sets the delegate again so that the application re-reads which messages it answers, and
// watches for it being replaced.
void reassignAppDelegate() {
  const std::shared_ptr<Application> application = ZULAppDelegateSwizzler::sharedApplication();
  if (!application) return;
  const std::shared_ptr<ApplicationDelegate> delegate = application->delegate();
  application->setDelegate(nullptr);
  application->setDelegate(delegate);
  {
    ProxyState& state = proxyState();
    std::lock_guard lock(state.mutex);
    state.originalDelegate = delegate;
  }
  ZULAppDelegateObserver::sharedInstance()->observeApplication();
}

void proxyAppDelegate(const ObjectPtr& delegate) {
  if (!delegate || !ApplicationDelegate::protocol().isConformedBy(*delegate)) {
    ZULLogAtNotice(kService, false, messageCode(1014),
                   "App Delegate does not conform to UIApplicationDelegate protocol. %@",
                   {ZULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated()});
    return;
  }
  if (!ZULAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
    ZULLogAtNotice(kService, false, messageCode(1011), "App Delegate Proxy is disabled. %@",
                   {ZULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated()});
    return;
  }
  ProxyState& state = proxyState();
  // Proxied before (the once-token was re-armed since): a subclass of the subclass would
  // record the donors as the delegate's own code and call them without end.
  if (Class* realClass = attachedRealClass(*delegate);
      realClass && &ObjectRuntime::classOf(*delegate) != realClass) {
    {
      std::lock_guard lock(state.mutex);
      state.realClass = realClass;
      state.subclass = &ObjectRuntime::classOf(*delegate);
    }
    reassignAppDelegate();
    return;
  }
  {
    std::lock_guard lock(state.mutex);
    state.realClass = &ObjectRuntime::classOf(*delegate);
  }
  Class* subclass = createSubclassWithObject(*delegate);
  {
    std::lock_guard lock(state.mutex);
    state.subclass = subclass;
  }
  reassignAppDelegate();
}

void proxyRemoteNotificationsMethods() {
  const std::shared_ptr<Application> application = ZULAppDelegateSwizzler::sharedApplication();
  const std::shared_ptr<ApplicationDelegate> delegate =
      application ? application->delegate() : nullptr;
  if (!delegate) return;
  const RealImplementationsPtr attached = attachedRealImplementations(*delegate);
  const Class* realClass = attachedRealClass(*delegate);
  Class* subclass = nullptr;
  {
    ProxyState& state = proxyState();
    std::lock_guard lock(state.mutex);
    subclass = state.subclass;
  }
  if (!subclass || !realClass || !attached) return;

  static const auto* const donors = new std::vector<std::pair<std::string_view, IMP>>{
      {platform::kApplicationDidRegisterForRemoteNotificationsSelector.name,
       donorImplementation(&donorDidRegisterForRemoteNotifications)},
      {platform::kApplicationDidFailToRegisterForRemoteNotificationsSelector.name,
       donorImplementation(&donorDidFailToRegisterForRemoteNotifications)},
      {platform::kApplicationDidReceiveRemoteNotificationSelector.name,
       donorImplementation(&donorDidReceiveRemoteNotification)},
  };
  RealImplementations realImplementations = *attached;
  for (const auto& [selector, donor] : *donors) {
    addDonorMethod(*subclass, *realClass, selector, donor, realImplementations);
  }
  ObjectRuntime::setAssociatedObject(
      *delegate, &kRealImplementationsKey,
      RealImplementationsPtr(
          std::make_shared<const RealImplementations>(std::move(realImplementations))));
}

bool proxyEnabledFlag(std::string_view key) {
  const platform::Value& value = platform::Bundle::main().objectForInfoDictionaryKey(key);
  return value.isNumber() ? value.boolValue() : true;
}

}  // namespace

// ---- ZULAppDelegateSwizzler

bool ZULAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  const bool ziruzadaEnabled = proxyEnabledFlag(kZiruzadaProxyEnabledKey);
  const bool utilitiesEnabled = proxyEnabledFlag(kUtilitiesProxyEnabledKey);
  return ziruzadaEnabled && utilitiesEnabled;
}

std::optional<ZULAppDelegateInterceptorID>
ZULAppDelegateSwizzler::registerAppDelegateInterceptor(const ObjectPtr& interceptor) {
  if (!interceptor) {
    assertionFailed(__func__, 216, "AppDelegateProxy cannot add nil interceptor");
    ZULLogAtError(kService, false, messageCode(1000),
                  "AppDelegateProxy cannot add nil interceptor.");
    return std::nullopt;
  }
  if (!ApplicationDelegate::protocol().isConformedBy(*interceptor)) {
    assertionFailed(__func__, 218,
                    "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
    ZULLogAtError(kService, false, messageCode(1001),
                  "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
    return std::nullopt;
  }
  ZULAppDelegateInterceptorID interceptorID =
      platform::format("%@%p", {kInterceptorIDPrefix, static_cast<const void*>(interceptor.get())});
  if (interceptorID.empty()) {
    ZULLogAtError(kService, false, messageCode(1002),
                  "AppDelegateProxy cannot create Interceptor ID.");
    return std::nullopt;
  }
  interceptors().setObject(std::make_shared<ZULZeroingWeakContainer>(interceptor), interceptorID);
  return interceptorID;
}

void ZULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(
    const std::optional<ZULAppDelegateInterceptorID>& interceptorID) {
  if (!interceptorID) {
    assertionFailed(__func__, 251, "AppDelegateProxy cannot unregister nil interceptor ID.");
    ZULLogAtError(kService, false, messageCode(1003),
                  "AppDelegateProxy cannot unregister empty interceptor ID.");
    return;
  }
  if (interceptorID->empty()) {
    assertionFailed(__func__, 253, "AppDelegateProxy cannot unregister empty interceptor ID.");
  }
  const std::shared_ptr<ZULZeroingWeakContainer> container =
      interceptors().objectForKey(*interceptorID);
  if (!container || !container->object()) {
    ZULLogAtError(kService, false, messageCode(1004),
                  "AppDelegateProxy cannot unregister interceptor that was not registered. "
                  "Interceptor ID %@",
                  {*interceptorID});
    return;
  }
  interceptors().removeObjectForKeyIfIdentical(*interceptorID, container);
}

void ZULAppDelegateSwizzler::proxyOriginalDelegate() {
  if (ZULAppEnvironmentUtil::isAppExtension()) return;
  proxyState().proxyOnce.call([] {
    const std::shared_ptr<Application> application = sharedApplication();
    proxyAppDelegate(application ? application->delegate() : nullptr);
  });
}

void ZULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods() {
  if (ZULAppEnvironmentUtil::isAppExtension()) return;
  proxyOriginalDelegate();
  proxyState().remoteNotificationsOnce.call([] {
    proxyRemoteNotificationsMethods();
    reassignAppDelegate();
  });
}

std::shared_ptr<Application> ZULAppDelegateSwizzler::sharedApplication() {
  if (ZULAppEnvironmentUtil::isAppExtension()) return nullptr;
  const Class* cls = ObjectRuntime::classNamed("NSApplication");
  if (!cls || !cls->respondsToSelector("sharedApplication")) return nullptr;
  const auto method = cls->classMethod<std::shared_ptr<Application>()>("sharedApplication");
  return method ? method() : nullptr;
}

ZULAppDelegateSwizzler::Interceptors& ZULAppDelegateSwizzler::interceptors() {
  // Never destroyed, like the state it goes with.
  static auto* const registry = new Interceptors;
  return *registry;
}

void ZULAppDelegateSwizzler::clearInterceptors() { interceptors().removeAllObjects(); }

std::shared_ptr<ApplicationDelegate> ZULAppDelegateSwizzler::originalDelegate() {
  ProxyState& state = proxyState();
  std::lock_guard lock(state.mutex);
  return state.originalDelegate;
}

void ZULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken() {
  proxyState().proxyOnce.reset();
  proxyState().remoteNotificationsOnce.reset();
}

std::string ZULAppDelegateSwizzler::correctAppDelegateProxyKey() {
  return ObjectRuntime::classNamed(kDeepLinkLibraryClassName) ? kZiruzadaProxyEnabledKey
                                                              : kUtilitiesProxyEnabledKey;
}

std::string ZULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
  return ObjectRuntime::classNamed(kDeepLinkLibraryClassName)
             ? "To log deep link campaigns manually, call the methods in "
               "DAVOdazarado+AppDelegate.h."
             : "";
}

// ---- ZULAppDelegateObserver

std::shared_ptr<ZULAppDelegateObserver> ZULAppDelegateObserver::sharedInstance() {
  // Never destroyed: the application, which lives for the process, may still call it.
  static const auto* const shared =
      new std::shared_ptr<ZULAppDelegateObserver>(std::make_shared<ZULAppDelegateObserver>());
  return *shared;
}

void ZULAppDelegateObserver::observeApplication() {
  std::lock_guard lock(mutex_);
  if (isObserving_) return;
  const std::shared_ptr<Application> application = ZULAppDelegateSwizzler::sharedApplication();
  if (!application) return;
  application->addObserver(sharedInstance(), kDelegateKeyPath,
                           platform::kKeyValueObservingOptionNew |
                               platform::kKeyValueObservingOptionOld,
                           const_cast<char*>(&kObserverContext));
  application_ = application;
  isObserving_ = true;
}

bool ZULAppDelegateObserver::isObserving() const {
  std::lock_guard lock(mutex_);
  return isObserving_;
}

void ZULAppDelegateObserver::stopObserving() {
  std::lock_guard lock(mutex_);
  if (!isObserving_) return;
  if (const std::shared_ptr<Application> application = application_.lock()) {
    application->removeObserver(this, kDelegateKeyPath, const_cast<char*>(&kObserverContext));
  }
  application_.reset();
  isObserving_ = false;
}

void ZULAppDelegateObserver::observeValueForKeyPath(std::string_view keyPath, Object&,
                                                    const platform::KeyValueChange& change,
                                                    void* context) {
  if (context != &kObserverContext || keyPath != kDelegateKeyPath) return;
  const Object* oldValue = change.oldValue ? change.oldValue->get() : nullptr;
  const Object* newValue = change.newValue ? change.newValue->get() : nullptr;
  if (oldValue == newValue) return;
  // Released outside the lock: letting go may be the delegate's last reference.
  std::shared_ptr<ApplicationDelegate> released;
  {
    ProxyState& state = proxyState();
    std::lock_guard lock(state.mutex);
    const Object* remembered = state.originalDelegate.get();
    if (oldValue != remembered) return;
    released = std::move(state.originalDelegate);
    state.originalDelegate.reset();
  }
  stopObserving();
}
