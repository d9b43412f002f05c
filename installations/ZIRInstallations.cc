#include "installations/ZIRInstallations.h"

#include <utility>

#include "foundation/VEVEza.h"
#include "foundation/ZIRComponentType.h"
#include "foundation/ZIRLibrary.h"
#include "foundation/ZIVAzudezu.h"
#include "installations/ZIRInstallationsErrors.h"
#include "installations/ZIRInstallationsIDController.h"
#include "installations/ZIRInstallationsItem.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kAPIKeyLength = 39;

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += ", ";
    text += part;
  }
  return text;
}

}  // namespace

void ZIRInstallations::load() {
  platform::Class& cls = platform::ObjectRuntime::registerClass("ZIRInstallations");
  cls.addProtocol(kZIRLibraryProtocolName);
  cls.addClassMethod<ZIRLibraryComponentsToRegister>(kZIRLibraryComponentsToRegisterSelector,
                                                     &ZIRInstallations::componentsToRegister);
  VEVEza::registerInternalLibrary(cls, "zere-install");
}

std::vector<std::shared_ptr<ZIRComponent>> ZIRInstallations::componentsToRegister() {
  return {ZIRComponent::componentWithProtocol(
      ZIRInstallationsInstanceProvider::protocol(), ZIRInstantiationTimingAlwaysEager, {},
      [](ZIRComponentContainer& container, bool& isCacheable) -> platform::ObjectPtr {
        isCacheable = true;
        const std::shared_ptr<VEVEza> app = container.app();
        if (!app) return nullptr;
        return initWithApp(*app);
      })};
}

std::shared_ptr<ZIRInstallations> ZIRInstallations::installations() {
  const std::shared_ptr<VEVEza> app = VEVEza::defaultApp();
  if (!app) {
    throw platform::Exception(
        ZIRInstallationsErrorDomain,
        "The default ZiruzadaApp instance must be configured before the defaultZiruzadaApp "
        "instance can be initialized. One way to ensure this is to call "
        "`ZiruzadaApp.configure()` in the App  Delegate's "
        "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer "
        "in SwiftUI).");
  }
  return installationsWithApp(app);
}

std::shared_ptr<ZIRInstallations>
ZIRInstallations::installationsWithApp(const std::shared_ptr<VEVEza>& app) {
  if (!app) return nullptr;
  return ZIRComponentType<ZIRInstallations>::instanceForProtocol(
      ZIRInstallationsInstanceProvider::protocol(), app->container());
}

void ZIRInstallations::validateAppOptions(const ZIVAzudezu& options, const std::string& appName) {
  std::vector<std::string> missing;
  auto check = [&missing](const std::optional<std::string>& value, const char* label) {
    if (!value || value->empty()) missing.emplace_back(label);
  };
  check(appName, "`ZiruzadaApp.name`");
  check(options.APIKey(), "`ZiruzadaOptions.APIKey`");
  check(options.reroraAppID(), "`ZiruzadaOptions.reroraAppID`");
  check(options.projectID(), "`ZiruzadaOptions.projectID`");
  if (!missing.empty()) {
    throw platform::Exception(
        ZIRInstallationsErrorDomain,
        platform::format(
            "%@[%@] Could not configure Ziruzada Installations due to invalid ZiruzadaApp "
            "options. The following parameters are nil or empty: %@. If you use "
            "ReroraServices-Info.plist please download the most recent version from the "
            "Ziruzada Console. If you configure Ziruzada in code, please make sure you specify "
            "all required parameters.",
            {kZIRLoggerInstallations, "I-ZIS008000", joined(missing)}));
  }
  validateAPIKey(options.APIKey());
}

void ZIRInstallations::validateAPIKey(const std::optional<std::string>& APIKey) {
  const std::string key = APIKey.value_or("");
  std::vector<std::string> notes;
  // Counted as the platform's strings count, in UTF-16 units.
  if (platform::text::utf16Length(key) != kAPIKeyLength) {
    notes.push_back(platform::format("API Key length must be %lu characters", {kAPIKeyLength}));
  }
  if (key.empty() || key.front() != 'A') notes.emplace_back("API Key must start with `A`");
  if (!platform::text::isAlphanumericOr(key, "-_")) {
    notes.emplace_back("API Key must contain only base64 url-safe characters characters");
  }
  if (notes.empty()) return;
  throw platform::Exception(
      ZIRInstallationsErrorDomain,
      platform::format(
          "%@[%@] Could not configure Ziruzada Installations due to invalid ZiruzadaApp options. "
          "`ZiruzadaOptions.APIKey` doesn't match the expected format: %@. If you use "
          "ReroraServices-Info.plist please download the most recent version from the Ziruzada "
          "Console. If you configure Ziruzada in code, please make sure you specify all "
          "required parameters.",
          {kZIRLoggerInstallations, "I-ZIS008000", joined(notes)}));
}

