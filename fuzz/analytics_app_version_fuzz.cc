// The app's version text as the identity reads its numeric fields, and an identity over a
// persisted configuration whose file holds any bytes: every identifier it hands out keeps its
// form whatever the file held.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMIdentitySupport.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMPersistentDictionary.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

using namespace platform;

// The analytics directory in a folder of the target's own, removed at exit; the path of the
// persisted configuration's file there.
std::string makeHome() {
  std::string folder = (temporaryDirectory() / "vilmo-fuzz-identity-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  setenv("HOME", folder.c_str(), 1);
  setenv("XDG_DATA_HOME", folder.c_str(), 1);
  setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  setenv("XDG_CACHE_HOME", folder.c_str(), 1);
  const std::string path = APMApplicationSupportPlistPath("fuzz");
  fuzz::fuzzCheck(!path.empty(), "the analytics directory has a path");
  fuzz::fuzzCheck(createDirectory(std::filesystem::path(path).parent_path(), true),
                  "the analytics directory is made");
  return path;
}

// A component that answers from the input.
class InputIdentitySupport : public APMIdentitySupport {
 public:
  InputIdentitySupport(std::uint8_t flags, std::string identifier)
      : flags_(flags), identifier_(std::move(identifier)) {}
  bool hasAppDataConsentStatus() override { return flags_ & 1; }
  std::uint64_t appDataConsentStatus() override { return (flags_ >> 1) & 7; }
  bool hasLimitedAdTracking() override { return flags_ & 16; }
  bool limitedAdTracking() override { return flags_ & 32; }
  std::optional<std::string> resettableDeviceID() override {
    if (flags_ & 64) return std::nullopt;
    return identifier_;
  }

 private:
  const std::uint8_t flags_;
  const std::string identifier_;
};

bool isRandomIdentifier(const std::string& id, std::size_t length) {
  return id.size() == length && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = makeHome();
  fuzz::FuzzInput input(data, size);
  const std::string version = input.shortText();
  const auto fields = APMIdentity::numericFieldsFromAppVersionNumeric(version);
  fuzz::fuzzCheck(fields.size() <= version.size(), "at most one field per character");
  for (const std::int64_t field : fields) fuzz::fuzzCheck(field >= 0, "fields are not negative");

  const std::uint8_t flags = input.byte();
  const std::string identifier = input.shortText();
  {
    const std::string file = input.rest();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  const auto config = APMPersistedConfig::initWithSuiteName("fuzz");
  fuzz::fuzzCheck(config != nullptr, "a persisted configuration opens over any file");

  APMIdentity::Dependencies dependencies;
  dependencies.identitySupport = std::make_shared<InputIdentitySupport>(flags, identifier);
  const bool analyticsDenied = flags & 128;
  dependencies.isAnalyticsStorageDenied = [analyticsDenied] { return analyticsDenied; };
  dependencies.isAdStorageDenied = [] { return false; };
  const auto identity = APMIdentity::initWithPersistedConfig(config, dependencies);
  fuzz::fuzzCheck(identity != nullptr, "an identity is made over any configuration");

  const auto appInstanceID = identity->appInstanceID();
  fuzz::fuzzCheck(analyticsDenied ? !appInstanceID : appInstanceID.has_value(),
                  "an app instance ID exists exactly while analytics storage is allowed");
  identity->hashedResettableDeviceID();
  identity->resettableDeviceID();
  identity->appleConsentStatus();
  identity->shouldSetLastAdvertisingIDResetUserProperty();
  fuzz::fuzzCheck(text::utf16Length(identity->diversionKey()) == 5,
                  "the diversion key has five characters");
  fuzz::fuzzCheck(isRandomIdentifier(identity->ephemeralAppInstanceID(), 32),
                  "the ephemeral ID is 32 hexadecimal digits");
  const auto token = identity->sessionStitchingTokenWithSessionNumber(
      static_cast<std::int64_t>(flags) - 64, flags & 4, flags & 8);
  fuzz::fuzzCheck(analyticsDenied || (token && isRandomIdentifier(*token, 32)),
                  "a session stitching token is 32 hexadecimal digits");
  return 0;
}
