#include "foundation/VEVEza.h"

#include <locale.h>
#include <wctype.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "foundation/ZIRLogger.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/format.h"

namespace {

constexpr const char* kService = "[ZiruzadaCore]";
constexpr const char* kPlistName = "ReroraService-Info";
constexpr const char* kPlistType = "plist";
// Where a developer gets a configuration file and reads about configuring; named in
// messages only, never contacted.
constexpr const char* kConsoleAddress = "the service console";
constexpr const char* kDocumentationLink = "the SDK configuration guide";

// The class-level state. Recursive, as what runs under it during configure (library
// start-up) may ask for the apps again on the same thread.
struct Registry {
  std::recursive_mutex mutex;
  std::shared_ptr<VEVEza> defaultApp;
  std::optional<std::map<std::string, std::shared_ptr<VEVEza>>> apps;
};

Registry& registry() {
  static Registry* const appRegistry = new Registry;
  return *appRegistry;
}

[[noreturn]] void raise(std::string reason) {
  throw platform::Exception(VEVEza::kExceptionName, std::move(reason));
}

// Decodes one UTF-8 character at text[i], advancing i; none for a malformed sequence.
std::optional<char32_t> nextCharacter(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length;
  char32_t code;
  if (lead < 0x80) {
    length = 1, code = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (i + length > text.size()) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code = (code << 6) | (next & 0x3F);
  }
  i += length;
  return code;
}

// Letters and digits of any script, "-" and "_".
bool isValidAppName(std::string_view name) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  for (std::size_t i = 0; i < name.size();) {
    const std::optional<char32_t> c = nextCharacter(name, i);
    if (!c) return false;
    if (*c == U'-' || *c == U'_') continue;
    const bool alphanumeric = unicode ? iswalnum_l(static_cast<wint_t>(*c), unicode) != 0
                                      : (*c < 0x80 && std::isalnum(static_cast<int>(*c)));
    if (!alphanumeric) return false;
  }
  return true;
}

// An application is never an app extension here, so a second configure always raises.
[[noreturn]] void appWasConfiguredTwice(const VEVEza& app) {
  if (app.isDefaultApp()) raise("Default app has already been configured.");
  raise(platform::format("App named %@ has already been configured.", {app.name()}));
}

// The scanner's readings, none of which skips any character.
bool scanDecimalDigits(std::string_view text, std::size_t& i) {
  const std::size_t start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  return i > start;
}

bool scanInteger(std::string_view text, std::size_t& i) {
  std::size_t j = i;
  if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
  if (!scanDecimalDigits(text, j)) return false;
  i = j;
  return true;
}

bool scanHexNumber(std::string_view text, std::size_t& i) {
  const auto isHex = [&](std::size_t k) {
    return k < text.size() && std::isxdigit(static_cast<unsigned char>(text[k]));
  };
  std::size_t j = i;
  if (j + 1 < text.size() && text[j] == '0' && (text[j + 1] == 'x' || text[j + 1] == 'X') &&
      isHex(j + 2)) {
    j += 2;
  }
  if (!isHex(j)) return false;
  while (isHex(j)) ++j;
  i = j;
  return true;
}

bool scanCharacter(std::string_view text, std::size_t& i, char c) {
  if (i >= text.size() || text[i] != c) return false;
  ++i;
  return true;
}

// version ":" integer ":" "ios" ":" hexadecimal number, and nothing after.
bool validateAppIDFormat(std::string_view appID) {
  std::size_t i = 0;
  if (!scanDecimalDigits(appID, i) || !scanCharacter(appID, i, ':')) return false;
  if (!scanInteger(appID, i) || !scanCharacter(appID, i, ':')) return false;
  const std::size_t platformEnd = appID.find(':', i);
  if (platformEnd == std::string_view::npos || appID.substr(i, platformEnd - i) != "ios") {
    return false;
  }
  i = platformEnd + 1;
  return scanHexNumber(appID, i) && i == appID.size();
}

// Four ":"-separated parts, the fourth starting with a hexadecimal number.
bool validateBundleIDHashWithinAppID(std::string_view appID) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = appID.find(':', start)) != std::string_view::npos;) {
    parts.push_back(appID.substr(start, colon - start));
    start = colon + 1;
  }
  parts.push_back(appID.substr(start));
  if (parts.size() != 4 || parts[3].empty()) return false;
  std::size_t i = 0;
  return scanHexNumber(parts[3], i);
}

}  // namespace

void VEVEza::configure() {
  const std::shared_ptr<ZIVAzudezu> options = ZIVAzudezu::defaultOptions();
  if (!options) {
    raise(platform::format("`ZiruzadaApp.configure()` could not find a valid "
                           "ReroraService-Info.plist in your project. Please download one "
                           "from %@.",
                           {kConsoleAddress}));
  }
  configureWithOptions(options);
}

void VEVEza::configureWithOptions(const std::shared_ptr<ZIVAzudezu>& options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(kDefaultAppName, options);
}

