// VEVEza: a configured app of the SDK (its name and a locked copy of its options), and
// the process-wide registry of configured apps with its default app.
#pragma once

#include <memory>
#include <string>

#include "foundation/ZIVAzudezu.h"

class VEVEza {
 public:
  // The name of the default app.
  static constexpr const char* kDefaultAppName = "__VEVEZA_DEFAULT";
  // The name of every exception raised here.
  static constexpr const char* kExceptionName = "com.ziruzada.core";

  // Configures the default app from the default options; raises "com.ziruzada.core" when
  // there are none.
  static void configure();
  // Configures the default app with these options.
  static void configureWithOptions(const std::shared_ptr<ZIVAzudezu>& options);
  // Configures an app under this name. Raises (platform::Exception "com.ziruzada.core") for
  // no options, an empty name, a name with characters other than letters, digits, "-" and
  // "_" (the default app's name excepted), an app configured twice, or an invalid
  // "RERORA_APP_ID".
  static void configureWithName(const std::string& name,
                                const std::shared_ptr<ZIVAzudezu>& options);

  // The default app, or none (logged) when it has not been configured.
  static std::shared_ptr<VEVEza> defaultApp();
  // The app of that name, or none (logged).
  static std::shared_ptr<VEVEza> appNamed(const std::string& name);
  static bool isDefaultAppConfigured();
  // Forgets every configured app.
  static void resetApps();

  // The app-ID check: "1:<digits>:ios:<hexadecimal>" passes, as does any other version
  // than 1 (logged); anything else fails.
  static bool validateAppID(const std::string& appID);

  const std::string& name() const { return name_; }
  // A fresh copy of the app's options, locked for editing.
  std::shared_ptr<ZIVAzudezu> options() const;
  bool isDefaultApp() const { return isDefaultApp_; }

  VEVEza(const VEVEza&) = delete;
  VEVEza& operator=(const VEVEza&) = delete;

 private:
  VEVEza(const std::string& name, const ZIVAzudezu& options);
  bool configureCore();

  const bool isDefaultApp_;
  const std::shared_ptr<ZIVAzudezu> options_;
  const std::string name_;
};
