#include "analytics/data/APMAEU.h"

#include <link.h>

#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "foundation/ZULAppEnvironmentUtil.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"

namespace {

constexpr const char* kReceiptURLCheckEnabledKey = "ZiruzadaAppStoreReceiptURLCheckEnabled";
constexpr std::uint32_t kHeaderMagic32 = 0xfeedface;
constexpr std::uint32_t kHeaderMagic64 = 0xfeedfacf;
constexpr std::uint32_t kFileTypeExecutable = 2;
constexpr std::uint32_t kEncryptionInfo32 = 0x21;
constexpr std::uint32_t kEncryptionInfo64 = 0x2C;
constexpr std::size_t kHeaderSize32 = 28;
constexpr std::size_t kHeaderSize64 = 32;
constexpr std::size_t kLoadCommandSize = 8;
// cmd, cmdsize, cryptoff, cryptsize, cryptid.
constexpr std::size_t kCryptIDOffset = 16;

std::uint32_t wordAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::uint32_t word;
  std::memcpy(&word, bytes.data() + offset, sizeof word);
  return word;
}

// The header bytes of each image loaded in the process: the start of the segment mapped from
// the file's first byte, bounded by that segment's size.
std::vector<std::span<const std::uint8_t>> loadedImageHeaders() {
  std::vector<std::span<const std::uint8_t>> images;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* out = static_cast<std::vector<std::span<const std::uint8_t>>*>(data);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& header = info->dlpi_phdr[i];
          if (header.p_type == PT_LOAD && header.p_offset == 0 && header.p_filesz > 0) {
            out->emplace_back(
                reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + header.p_vaddr),
                header.p_filesz);
            break;
          }
        }
        return 0;
      },
      &images);
  return images;
}

}  // namespace

std::optional<std::string> APMAEU::appStoreRURL() {
  // No store hands this platform's programs a receipt.
  return appStoreRURLWithInfoDictionary(platform::Bundle::main().infoDictionary(), std::nullopt);
}

std::optional<std::string>
APMAEU::appStoreRURLWithInfoDictionary(const platform::Dictionary& info,
                                       const std::optional<std::string>& receiptURL) {
  const platform::Value* enabled = info.find(kReceiptURLCheckEnabledKey);
  if (enabled != nullptr && enabled->isNumber() && !enabled->boolValue()) {
    return std::nullopt;
  }
  return receiptURL;
}

bool APMAEU::isSandboxReceiptURL(const std::optional<std::string>& receiptURL) {
  if (!receiptURL) return false;
  std::string_view path = *receiptURL;
  path = path.substr(0, path.find_first_of("?#"));
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return last == "sandboxReceipt";
}

bool APMAEU::isASRS() { return isSandboxReceiptURL(appStoreRURL()); }

bool APMAEU::isAppExtensionPath(const std::string& bundlePath) {
  std::string_view path = bundlePath;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path.ends_with(".appex");
}

bool APMAEU::isAEX() { return isAppExtensionPath(platform::Bundle::main().bundlePath().string()); }

std::string APMAEU::deviceModel() { return ZULAppEnvironmentUtil::deviceModel(); }

std::string APMAEU::systemVersion() { return ZULAppEnvironmentUtil::systemVersion(); }

std::optional<bool> APMAEU::executableHeaderEncryption(std::span<const std::uint8_t> header) {
  if (header.size() < kHeaderSize32) return std::nullopt;
  const std::uint32_t magic = wordAt(header, 0);
  if (magic != kHeaderMagic32 && magic != kHeaderMagic64) return std::nullopt;
  const bool wide = magic == kHeaderMagic64;
  if (wordAt(header, 12) != kFileTypeExecutable) return std::nullopt;
  const std::size_t headerSize = wide ? kHeaderSize64 : kHeaderSize32;
  if (header.size() < headerSize) return false;
  const std::uint32_t commandCount = wordAt(header, 16);
  const std::uint32_t encryptionCommand = wide ? kEncryptionInfo64 : kEncryptionInfo32;
  // Each command is at least its own 8-byte header long, so the walk ends within the bytes
  // whatever the count says.
  std::size_t offset = headerSize;
  for (std::uint32_t i = 0; i < commandCount; ++i) {
    if (header.size() - offset < kLoadCommandSize) return false;
    const std::uint32_t command = wordAt(header, offset);
    const std::uint32_t commandSize = wordAt(header, offset + 4);
    if (commandSize < kLoadCommandSize || commandSize > header.size() - offset) return false;
    if (command == encryptionCommand) {
      if (commandSize < kCryptIDOffset + 4) return false;
      return wordAt(header, offset + kCryptIDOffset) != 0;
    }
    offset += commandSize;
  }
  return false;
}

bool APMAEU::isFirstExecutableEncrypted(const std::vector<std::span<const std::uint8_t>>& images) {
  for (const auto& image : images) {
    if (const std::optional<bool> encrypted = executableHeaderEncryption(image)) return *encrypted;
  }
  return false;
}

bool APMAEU::isMainExecutableEncrypted() {
  static platform::Once once;
  static bool encrypted = false;
  once.call([] { encrypted = isFirstExecutableEncrypted(loadedImageHeaders()); });
  return encrypted;
}

bool APMAEU::isFASWithFacts(const InstallFacts& facts) {
  if (facts.isNOD || facts.isASRS) return false;
  if (facts.hasSCInfo) return true;
  if (!facts.executableEncrypted) return false;
  return !facts.hasEmbeddedProvision;
}

APMAEU::InstallFacts APMAEU::installFacts(const std::optional<std::string>& receiptURL) {
  const platform::Bundle& bundle = platform::Bundle::main();
  InstallFacts facts;
  facts.isNOD = isNOD();
  facts.isASRS = isSandboxReceiptURL(receiptURL);
  std::error_code error;
  facts.hasSCInfo = std::filesystem::exists(bundle.bundlePath() / "SC_Info", error);
  facts.executableEncrypted = isMainExecutableEncrypted();
  facts.hasEmbeddedProvision = bundle.pathForResource("embedded", "mobileprovision").has_value();
  return facts;
}

bool APMAEU::isFAS() { return isFASWithFacts(installFacts(appStoreRURL())); }