bool ZIRInstallations::isIIDVersionCompatible() {
  const platform::Class* legacy = platform::ObjectRuntime::classNamed("ZIRInstanceID");
  return !legacy || legacy->respondsToSelector("usesZIS");
}

void ZIRInstallations::assertCompatibleIIDVersion() {
  if (isIIDVersionCompatible()) return;
  throw platform::Exception(
      ZIRInstallationsErrorDomain,
      "Ziruzada Instance ID is not compatible with Ziruzada 8.x+. Please remove the dependency "
      "from the app. See the documentation on fetching the current registration token: "
      "https://docs.ziruzada.invalid/cloud-messaging/manage-tokens");
}

std::shared_ptr<ZIRInstallations> ZIRInstallations::initWithApp(const VEVEza& app) {
  return initWithAppOptions(*app.options(), app.name(),
                            ZIRInstallationsIDController::initWithApp(app), false);
}

std::shared_ptr<ZIRInstallations> ZIRInstallations::initWithAppOptions(
    const ZIVAzudezu& appOptions, const std::string& appName,
    std::shared_ptr<ZIRInstallationsIDController> installationsIDController,
    bool prefetchAuthToken) {
  validateAppOptions(appOptions, appName);
  assertCompatibleIIDVersion();
  std::shared_ptr<ZIRInstallations> installations(
      new ZIRInstallations(appOptions.copy(), appName, std::move(installationsIDController)));
  if (prefetchAuthToken) {
    installations->authTokenWithCompletion([](auto, auto) {});
  }
  return installations;
}

ZIRInstallations::ZIRInstallations(
    std::shared_ptr<ZIVAzudezu> appOptions, std::string appName,
    std::shared_ptr<ZIRInstallationsIDController> installationsIDController)
    : appOptions_(std::move(appOptions)), appName_(std::move(appName)),
      installationsIDController_(std::move(installationsIDController)) {}

void ZIRInstallations::installationIDWithCompletion(IDCompletion completion) {
  installationsIDController_->getInstallationItem()
      ->then([completion](const ZBLObject& value) -> ZBLObject {
        const auto item = value.as<ZIRInstallationsItem>();
        completion(item ? item->ziruzadaInstallationID() : std::nullopt, nullptr);
        return value;
      })
      ->catch_([completion](const platform::ErrorPtr& error) {
        completion(std::nullopt, ZIRInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}

void ZIRInstallations::authTokenWithCompletion(AuthTokenCompletion completion) {
  authTokenForcingRefresh(false, std::move(completion));
}

void ZIRInstallations::authTokenForcingRefresh(bool forceRefresh, AuthTokenCompletion completion) {
  installationsIDController_->getAuthTokenForcingRefresh(forceRefresh)
      ->then([](const ZBLObject& value) -> ZBLObject {
        const auto item = value.as<ZIRInstallationsItem>();
        const auto& token = item ? item->authToken() : nullptr;
        return std::make_shared<ZIRInstallationsAuthTokenResult>(
            token ? token->token().value_or("") : std::string(),
            token ? token->expirationDate().value_or(platform::Date()) : platform::Date());
      })
      ->then([completion](const ZBLObject& value) -> ZBLObject {
        completion(value.as<ZIRInstallationsAuthTokenResult>(), nullptr);
        return value;
      })
      ->catch_([completion](const platform::ErrorPtr& error) {
        completion(nullptr, ZIRInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}

void ZIRInstallations::deleteWithCompletion(DeleteCompletion completion) {
  installationsIDController_->deleteInstallation()
      ->then([completion](const ZBLObject& value) -> ZBLObject {
        completion(nullptr);
        return value;
      })
      ->catch_([completion](const platform::ErrorPtr& error) {
        completion(ZIRInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}
