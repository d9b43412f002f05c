#include <gtest/gtest.h>

#include "platform/crypto.h"
#include "platform/gzip.h"

namespace platform {
namespace {

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
  for (const Data& bad : {Data::fromString("plain text"), Data(), truncated}) {
    EXPECT_FALSE(gzip::decompress(bad).has_value());
  }
}

}  // namespace
}  // namespace platform
