// ZIRInstallationsIIDTokenInfo: the legacy default push token as the messaging client archived
// it in the keychain; only ever read.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/keyed_archive.h"

inline constexpr const char* ZIRInstallationsIIDTokenInfoClassName = "ZIRInstallationsIIDTokenInfo";
// The class name the legacy writer gave the archive's root object.
inline constexpr const char* ZIRInstallationsIIDTokenInfoArchivedClassName =
    "DEDOrizizuvAVIvizaDuvu";

class ZIRInstallationsIIDTokenInfo : public platform::SecureCodingObject {
 public:
  std::optional<std::string> token;

  std::string archiveClassName() const override { return ZIRInstallationsIIDTokenInfoClassName; }
  // Writes nothing: this program never writes the legacy token.
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // Reads "token" as a string.
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);
  static bool supportsSecureCoding() { return true; }
  // Safe to call again and from any thread.
  static void registerSecureCodingClass();

  // The token of a legacy token archive, read with the legacy class name mapped to this class.
  // An archive that does not unarchive fails with the unarchiver's error; one without a token
  // of at least one character with the corrupted-token error of the installations domain.
  static std::optional<std::string> tokenWithArchiveData(const platform::Data& data,
                                                         platform::ErrorPtr* error);
};
