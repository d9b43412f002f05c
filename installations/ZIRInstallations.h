// ZIRInstallations: the installation identity of one configured app as the other client
// libraries see it: the identifier, a short-lived auth token, and deletion. The work is the
// controller's; this front checks the app's options once and turns promises into completions.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/ZIRComponent.h"
#include "platform/date.h"
#include "platform/error.h"
#include "platform/object_runtime.h"

class VEVEza;
class ZIVAzudezu;
class ZIRInstallationsIDController;

// The protocol that names the installations service in a component container.
class ZIRInstallationsInstanceProvider {
 public:
  virtual ~ZIRInstallationsInstanceProvider() = default;
  static platform::Protocol protocol() {
    return platform::Protocol::of<ZIRInstallationsInstanceProvider>(
        "ZIRInstallationsInstanceProvider");
  }
};

// What token callers receive.
class ZIRInstallationsAuthTokenResult {
 public:
  ZIRInstallationsAuthTokenResult(std::string authToken, platform::Date expirationDate)
      : authToken_(std::move(authToken)), expirationDate_(expirationDate) {}
  const std::string& authToken() const { return authToken_; }
  platform::Date expirationDate() const { return expirationDate_; }

 private:
  const std::string authToken_;
  const platform::Date expirationDate_;
};

class ZIRInstallations : public platform::Object, public ZIRInstallationsInstanceProvider {
 public:
  // Completions run on the promise default queue (the main queue); exactly one argument of
  // each is set. Errors are always of the domain "com.ziruzada.installations".
  using IDCompletion =
      std::function<void(const std::optional<std::string>& identifier, platform::ErrorPtr error)>;
  using AuthTokenCompletion = std::function<void(
      std::shared_ptr<ZIRInstallationsAuthTokenResult> result, platform::ErrorPtr error)>;
  using DeleteCompletion = std::function<void(platform::ErrorPtr error)>;

  // The class-load hook: registers the class and, with the core, the library "zere-install".
  static void load();
  // One component, created eagerly for every configured app and kept for it.
  static std::vector<std::shared_ptr<ZIRComponent>> componentsToRegister();

  // The default app's instance; raises (platform::Exception "com.ziruzada.installations")
  // when there is no default app.
  static std::shared_ptr<ZIRInstallations> installations();
  // The app's instance, one per app.
  static std::shared_ptr<ZIRInstallations> installationsWithApp(const std::shared_ptr<VEVEza>& app);

  // The checks construction makes; each raises "com.ziruzada.installations".
  static void validateAppOptions(const ZIVAzudezu& options, const std::string& appName);
  static void validateAPIKey(const std::optional<std::string>& APIKey);
  static void assertCompatibleIIDVersion();
  static bool isIIDVersionCompatible();

  // With the app's own controller and no prefetch.
  static std::shared_ptr<ZIRInstallations> initWithApp(const VEVEza& app);
  // Checks the options (may raise), then, with prefetch, asks for a token at once.
  static std::shared_ptr<ZIRInstallations>
  initWithAppOptions(const ZIVAzudezu& appOptions, const std::string& appName,
                     std::shared_ptr<ZIRInstallationsIDController> installationsIDController,
                     bool prefetchAuthToken);

  void installationIDWithCompletion(IDCompletion completion);
  void authTokenWithCompletion(AuthTokenCompletion completion);
  void authTokenForcingRefresh(bool forceRefresh, AuthTokenCompletion completion);
  void deleteWithCompletion(DeleteCompletion completion);

  const std::shared_ptr<ZIVAzudezu>& appOptions() const { return appOptions_; }
  const std::string& appName() const { return appName_; }
  const std::shared_ptr<ZIRInstallationsIDController>& installationsIDController() const {
    return installationsIDController_;
  }

  ZIRInstallations(const ZIRInstallations&) = delete;
  ZIRInstallations& operator=(const ZIRInstallations&) = delete;

 private:
  ZIRInstallations(std::shared_ptr<ZIVAzudezu> appOptions, std::string appName,
                   std::shared_ptr<ZIRInstallationsIDController> installationsIDController);

  const std::shared_ptr<ZIVAzudezu> appOptions_;
  const std::string appName_;
  const std::shared_ptr<ZIRInstallationsIDController> installationsIDController_;
};
