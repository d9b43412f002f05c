// Bundle: the folder of resources shipped with the program (Info.plist, service
// configuration, images) and the identity its Info.plist declares.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace platform {

class Bundle {
 public:
  // Reads the folder's Info.plist once; a missing or unreadable one reads as empty.
  explicit Bundle(std::filesystem::path bundlePath);

  // The program's bundle: the Resources/ folder beside the executable, or the folder
  // named by VILMO_BUNDLE_PATH (read once, at first use).
  static Bundle& main();
  // Makes the bundle at this folder the main bundle from now on. Bundles handed out
  // before stay valid (they are kept until exit), but callers that fixed paths from
  // them keep those.
  static void setMainForTesting(const std::filesystem::path& bundlePath);

  const std::filesystem::path& bundlePath() const { return bundlePath_; }
  // The bundle is its own resource folder.
  const std::filesystem::path& resourcePath() const { return bundlePath_; }
  // "<resourcePath>/<name>.<type>" (or "<name>" when type is empty) if it exists.
  std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                       std::string_view type) const;

  const Dictionary& infoDictionary() const { return info_; }
  // A null Value when the key is absent.
  const Value& objectForInfoDictionaryKey(std::string_view key) const;
  // A configured address or setting, read at every call: the environment variable when set
  // and not empty (tests and local services point things elsewhere with it), else the
  // Info.plist string; none when neither gives a non-empty value.
  std::optional<std::string> configurationValue(std::string_view infoKey,
                                                const char* environmentName) const;

  // CFBundleIdentifier; without one, the executable's file name, so that every program
  // (tests included) still gets a folder of its own under the per-user places.
  std::string bundleIdentifier() const;
  // CFBundleShortVersionString and CFBundleVersion.
  std::optional<std::string> shortVersionString() const;
  std::optional<std::string> version() const;
  // The running executable.
  std::filesystem::path executablePath() const;

 private:
  std::optional<std::string> infoString(std::string_view key) const;

  std::filesystem::path bundlePath_;
  Dictionary info_;
};

}  // namespace platform
