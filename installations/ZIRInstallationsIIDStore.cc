#include "installations/ZIRInstallationsIIDStore.h"

#include "installations/ZIRInstallationsErrors.h"
#include "platform/base64.h"
#include "platform/bundle.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "platform/plist.h"

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;

namespace {

constexpr std::size_t kIIDByteCount = 8;

// CFBundleIdentifier as the bundle states it. The platform's bundleIdentifier() falls back to
// the executable's name, which is no identifier any legacy key was tagged with.
std::optional<std::string> mainBundleIdentifier() {
  const std::string* identifier =
      platform::Bundle::main().objectForInfoDictionaryKey("CFBundleIdentifier").asString();
  if (!identifier || identifier->empty()) return std::nullopt;
  return *identifier;
}

}  // namespace

std::optional<std::string> ZIRInstallationsIIDStore::existingIIDValue() const {
  if (!hasPlistIIDFlag()) return std::nullopt;
  const auto publicKeyData = IIDPublicKeyData();
  if (!publicKeyData) return std::nullopt;
  return IIDWithPublicKeyData(*publicKeyData);
}

std::string ZIRInstallationsIIDStore::IIDWithPublicKeyData(const Data& publicKeyData) const {
  Data digest = sha1WithData(publicKeyData);
  std::uint8_t* bytes = digest.mutableBytes();
  bytes[0] = 0x70 | (bytes[0] & 0x0F);
  return base64URLEncodedStringWithData(Data(bytes, kIIDByteCount));
}

Data ZIRInstallationsIIDStore::sha1WithData(const Data& data) const {
  return platform::crypto::sha1(data);
}

std::string ZIRInstallationsIIDStore::base64URLEncodedStringWithData(const Data& data) const {
  return platform::base64::encode(data, platform::base64::Alphabet::URLSafe, false);
}

std::optional<Data> ZIRInstallationsIIDStore::IIDPublicKeyData() const {
  const auto tag = keychainKeyTagWithPrefix(ZIRInstallationsIIDKeyPairPublicTagPrefix);
  if (!tag) return std::nullopt;
  std::optional<platform::Value> result;
  if (platform::SecItemCopyMatching(keyPairQueryWithTag(*tag, true), &result) !=
      platform::errSecSuccess) {
    return std::nullopt;
  }
  const Data* data = result ? result->asData() : nullptr;
  return data ? std::optional(*data) : std::nullopt;
}

bool ZIRInstallationsIIDStore::deleteIID(ErrorPtr* error) const {
  return deleteKeychainKeyWithTagPrefix(ZIRInstallationsIIDKeyPairPublicTagPrefix, error) &&
         deleteKeychainKeyWithTagPrefix(ZIRInstallationsIIDKeyPairPrivateTagPrefix, error);
}

bool ZIRInstallationsIIDStore::deleteKeychainKeyWithTagPrefix(const std::string& tagPrefix,
                                                              ErrorPtr* error) const {
  const auto tag = keychainKeyTagWithPrefix(tagPrefix);
  if (!tag) return true;
  const platform::OSStatus status = platform::SecItemDelete(keyPairQueryWithTag(*tag, false));
  if (status == platform::errSecSuccess || status == platform::errSecItemNotFound) return true;
  if (error) *error = ZIRInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", status);
  return false;
}

Dictionary ZIRInstallationsIIDStore::keyPairQueryWithTag(const std::string& tag,
                                                         bool returnData) const {
  Dictionary query;
  query.set(platform::kSecClass, platform::kSecClassKey);
  query.set(platform::kSecAttrApplicationTag, Data::fromString(tag));
  query.set(platform::kSecAttrKeyType, platform::kSecAttrKeyTypeRSA);
  if (returnData) query.set(platform::kSecReturnData, true);
  return query;
}

std::optional<std::string>
ZIRInstallationsIIDStore::keychainKeyTagWithPrefix(const std::string& prefix) const {
  const auto identifier = mainBundleIdentifier();
  if (!identifier) return std::nullopt;
  return prefix + *identifier;
}

bool ZIRInstallationsIIDStore::deleteIIDFlagFromPlist(ErrorPtr* error) const {
  const std::filesystem::path path = plistPath();
  if (!platform::fileExists(path)) return true;
  ErrorPtr readError;
  auto marker = platform::plist::readDictionaryFile(path.string(), &readError);
  if (!marker) {
    // Unreadable as a dictionary, it cannot say there is an identifier; leave it as it is.
    return true;
  }
  marker->erase(ZIRInstallationsIIDCreationTimePlistKey);
  return platform::plist::writeFile(platform::Value(std::move(*marker)), path.string(),
                                    platform::plist::Format::XML, error);
}

bool ZIRInstallationsIIDStore::hasPlistIIDFlag() const {
  const std::filesystem::path path = plistPath();
  if (!platform::fileExists(path)) return false;
  const auto marker = platform::plist::readDictionaryFile(path.string());
  return marker && marker->contains(ZIRInstallationsIIDCreationTimePlistKey);
}

std::filesystem::path ZIRInstallationsIIDStore::plistPath() const {
  return platform::applicationSupportDirectory() / "Rerora" / "ZiruzadaInstanceID" /
         "com.rerora.iid-keypair.plist";
}
