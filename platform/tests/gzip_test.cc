#include <zlib.h>

#include <gtest/gtest.h>

#include "platform/crypto.h"
#include "platform/gzip.h"

namespace platform {
namespace {

// A zlib stream whose header asks for a preset dictionary (flag bit 0x20, dictionary id 1).
const Data kNeedsDictionary(std::vector<std::uint8_t>{0x78, 0x20, 0, 0, 0, 1, 0x4b, 0x04, 0});

// The bytes as a zlib (not gzip) stream.
Data zlibStream(std::string_view text) {
  uLongf length = compressBound(static_cast<uLong>(text.size()));
  std::vector<std::uint8_t> out(length);
  EXPECT_EQ(::compress(out.data(), &length, reinterpret_cast<const Bytef*>(text.data()),
                       static_cast<uLong>(text.size())),
            Z_OK);
  out.resize(length);
  return Data(std::move(out));
}

TEST(GzipTest, RoundTripsAndReadsConcatenatedMembers) {
  for (std::size_t size : {0u, 1u, 1000u, 100000u}) {
    Data bytes = crypto::randomBytes(size);
    auto back = gzip::decompress(gzip::compress(bytes));
    ASSERT_TRUE(back.has_value()) << size;
    EXPECT_EQ(*back, bytes);
  }
  Data two = gzip::compress(Data::fromString("first "));
  two.append(gzip::compress(Data::fromString("second")));
  EXPECT_EQ(gzip::decompress(two)->toString(), "first second");
}

TEST(GzipTest, RefusesWhatIsNotGzip) {
  Data truncated = gzip::compress(Data::fromString(std::string(5000, 'x')));
  truncated.vector().resize(truncated.size() / 2);
  for (const Data& bad : {Data::fromString("plain text"), Data(), truncated,
                          zlibStream("a zlib stream is not gzip")}) {
    EXPECT_FALSE(gzip::decompress(bad).has_value());
  }
}

// The output step changes how the buffer grows, never the bytes: tiny steps and steps
// larger than the whole output agree with the whole-buffer helpers.
TEST(GzipTest, OutputStepsDoNotChangeTheBytes) {
  const Data text = Data::fromString(std::string(20000, 'a') + "tail" + std::string(300, 'b'));
  const Data compressed = gzip::compress(text);
  for (std::size_t step : {1u, 7u, 1024u, 1u << 20}) {
    auto deflated = gzip::deflateGzip(text.vector(), step);
    ASSERT_TRUE(deflated.has_value()) << step;
    EXPECT_EQ(*deflated, compressed) << step;
    auto inflated =
        gzip::inflate(compressed.vector(), gzip::Header::Gzip, gzip::Members::One, step);
    ASSERT_TRUE(inflated.has_value()) << step;
    EXPECT_EQ(*inflated, text) << step;
  }
}

TEST(GzipTest, InflateReadsZlibStreamsOnlyWhenAskedTo) {
  const Data zlib = zlibStream("wrapped in zlib");
  auto either = gzip::inflate(zlib.vector(), gzip::Header::GzipOrZlib, gzip::Members::One);
  ASSERT_TRUE(either.has_value());
  EXPECT_EQ(either->toString(), "wrapped in zlib");
  auto gzipped = gzip::compress(Data::fromString("wrapped in gzip"));
  EXPECT_EQ(
      gzip::inflate(gzipped.vector(), gzip::Header::GzipOrZlib, gzip::Members::One)->toString(),
      "wrapped in gzip");

  gzip::StreamError error;
  EXPECT_FALSE(gzip::inflate(zlib.vector(), gzip::Header::Gzip, gzip::Members::All, {}, &error));
  EXPECT_EQ(error.zlibCode, Z_DATA_ERROR);
  EXPECT_EQ(error.zlibMessage, "incorrect header check");
}

TEST(GzipTest, InflateReportsWhyItStopped) {
  Data twoMembers = gzip::compress(Data::fromString("one"));
  const std::size_t secondLength = gzip::compress(Data::fromString("two")).size();
  twoMembers.append(gzip::compress(Data::fromString("two")));
  Data truncated = gzip::compress(crypto::randomBytes(4000));
  truncated.vector().resize(truncated.size() - 10);

  struct Case {
    const char* name;
    Data input;
    int code;
    bool hasMessage;
    std::size_t unread;
  } cases[] = {
      {"a second member", twoMembers, Z_OK, false, secondLength},
      {"input ending inside the stream", truncated, Z_BUF_ERROR, false, 0},
      {"no input", Data(), Z_BUF_ERROR, false, 0},
      {"a preset dictionary", kNeedsDictionary, Z_NEED_DICT, false, 0},
      {"bytes that are no stream", Data::fromString("plainly not compressed"), Z_DATA_ERROR, true,
       0},
  };
  for (const Case& c : cases) {
    gzip::StreamError error;
    error.zlibCode = 12345;
    error.outputLimitExceeded = true;
    EXPECT_FALSE(
        gzip::inflate(c.input.vector(), gzip::Header::GzipOrZlib, gzip::Members::One, {}, &error))
        << c.name;
    EXPECT_EQ(error.zlibCode, c.code) << c.name;
    EXPECT_EQ(!error.zlibMessage.empty(), c.hasMessage) << c.name << ": " << error.zlibMessage;
    EXPECT_EQ(error.unreadBytes, c.unread) << c.name;
    EXPECT_FALSE(error.outputLimitExceeded) << c.name;
  }
  // Without a place for the error the failure is still reported.
  EXPECT_FALSE(
      gzip::inflate(twoMembers.vector(), gzip::Header::Gzip, gzip::Members::One).has_value());
}

// A few kilobytes that inflate to megabytes stop at the caller's limit, whatever the output
// step or reserve; output that ends exactly at the limit is whole.
TEST(GzipTest, InflateStopsAtItsOutputLimit) {
  const Data zeros(std::vector<std::uint8_t>(std::size_t{4} << 20));
  const Data bomb = gzip::compress(zeros);
  constexpr std::size_t kLimit = std::size_t{1} << 20;
  for (gzip::OutputSteps steps :
       {gzip::OutputSteps(1000), gzip::OutputSteps(kLimit), gzip::OutputSteps(16384, 8 * kLimit)}) {
    SCOPED_TRACE(steps.step);
    for (gzip::Members members : {gzip::Members::One, gzip::Members::All}) {
      gzip::StreamError error;
      EXPECT_FALSE(
          gzip::inflate(bomb.vector(), gzip::Header::GzipOrZlib, members, steps, &error, kLimit));
      EXPECT_EQ(error.zlibCode, Z_MEM_ERROR);
      EXPECT_TRUE(error.outputLimitExceeded);
      EXPECT_EQ(error.zlibMessage, "");
    }
    EXPECT_EQ(gzip::inflate(bomb.vector(), gzip::Header::Gzip, gzip::Members::One, steps, nullptr,
                            zeros.size()),
              zeros);
    EXPECT_FALSE(gzip::inflate(bomb.vector(), gzip::Header::Gzip, gzip::Members::One, steps,
                               nullptr, zeros.size() - 1));
  }
  // The limit covers members in a row together, not each on its own.
  Data twoMembers = gzip::compress(Data::fromString("12345"));
  twoMembers.append(gzip::compress(Data::fromString("6789")));
  EXPECT_EQ(gzip::decompress(twoMembers, 9)->toString(), "123456789");
  EXPECT_FALSE(gzip::decompress(twoMembers, 8));
  EXPECT_EQ(gzip::decompress(gzip::compress(Data()), 0), Data());
  EXPECT_FALSE(gzip::decompress(bomb, kLimit));
}

// Callers that give no limit get the default one: a mebibyte of zeros in gzip members, one
// member more than the default holds.
TEST(GzipTest, InflationIsBoundedByDefault) {
  const Data member = gzip::compress(Data(std::vector<std::uint8_t>(std::size_t{1} << 20)));
  Data bomb;
  for (std::size_t i = 0; i <= gzip::kDefaultOutputLimit >> 20; ++i) bomb.append(member);
  EXPECT_FALSE(gzip::decompress(bomb));
}

}  // namespace
}  // namespace platform
