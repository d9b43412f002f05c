// APMAEU: how the app was installed and what kind of bundle it is (store receipt, store
// encryption, app extension), with the decisions kept as pure functions over the facts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/value.h"

class APMAEU {
 public:
  // The store receipt's location; none on this platform, and none when the Info.plist turns
  // the check off with "ZiruzadaAppStoreReceiptURLCheckEnabled" as a number reading NO.
  static std::optional<std::string> appStoreRURL();
  static bool isASRS();
  static bool isNOD() { return false; }
  static bool isFAS();
  static std::string deviceModel();
  static std::string systemVersion();
  static bool isAEX();

  // ---- The decisions over given facts

  // The receipt location the Info.plist lets through.
  static std::optional<std::string>
  appStoreRURLWithInfoDictionary(const platform::Dictionary& info,
                                 const std::optional<std::string>& receiptURL);
  // Whether the URL's last path component is exactly "sandboxReceipt".
  static bool isSandboxReceiptURL(const std::optional<std::string>& receiptURL);
  // Whether a bundle at this path is an app extension (ends with ".appex").
  static bool isAppExtensionPath(const std::string& bundlePath);

  // Of one image's header bytes: none when they are not an executable image's header (not
  // the header magic, or another file type); else whether the first encryption-info command
  // of the header's width carries a non-zero crypt identifier. A walk that runs past the
  // bytes, or a command shorter than its own header, ends it as not encrypted.
  static std::optional<bool> executableHeaderEncryption(std::span<const std::uint8_t> header);
  // The first executable image decides; no executable image: not encrypted.
  static bool isFirstExecutableEncrypted(const std::vector<std::span<const std::uint8_t>>& images);

  struct InstallFacts {
    bool isNOD = false;
    bool isASRS = false;
    // An item "SC_Info" inside the bundle's directory.
    bool hasSCInfo = false;
    bool executableEncrypted = false;
    // A resource "embedded" of type "mobileprovision".
    bool hasEmbeddedProvision = false;
  };
  static bool isFASWithFacts(const InstallFacts& facts);
  // The facts of the running process and its main bundle (the receipt given).
  static InstallFacts installFacts(const std::optional<std::string>& receiptURL);

  // Whether the main executable is encrypted, worked out once per process over the loaded
  // images.
  static bool isMainExecutableEncrypted();
};
