#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZULGzip.h"
#include "platform/crypto.h"
#include "platform/gzip.h"

namespace {

using platform::Data;

// 4 GiB of address space that may not be read: a helper that looks at the bytes of an
// input this long crashes instead of failing quietly.
class UnreadableRegion {
 public:
  static constexpr std::size_t kLength = std::size_t{1} << 32;
  UnreadableRegion() {
    base_ = mmap(nullptr, kLength, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  }
  ~UnreadableRegion() {
    if (base_ != MAP_FAILED) munmap(base_, kLength);
  }
  bool mapped() const { return base_ != MAP_FAILED; }
  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(base_), kLength};
  }

 private:
  void* base_;
};

Data zlibStream(std::string_view text) {
  uLongf length = compressBound(static_cast<uLong>(text.size()));
  std::vector<std::uint8_t> out(length);
  compress(out.data(), &length, reinterpret_cast<const Bytef*>(text.data()),
           static_cast<uLong>(text.size()));
  out.resize(length);
  return Data(std::move(out));
}

// One gzip member of count zero bytes, deflated a mebibyte at a time so the zeros are never
// held whole.
Data gzippedZeros(std::size_t count) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY),
            Z_OK);
  const std::vector<std::uint8_t> slice(std::size_t{1} << 20);
  std::vector<std::uint8_t> out;
  std::uint8_t buffer[16384];
  std::size_t left = count;
  int status = Z_OK;
  while (status == Z_OK) {
    if (stream.avail_in == 0 && left > 0) {
      const std::size_t take = std::min(left, slice.size());
      stream.next_in = const_cast<Bytef*>(slice.data());
      stream.avail_in = static_cast<uInt>(take);
      left -= take;
    }
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    status = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
    out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
  }
  EXPECT_EQ(status, Z_STREAM_END);
  deflateEnd(&stream);
  return Data(std::move(out));
}

TEST(ZULGzipTest, CompressesToGzipThatInflatesBack) {
  for (std::size_t size : {1u, 100u, 1024u, 1025u, 300000u}) {
    const Data input = platform::crypto::randomBytes(size);
    platform::ErrorPtr error;
    auto compressed = zul_dataByGzippingData(input, &error);
    ASSERT_TRUE(compressed.has_value()) << size;
    EXPECT_EQ(error, nullptr);
    ASSERT_GE(compressed->size(), 2u);
    EXPECT_EQ(compressed->bytes()[0], 0x1f);
    EXPECT_EQ(compressed->bytes()[1], 0x8b);
    // Other gzip readers take it, and it reads back here.
    EXPECT_EQ(platform::gzip::decompress(*compressed), input) << size;
    EXPECT_EQ(zul_dataByInflatingGzippedData(*compressed, &error), input) << size;
    EXPECT_EQ(error, nullptr);
  }
  // A zlib stream (not gzip) is read too: the header decides.
  EXPECT_EQ(zul_dataByInflatingGzippedData(zlibStream("zlib wrapped"))->toString(), "zlib wrapped");
}

TEST(ZULGzipTest, EmptyInputIsNoneWithoutAnError) {
  platform::ErrorPtr error;
  EXPECT_FALSE(zul_dataByGzippingData(Data(), &error).has_value());
  EXPECT_FALSE(zul_dataByInflatingGzippedData(Data(), &error).has_value());
  EXPECT_EQ(error, nullptr);
}

