#include "foundation/ZULAppEnvironmentUtil.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/bundle.h"
#include "platform/format.h"

namespace {

// Where the model of the machine is published: the firmware's product name on PCs, the
// device tree's model on boards that have one.
constexpr const char* kModelFiles[] = {
    "/sys/devices/virtual/dmi/id/product_name",
    "/sys/firmware/devicetree/base/model",
};

struct TestFacts {
  std::mutex mutex;
  std::optional<ZULStoreBuildFacts> facts;
};

TestFacts& testFacts() {
  static TestFacts* const installed = new TestFacts;
  return *installed;
}

std::optional<ZULStoreBuildFacts> storeBuildFacts() {
  TestFacts& t = testFacts();
  std::lock_guard lock(t.mutex);
  return t.facts;
}

// The text of a kernel or firmware file up to its first NUL or line end; none when it
// cannot be read or is empty. Such files report a size of 0, so they are read to the end.
std::optional<std::string> readFact(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) return std::nullopt;
  text = text.substr(0, text.find_first_of(std::string_view("\0\n", 2)));
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace

bool ZULMainExecutableIsEncrypted() { return false; }

bool ZULAppEnvironmentUtil::isFromAppStore() {
  if (isSimulator() || isAppStoreReceiptSandbox()) return false;
  const std::optional<ZULStoreBuildFacts> facts = storeBuildFacts();
  return facts ? facts->mainExecutableIsEncrypted : ZULMainExecutableIsEncrypted();
}

bool ZULAppEnvironmentUtil::isAppStoreReceiptSandbox() {
  const platform::Value& check =
      platform::Bundle::main().objectForInfoDictionaryKey("ZiruzadaAppStoreReceiptURLCheckEnabled");
  if (check.isNumber() && !check.boolValue()) return false;

  // Only a store installs a receipt, and none installs this program: a test's facts are
  // the only receipt there can be.
  const std::optional<ZULStoreBuildFacts> facts = storeBuildFacts();
  if (!facts || !facts->appStoreReceiptURL) return false;
  std::string_view url = *facts->appStoreReceiptURL;
  while (url.size() > 1 && url.back() == '/') url.remove_suffix(1);
  const std::size_t slash = url.rfind('/');
  const std::string_view lastPathComponent =
      slash == std::string_view::npos ? url : url.substr(slash + 1);
  return lastPathComponent == "sandboxReceipt";
}

std::optional<std::string> ZULAppEnvironmentUtil::getSysctlEntry(std::string_view name) {
  if (name == "hw.model") {
    for (const char* path : kModelFiles) {
      if (std::optional<std::string> model = readFact(path)) return model;
    }
    return std::nullopt;
  }
  // A dotted name spells a path below /proc/sys; nothing else may reach the file system.
  if (name.empty() || name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  std::string relative(name);
  for (char& c : relative) {
    if (c == '.') c = '/';
  }
  return readFact(std::filesystem::path("/proc/sys") / relative);
}

const std::string& ZULAppEnvironmentUtil::deviceModel() {
  // Never destroyed: queues may still read it while the process exits.
  static const auto* const model = new std::string([] {
    std::optional<std::string> value = getSysctlEntry("hw.model");
    if (!value || value->empty()) value = platform::ProcessInfo::processInfo().machine();
    return *value;
  }());
  return *model;
}

const std::optional<std::string>& ZULAppEnvironmentUtil::deviceSimulatorModel() {
  // Never destroyed: queues may still read it while the process exits.
  static const auto* const model = new std::optional<std::string>(getSysctlEntry("hw.model"));
  return *model;
}

std::string ZULAppEnvironmentUtil::systemVersion() {
  return systemVersion(platform::ProcessInfo::processInfo().operatingSystemVersion());
}

std::string ZULAppEnvironmentUtil::systemVersion(const platform::OperatingSystemVersion& version) {
  std::string text = platform::format("%ld.%ld", {version.majorVersion, version.minorVersion});
  if (version.patchVersion != 0) text += platform::format(".%ld", {version.patchVersion});
  return text;
}

void ZULAppEnvironmentUtil::setStoreBuildFactsForTesting(std::optional<ZULStoreBuildFacts> facts) {
  TestFacts& t = testFacts();
  std::lock_guard lock(t.mutex);
  t.facts = std::move(facts);
}
