#include <gtest/gtest.h>

#include <set>

#include "platform/base64.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/system_log.h"

namespace platform {
namespace {

TEST(CryptoTest, DigestsMatchKnownVectors) {
  struct Case {
    Data (*digest)(const Data&);
    std::string input;
    std::string hex;
  } cases[] = {
      {crypto::sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {crypto::sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {crypto::sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {crypto::md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {crypto::md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.digest(Data::fromString(c.input)).hexString(), c.hex) << c.input;
  }
}

TEST(CryptoTest, RandomBytesHaveTheAskedLengthAndDiffer) {
  EXPECT_TRUE(crypto::randomBytes(0).empty());
  std::set<Data> seen;
  for (int i = 0; i < 8; ++i) {
    Data bytes = crypto::randomBytes(16);
    ASSERT_EQ(bytes.length(), 16u);
    seen.insert(bytes);
  }
  EXPECT_EQ(seen.size(), 8u);
}

TEST(Base64Test, EncodesBothAlphabetsWithAndWithoutPadding) {
  const Data bytes(std::vector<std::uint8_t>{0xfb, 0xff, 0xbf, 0x61});
  EXPECT_EQ(base64::encode(bytes), "+/+/YQ==");
  EXPECT_EQ(base64::encode(bytes, base64::Alphabet::URLSafe, false), "-_-_YQ");
  EXPECT_EQ(base64::encode(Data::fromString("")), "");
  EXPECT_EQ(base64::encode(Data::fromString("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64::encode(Data::fromString("fooba")), "Zm9vYmE=");
}

TEST(Base64Test, DecodesWhatItEncodesAndRefusesWhatNoEncoderMakes) {
  for (std::size_t n = 0; n < 40; ++n) {
    Data bytes = crypto::randomBytes(n);
    for (auto alphabet : {base64::Alphabet::Standard, base64::Alphabet::URLSafe}) {
      for (bool padded : {true, false}) {
        auto decoded = base64::decode(base64::encode(bytes, alphabet, padded), alphabet);
        ASSERT_TRUE(decoded.has_value()) << n;
        EXPECT_EQ(*decoded, bytes);
      }
    }
  }
  for (const char* bad : {"Zm9v!", "Z", "Zm=v", "Zm9vY===", "-_-_", "Zh=="}) {
    EXPECT_FALSE(base64::decode(bad).has_value()) << bad;
  }
  EXPECT_TRUE(base64::decode("-_-_", base64::Alphabet::URLSafe).has_value());
}

TEST(ErrorTest, DescriptionsFallBackToDomainAndCode) {
  Error plain("TestDomain", 7);
  EXPECT_EQ(plain.localizedDescription(),
            "The operation couldn\u2019t be completed. (TestDomain error 7.)");
  EXPECT_FALSE(plain.localizedFailureReason().has_value());

  auto underlying = makeError("NSPOSIXErrorDomain", 2);
  Error rich("TestDomain", 1,
             Dictionary{{kLocalizedDescriptionKey, "Broken"},
                        {kLocalizedFailureReasonErrorKey, "Because"}},
             underlying);
  EXPECT_EQ(rich.localizedDescription(), "Broken");
  EXPECT_EQ(rich.localizedFailureReason(), "Because");
  EXPECT_EQ(rich.underlyingError()->code(), 2);
  EXPECT_NE(rich.description().find("NSUnderlyingError=Error Domain=NSPOSIXErrorDomain Code=2"),
            std::string::npos);
}

TEST(AssertionHandlerTest, DefaultThrowsAndAReplacementRecords) {
  AssertionHandler::Failure failure{"f", "file.cc", 3, "Invalid parameter not satisfying: x"};
  try {
    AssertionHandler::handleFailure(failure);
    FAIL() << "expected an exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
    EXPECT_EQ(e.reason(), "Invalid parameter not satisfying: x");
  }
  std::vector<std::string> seen;
  auto previous =
      AssertionHandler::setHandler([&](const auto& f) { seen.push_back(f.description); });
  AssertionHandler::handleFailure(failure);
  AssertionHandler::setHandler(previous);
  EXPECT_EQ(seen, std::vector<std::string>{"Invalid parameter not satisfying: x"});
  EXPECT_THROW(AssertionHandler::handleFailure(failure), Exception);
}

TEST(SystemLogTest, CaptureSinkReceivesEntries) {
  std::vector<SystemLog::Entry> entries;
  SystemLog::setCaptureSink([&](const SystemLog::Entry& e) { entries.push_back(e); });
  SystemLog::write(SystemLog::Error, "first");
  SystemLog::write(SystemLog::Debug, "second");
  SystemLog::setCaptureSink(nullptr);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].level, 3);
  EXPECT_EQ(entries[0].message, "first");
  EXPECT_EQ(entries[1].level, 7);
}

}  // namespace
}  // namespace platform
