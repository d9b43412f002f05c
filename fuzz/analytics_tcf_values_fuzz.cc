// Feeds the six consent-framework values and the Info.plist switch with values of any kind, as
// another app's consent dialog or a damaged preferences file may leave them, through the data,
// the client's update, its string representation and its five-character summary. The input
// gives, per key, whether it is present and its value; then the DMA flag. The summary must
// keep its alphabet and length, an update must store what makes the next one see no change,
// and consent, when handed over, must name three types with a status each.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMTCFClient.h"
#include "analytics/data/APMTCFData.h"
#include "analytics/data/tests/memory_config_store.h"
#include "fuzz/fuzz_input.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

constexpr const char* kKeys[] = {"IABTCF_EnableAdvertiserConsentMode",
                                 "IABTCF_VendorConsents",
                                 "IABTCF_CmpSdkID",
                                 "IABTCF_gdprApplies",
                                 "IABTCF_PolicyVersion",
                                 "IABTCF_PurposeConsents"};
constexpr const char* kAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
// Bit strings as long as a real vendor list; the length comes from two bytes.
constexpr std::size_t kMaxBitString = 2048;

platform::Value readValue(fuzz::FuzzInput& input) {
  switch (input.byte() % 7) {
  case 0:
    return platform::Value(input.byte() % 2 == 1);
  case 1:
    return platform::Value(static_cast<std::int64_t>(input.integer(8)));
  case 2:
    return platform::Value(input.real());
  case 3: {
    // A bit string: each input byte's low bit is one character.
    const std::size_t length = static_cast<std::size_t>(input.integer(2)) % kMaxBitString;
    std::string text = input.text(length);
    for (char& c : text) c = (c & 1) ? '1' : '0';
    return platform::Value(std::move(text));
  }
  case 4:
    return platform::Value(input.shortText());
  case 5:
    return platform::Value(platform::Data::fromString(input.shortText()));
  default:
    return platform::Value(platform::Array{platform::Value(input.shortText())});
  }
}

class CountingEvents : public APMInternalEventLogging {
 public:
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Dictionary& parameters) override {
    fuzzCheck(origin == "auto" && name == "_tcf", "the change event is the auto _tcf event");
    const platform::Value& summary = parameters["_tcfd"];
    fuzzCheck(parameters.size() == 1 && summary.isString(), "the event carries the summary");
    ++count;
  }
  int count = 0;
};

class CheckingFront : public APMConsentFront {
 public:
  void setConsent(const platform::Dictionary& consent, const std::string& key) override {
    fuzzCheck(key == "consent_settings_tcf", "consent goes under the consent-string key");
    fuzzCheck(consent.size() == 3 && !consent.contains("analytics_storage"),
              "a consent string sets ad storage, personalization and user data only");
    for (const auto& [type, status] : consent) {
      fuzzCheck(status == platform::Value("granted") || status == platform::Value("denied"),
                "a consent-string status is granted or denied");
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  auto appDefaults = std::make_shared<MemoryConfigStore>();
  for (const char* key : kKeys) {
    if (input.byte() % 4 != 0) appDefaults->setObject(readValue(input), key);
  }
  platform::Dictionary info;
  if (input.byte() % 2 == 1) info.set("RERORA_ANALYTICS_TCF_DATA_ENABLED", readValue(input));
  const bool dmaRegion = input.byte() % 2 == 1;

  auto events = std::make_shared<CountingEvents>();
  APMSetInternalEventLogging(events);
  APMSetConsentFront(std::make_shared<CheckingFront>());

  auto suite = std::make_shared<MemoryConfigStore>();
  APMTCFClient client(std::make_shared<APMTCFData>(appDefaults, info), suite);
  client.setIsDMARegion(dmaRegion);
  client.setConsentFromTCFData();

  const std::string summary = client.tcfBundleParameterValue();
  fuzzCheck(summary.size() == 5 && summary[0] == '1', "the summary is 1 and four characters");
  for (char c : summary) {
    fuzzCheck(std::strchr(kAlphabet, c) != nullptr, "summary characters come from the alphabet");
  }
  fuzzCheck(client.stringRepresentationFromTCFData().starts_with("isTCFDataEnabled="),
            "the representation starts with the switch");
  const int logged = events->count;
  client.setConsentFromTCFData();
  fuzzCheck(events->count == logged, "unchanged values are not logged again");
  fuzzCheck(client.persistedValuesEqualCurrentData(), "what was stored matches what was read");

  APMSetInternalEventLogging(nullptr);
  APMSetConsentFront(nullptr);
  return 0;
}
