// Reads an installation record as the installations store finds it in the keychain, fills an
// item from it and checks the item; a record that decodes must archive again into the same
// record whenever its values can be written at all.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "foundation/ZULSecureCoding.h"
#include "fuzz/fuzz_input.h"
#include "installations/ZIRInstallationsItem.h"
#include "platform/system_log.h"

namespace {

bool sameToken(const std::shared_ptr<ZIRInstallationsStoredAuthToken>& a,
               const std::shared_ptr<ZIRInstallationsStoredAuthToken>& b) {
  if (!a || !b) return !a && !b;
  return a->status() == b->status() && a->token() == b->token() &&
         a->expirationDate() == b->expirationDate();
}

void setUp() {
  ZIRInstallationsRegisterStoredRecordClasses();
  // Records of newer versions log a warning each; the system log need not see them.
  platform::SystemLog::setCaptureSink([](const platform::SystemLog::Entry&) {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (setUp(), true);
  (void)ready;
  platform::ErrorPtr error;
  const auto root = ZULSecureCoding::unarchivedObjectOfClass(ZIRInstallationsStoredItemClassName,
                                                             fuzz::dataOf(data, size), &error);
  const auto stored = platform::recordAs<ZIRInstallationsStoredItem>(root);
  fuzz::fuzzCheck(!error || !root, "a refused record gives no object");
  if (!stored) return 0;

  if (stored->authToken) {
    const auto expiration = stored->authToken->expirationDate();
    fuzz::fuzzCheck(!expiration || std::isfinite(expiration->timeIntervalSince1970()),
                    "a read expiration date can come due");
  }

  ZIRInstallationsItem item("1:2:ios:3", "__VEVEZA_DEFAULT");
  item.updateWithStoredItem(*stored);
  platform::ErrorPtr validationError;
  fuzz::fuzzCheck(item.isValid(&validationError) == !validationError, "an invalid item says why");
  item.copy();

  const auto archive =
      ZULSecureCoding::archivedDataWithRootObject(platform::SecureCodingPtr(item.storedItem()));
  if (!archive) return 0;
  const auto again = platform::recordAs<ZIRInstallationsStoredItem>(
      ZULSecureCoding::unarchivedObjectOfClass(ZIRInstallationsStoredItemClassName, *archive));
  fuzz::fuzzCheck(again != nullptr, "a record written again reads again");
  fuzz::fuzzCheck(again->ziruzadaInstallationID == stored->ziruzadaInstallationID &&
                      again->refreshToken == stored->refreshToken &&
                      again->registrationStatus == stored->registrationStatus &&
                      again->IIDDefaultToken == stored->IIDDefaultToken &&
                      sameToken(again->authToken, stored->authToken),
                  "a record written again keeps its fields");
  return 0;
}
