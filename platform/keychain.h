// Keychain: the per-user store of generic-password and key items, reached through four
// item calls that take attribute dictionaries and answer with the platform's status codes.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/value.h"

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;

// Dictionary keys of queries and attributes.
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecAttrService = "service";
inline constexpr const char* kSecAttrAccount = "account";
inline constexpr const char* kSecAttrAccessGroup = "accessGroup";
// Byte attributes: given as Data, or as a string standing for its UTF-8 bytes; they read
// back as Data.
inline constexpr const char* kSecAttrGeneric = "generic";
inline constexpr const char* kSecAttrApplicationTag = "applicationTag";
inline constexpr const char* kSecAttrKeyType = "keyType";
inline constexpr const char* kSecAttrAccessible = "accessible";
inline constexpr const char* kSecValueData = "valueData";                // Data
inline constexpr const char* kSecReturnData = "returnData";              // Boolean
inline constexpr const char* kSecReturnAttributes = "returnAttributes";  // Boolean
inline constexpr const char* kSecMatchLimit = "matchLimit";
// Accepted in queries and ignored: there is one store per user.
inline constexpr const char* kSecUseDataProtectionKeychain = "useDataProtectionKeychain";

// Values of kSecClass.
inline constexpr const char* kSecClassGenericPassword = "genericPassword";
inline constexpr const char* kSecClassKey = "key";
// Values of kSecAttrKeyType.
inline constexpr const char* kSecAttrKeyTypeRSA = "rsa";
// Values of kSecMatchLimit; a query without one matches one item.
inline constexpr const char* kSecMatchLimitOne = "one";
inline constexpr const char* kSecMatchLimitAll = "all";
// Values of kSecAttrAccessible. They are recorded with the item and not enforced.
inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "whenUnlocked";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "afterFirstUnlock";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly =
    "afterFirstUnlockThisDeviceOnly";

// Items live in one SQLite file, "keychain.db" in the folder "Keychain" under Application
// Support (folder 0700, file 0600), opened at each call so that a test's own home is used.
//
// A query needs kSecClass; any other attribute it leaves out matches every item. An item is
// identified by class, access group and either service and account (generic passwords) or
// application tag (keys); absent attributes are stored as empty. Unknown keys, values of the
// wrong kind and a missing class are errSecParam.

// Adds the item made of the attributes and kSecValueData. errSecDuplicateItem when an item
// with the same identity exists. The result (if asked) is the stored attributes.
OSStatus SecItemAdd(const Dictionary& attributes, std::optional<Value>* result = nullptr);
// The matching items, oldest first: with kSecReturnData the data, with kSecReturnAttributes
// a dictionary of the attributes (plus kSecValueData when both are asked); with
// kSecMatchLimitAll an array of those. errSecItemNotFound when nothing matches.
OSStatus SecItemCopyMatching(const Dictionary& query, std::optional<Value>* result);
// Sets the given attributes (and kSecValueData) on every matching item, leaving the others
// as they were. errSecItemNotFound when nothing matches, errSecDuplicateItem when the
// change would give two items one identity.
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
// Deletes every matching item. errSecItemNotFound when nothing matches.
OSStatus SecItemDelete(const Dictionary& query);

}  // namespace platform