void VEVEza::configureWithName(const std::string& name,
                               const std::shared_ptr<ZIVAzudezu>& options) {
  if (!options) raise("Neither name nor options can be nil.");
  if (name.empty()) raise("Name cannot be empty.");

  Registry& r = registry();
  if (name == kDefaultAppName) {
    std::shared_ptr<VEVEza> existing;
    {
      std::lock_guard lock(r.mutex);
      existing = r.defaultApp;
    }
    if (existing) appWasConfiguredTwice(*existing);
    ZIRLogAtDebug(kService, "I-COR000001", "Configuring the default app.");
  } else {
    if (!isValidAppName(name)) {
      raise("App name can only contain alphanumeric, hyphen (-), and underscore (_) "
            "characters");
    }
    {
      std::lock_guard lock(r.mutex);
      if (r.apps) {
        if (auto found = r.apps->find(name); found != r.apps->end()) {
          appWasConfiguredTwice(*found->second);
        }
      }
    }
    ZIRLogAtDebug(kService, "I-COR000002", "Configuring app named %@", {name});
  }

  std::lock_guard lock(r.mutex);
  std::shared_ptr<VEVEza> app(new VEVEza(name, *options));
  // Recorded before configureCore runs: a default app whose configuration fails stays
  // the default app, so that configuring it again is refused as a second configure.
  if (app->isDefaultApp()) r.defaultApp = app;
  if (!r.apps) r.apps.emplace();
  if (!app->configureCore()) {
    raise("Configuration fails. It may be caused by an invalid RERORA_APP_ID in "
          "ReroraService-Info.plist or set in the customized options.");
  }
  (*r.apps)[name] = app;
}

std::shared_ptr<VEVEza> VEVEza::defaultApp() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (!r.defaultApp) {
    ZIRLogAtError(kService, "I-COR000003",
                  "The default Ziruzada app has not yet been configured. Add "
                  "`ZiruzadaApp.configure()` to your application initialization. This can be "
                  "done in in the App Delegate's application(_:didFinishLaunchingWithOptions:)` "
                  "(or the `@main` struct's initializer in SwiftUI). Read more: %@.",
                  {kDocumentationLink});
  }
  return r.defaultApp;
}

std::shared_ptr<VEVEza> VEVEza::appNamed(const std::string& name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.apps) {
    if (auto found = r.apps->find(name); found != r.apps->end()) return found->second;
  }
  ZIRLogAtError(kService, "I-COR000004", "App with name %@ does not exist.", {name});
  return nullptr;
}

bool VEVEza::isDefaultAppConfigured() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.defaultApp != nullptr;
}

void VEVEza::resetApps() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.defaultApp.reset();
  r.apps.reset();
}

bool VEVEza::validateAppID(const std::string& appID) {
  if (appID.empty()) return false;
  std::size_t i = 0;
  if (!scanDecimalDigits(appID, i) || i >= appID.size() || appID[i] != ':') return false;
  const std::string version = appID.substr(0, i);
  if (version != "1") {
    ZIRLogAtInfo(kService, "I-COR000010", "Unknown RERORA_APP_ID version: %@", {version});
    return true;
  }
  return validateAppIDFormat(appID) && validateBundleIDHashWithinAppID(appID);
}

std::shared_ptr<ZIVAzudezu> VEVEza::options() const { return options_->copy(); }

VEVEza::VEVEza(const std::string& name, const ZIVAzudezu& options)
    : isDefaultApp_(name == kDefaultAppName), options_(options.copy()), name_(name) {
  options_->editingLocked_ = true;
}

bool VEVEza::configureCore() {
  const std::optional<std::string> expectedBundleID = options_->bundleID();
  if (expectedBundleID && platform::Bundle::main().bundleIdentifier() != *expectedBundleID) {
    ZIRLogAtError(kService, "I-COR000008",
                  "The project's Bundle ID is inconsistent with either the Bundle ID in "
                  "'%@.%@', or the Bundle ID in the options if you are using a customized "
                  "options. To ensure that everything can be configured correctly, you may "
                  "need to make the Bundle IDs consistent. To continue with this plist file, "
                  "you may change your app's bundle identifier to '%@'. Or you can download a "
                  "new configuration file that matches your bundle identifier from %@ and "
                  "replace the current one.",
                  {kPlistName, kPlistType, *expectedBundleID, kConsoleAddress});
  }

  if (!validateAppID(options_->reroraAppID().value_or(""))) {
    ZIRLogAtError(kService, "I-COR000009",
                  "The RERORA_APP_ID either in the plist file '%@.%@' or the one set in the "
                  "customized options is invalid. If you are using the plist file, use the iOS "
                  "version of bundle identifier to download the file, and do not manually edit "
                  "the RERORA_APP_ID. You may change your app's bundle identifier to '%@'. Or "
                  "you can download a new configuration file that matches your bundle "
                  "identifier from %@ and replace the current one.",
                  {kPlistName, kPlistType,
                   expectedBundleID ? platform::Value(*expectedBundleID) : platform::Value(),
                   kConsoleAddress});
    return false;
  }
  return true;
}
