#include "analytics/data/APMAEU.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::Value;

// Builds an image header: magic, file type and load commands of (command, size, crypt id).
class HeaderBuilder {
 public:
  HeaderBuilder(std::uint32_t magic, std::uint32_t fileType) : wide_(magic == 0xfeedfacf) {
    put(magic);
    put(7);  // CPU type
    put(3);  // CPU subtype
    put(fileType);
    put(0);  // command count, set by build()
    put(0);  // size of commands
    put(0);  // flags
    if (wide_) put(0);
  }
  // An encryption-info command (or any other) of 20 bytes plus padding.
  HeaderBuilder& command(std::uint32_t cmd, std::uint32_t cryptID, std::uint32_t size = 24) {
    const std::size_t start = bytes_.size();
    put(cmd);
    put(size);
    put(0x4000);  // crypt offset
    put(0x1000);  // crypt size
    put(cryptID);
    while (bytes_.size() - start < size) bytes_.push_back(0);
    ++count_;
    return *this;
  }
  HeaderBuilder& countOverride(std::uint32_t count) {
    countOverride_ = count;
    return *this;
  }
  std::vector<std::uint8_t> build() const {
    std::vector<std::uint8_t> bytes = bytes_;
    const std::uint32_t count = countOverride_.value_or(count_);
    std::memcpy(bytes.data() + 16, &count, 4);
    return bytes;
  }

 private:
  void put(std::uint32_t word) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&word);
    bytes_.insert(bytes_.end(), p, p + 4);
  }

  bool wide_;
  std::vector<std::uint8_t> bytes_;
  std::uint32_t count_ = 0;
  std::optional<std::uint32_t> countOverride_;
};

std::vector<std::uint8_t> withoutLast(std::vector<std::uint8_t> bytes, std::size_t count) {
  bytes.resize(bytes.size() - count);
  return bytes;
}

constexpr std::uint32_t k32 = 0xfeedface;
constexpr std::uint32_t k64 = 0xfeedfacf;

TEST(APMAEUTest, ExecutableHeaderEncryption) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> header;
    std::optional<bool> encrypted;
  } cases[] = {
      {"64-bit, encrypted", HeaderBuilder(k64, 2).command(0x19, 0).command(0x2C, 1).build(), true},
      {"64-bit, crypt id 0", HeaderBuilder(k64, 2).command(0x2C, 0).build(), false},
      {"64-bit with only a 32-bit command", HeaderBuilder(k64, 2).command(0x21, 1).build(), false},
      {"32-bit, encrypted", HeaderBuilder(k32, 2).command(0x21, 1).build(), true},
      {"32-bit with a 64-bit command", HeaderBuilder(k32, 2).command(0x2C, 1).build(), false},
      {"first command decides", HeaderBuilder(k64, 2).command(0x2C, 0).command(0x2C, 1).build(),
       false},
      {"no commands", HeaderBuilder(k64, 2).build(), false},
      {"a library", HeaderBuilder(k64, 6).command(0x2C, 1).build(), std::nullopt},
      {"not a header",
       {0x7f, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0,
        0,    0,   2,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       std::nullopt},
      {"too short", {0xcf, 0xfa, 0xed, 0xfe}, std::nullopt},
      {"count beyond the bytes",
       HeaderBuilder(k64, 2).command(0x19, 0).countOverride(1000000).build(), false},
      {"zero-sized command", HeaderBuilder(k64, 2).command(0x19, 0, 0).countOverride(5).build(),
       false},
      {"command past the end",
       withoutLast(HeaderBuilder(k64, 2).command(0x2C, 1, 4096).build(), 4000), false},
      {"encryption command too short", HeaderBuilder(k64, 2).command(0x2C, 1, 16).build(), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMAEU::executableHeaderEncryption(c.header), c.encrypted) << c.name;
  }
}