TEST(ZULGzipTest, InflatingFailuresCarryTheirCodeAndDetails) {
  Data withExtra = *zul_dataByGzippingData(Data::fromString("payload"));
  withExtra.append(Data::fromString("12345"));
  Data twoMembers = *zul_dataByGzippingData(Data::fromString("one"));
  const Data second = *zul_dataByGzippingData(Data::fromString("two"));
  twoMembers.append(second);
  Data truncated = *zul_dataByGzippingData(platform::crypto::randomBytes(3000));
  truncated.vector().resize(truncated.size() / 2);
  const Data needsDictionary(std::vector<std::uint8_t>{0x78, 0x20, 0, 0, 0, 1, 0x4b, 0x04, 0});

  struct Case {
    const char* name;
    Data input;
    std::int64_t code;
    platform::Dictionary userInfo;
  } cases[] = {
      {"bytes after the stream",
       withExtra,
       ZULNSDataZlibErrorDataRemaining,
       {{kZULNSDataZlibRemainingBytesKey, std::uint64_t{5}}}},
      {"a second member",
       twoMembers,
       ZULNSDataZlibErrorDataRemaining,
       {{kZULNSDataZlibRemainingBytesKey, static_cast<std::uint64_t>(second.size())}}},
      {"not compressed",
       Data::fromString("not compressed at all"),
       ZULNSDataZlibErrorInternal,
       {{kZULNSDataZlibErrorKey, Z_DATA_ERROR},
        {platform::kLocalizedDescriptionKey, "incorrect header check"}}},
      {"truncated", truncated, ZULNSDataZlibErrorInternal, {{kZULNSDataZlibErrorKey, Z_BUF_ERROR}}},
      {"needs a dictionary",
       needsDictionary,
       ZULNSDataZlibErrorInternal,
       {{kZULNSDataZlibErrorKey, Z_NEED_DICT}}},
  };
  for (const Case& c : cases) {
    platform::ErrorPtr error;
    EXPECT_FALSE(zul_dataByInflatingGzippedData(c.input, &error).has_value()) << c.name;
    ASSERT_NE(error, nullptr) << c.name;
    EXPECT_EQ(error->domain(), "com.rerora.ZULNSDataZlibErrorDomain") << c.name;
    EXPECT_EQ(error->code(), c.code) << c.name;
    EXPECT_EQ(error->userInfo(), c.userInfo) << c.name << ": " << error->description();
    // The remaining count is an unsigned number.
    if (const auto* remaining = error->userInfo().find(kZULNSDataZlibRemainingBytesKey)) {
      EXPECT_EQ(remaining->type(), platform::Value::Type::UInt);
    }
    // Without a place for the error the call still fails.
    EXPECT_FALSE(zul_dataByInflatingGzippedData(c.input).has_value()) << c.name;
  }
}

// A stream a thousand times smaller than it inflates is refused once the output passes the
// default limit, as a zlib failure that ran out of memory.
TEST(ZULGzipTest, InflatingPastTheLimitIsRefused) {
  platform::ErrorPtr error;
  EXPECT_FALSE(
      zul_dataByInflatingGzippedData(gzippedZeros(platform::gzip::kDefaultOutputLimit + 1), &error)
          .has_value());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), kZULNSDataZlibErrorDomain);
  EXPECT_EQ(error->code(), ZULNSDataZlibErrorInternal);
  EXPECT_EQ(error->userInfo(), (platform::Dictionary{{kZULNSDataZlibErrorKey, Z_MEM_ERROR}}));
}

// 4 GiB or more is too large for zlib's lengths in both directions, and inflating it says
// so with 1024 instead of failing silently. The bytes are never read.
TEST(ZULGzipTest, InputOf4GiBOrMoreIsRefusedWith1024) {
  UnreadableRegion region;
  ASSERT_TRUE(region.mapped());
  using Helper = std::optional<Data> (*)(std::span<const std::uint8_t>, platform::ErrorPtr*);
  for (Helper helper : {Helper(zul_dataByGzippingData), Helper(zul_dataByInflatingGzippedData)}) {
    platform::ErrorPtr error;
    EXPECT_FALSE(helper(region.bytes(), &error).has_value());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kZULNSDataZlibErrorDomain);
    EXPECT_EQ(error->code(), ZULNSDataZlibErrorGreaterThan32BitsToCompress);
    EXPECT_TRUE(error->userInfo().empty());
    EXPECT_FALSE(helper(region.bytes(), nullptr).has_value());
  }
}

}  // namespace
