#include "installations/ZIRInstallationsIIDTokenInfo.h"

#include <mutex>

#include "foundation/ZULSecureCoding.h"
#include "installations/ZIRInstallationsErrors.h"

void ZIRInstallationsIIDTokenInfo::encodeWithCoder(platform::KeyedArchiver&) const {}

platform::SecureCodingPtr
ZIRInstallationsIIDTokenInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto info = std::make_shared<ZIRInstallationsIIDTokenInfo>();
  info->token = coder.decodeString("token");
  return info;
}

void ZIRInstallationsIIDTokenInfo::registerSecureCodingClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::registerSecureCodingClass(ZIRInstallationsIIDTokenInfoClassName,
                                        &ZIRInstallationsIIDTokenInfo::initWithCoder);
  });
}

std::optional<std::string>
ZIRInstallationsIIDTokenInfo::tokenWithArchiveData(const platform::Data& data,
                                                   platform::ErrorPtr* error) {
  registerSecureCodingClass();
  platform::ErrorPtr unarchivingError;
  const auto root = ZULSecureCoding::unarchivedObjectOfClass(
      ZIRInstallationsIIDTokenInfoClassName, data,
      {{ZIRInstallationsIIDTokenInfoArchivedClassName, ZIRInstallationsIIDTokenInfoClassName}},
      &unarchivingError);
  if (unarchivingError) {
    if (error) *error = unarchivingError;
    return std::nullopt;
  }
  const auto info = platform::recordAs<ZIRInstallationsIIDTokenInfo>(root);
  if (!info || !info->token || info->token->empty()) {
    if (error) *error = ZIRInstallationsErrorUtil::corruptedIIDTokenData();
    return std::nullopt;
  }
  return info->token;
}