TEST(APMAEUTest, FirstExecutableImageDecides) {
  const auto library = HeaderBuilder(k64, 6).command(0x2C, 0).build();
  const auto encrypted = HeaderBuilder(k64, 2).command(0x2C, 1).build();
  const auto plain = HeaderBuilder(k64, 2).build();
  using Images = std::vector<std::span<const std::uint8_t>>;
  EXPECT_TRUE(APMAEU::isFirstExecutableEncrypted(Images{library, encrypted, plain}));
  EXPECT_FALSE(APMAEU::isFirstExecutableEncrypted(Images{library, plain, encrypted}));
  EXPECT_FALSE(APMAEU::isFirstExecutableEncrypted(Images{library}));
  EXPECT_FALSE(APMAEU::isFirstExecutableEncrypted(Images{}));
  // This process's images are all of another format.
  EXPECT_FALSE(APMAEU::isMainExecutableEncrypted());
}

TEST(APMAEUTest, ReceiptURLAndItsCheck) {
  const std::optional<std::string> receipt = "file:///app/StoreKit/receipt";
  struct Case {
    const char* name;
    platform::Dictionary info;
    bool passes;
  } cases[] = {
      {"no key", {}, true},
      {"NO as a Boolean", {{"ZiruzadaAppStoreReceiptURLCheckEnabled", Value(false)}}, false},
      {"NO as a number", {{"ZiruzadaAppStoreReceiptURLCheckEnabled", Value(0)}}, false},
      {"YES", {{"ZiruzadaAppStoreReceiptURLCheckEnabled", Value(true)}}, true},
      {"a string NO", {{"ZiruzadaAppStoreReceiptURLCheckEnabled", Value("NO")}}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMAEU::appStoreRURLWithInfoDictionary(c.info, receipt),
              c.passes ? receipt : std::nullopt)
        << c.name;
  }
  EXPECT_EQ(APMAEU::appStoreRURLWithInfoDictionary({}, std::nullopt), std::nullopt);
}

TEST(APMAEUTest, SandboxReceipt) {
  struct Case {
    std::optional<std::string> url;
    bool sandbox;
  } cases[] = {
      {"file:///app/StoreKit/sandboxReceipt", true},
      {"file:///app/StoreKit/sandboxReceipt/", true},
      {"sandboxReceipt", true},
      {"file:///app/StoreKit/receipt", false},
      {"file:///app/StoreKit/sandboxReceipt2", false},
      {"file:///app/sandboxReceipt/receipt", false},
      {std::nullopt, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMAEU::isSandboxReceiptURL(c.url), c.sandbox) << c.url.value_or("none");
  }
}

TEST(APMAEUTest, InstalledFromTheStore) {
  using Facts = APMAEU::InstallFacts;
  struct Case {
    const char* name;
    Facts facts;
    bool fromStore;
  } cases[] = {
      {"nothing", {}, false},
      {"SC_Info", {.hasSCInfo = true}, true},
      {"sandbox receipt beats SC_Info", {.isASRS = true, .hasSCInfo = true}, false},
      {"NOD beats SC_Info", {.isNOD = true, .hasSCInfo = true}, false},
      {"encrypted", {.executableEncrypted = true}, true},
      {"encrypted with a provision",
       {.executableEncrypted = true, .hasEmbeddedProvision = true},
       false},
      {"SC_Info with a provision", {.hasSCInfo = true, .hasEmbeddedProvision = true}, true},
      {"provision only", {.hasEmbeddedProvision = true}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMAEU::isFASWithFacts(c.facts), c.fromStore) << c.name;
  }
  EXPECT_FALSE(APMAEU::isNOD());
}

TEST(APMAEUTest, AppExtensionPath) {
  struct Case {
    const char* path;
    bool extension;
  } cases[] = {{"/Apps/Share.appex", true},
               {"/Apps/Share.appex/", true},
               {"/Apps/Vilmo.app", false},
               {"/Apps/appex", false},
               {"", false}};
  for (const Case& c : cases) EXPECT_EQ(APMAEU::isAppExtensionPath(c.path), c.extension) << c.path;
}

}  // namespace
