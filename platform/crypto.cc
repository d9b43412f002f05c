#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

#include "platform/error.h"

namespace platform::crypto {
namespace {

Data digest(const EVP_MD* type, const Data& input) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(input.bytes(), input.length(), out, &length, type, nullptr) != 1) {
    throw Exception("CryptoFailure", "digest failed");
  }
  return Data(out, length);
}

}  // namespace

Data sha1(const Data& input) { return digest(EVP_sha1(), input); }
Data sha256(const Data& input) { return digest(EVP_sha256(), input); }
Data md5(const Data& input) { return digest(EVP_md5(), input); }

Data randomBytes(std::size_t count) {
  Data out{std::vector<std::uint8_t>(count)};
  if (count > 0 && RAND_bytes(out.mutableBytes(), static_cast<int>(count)) != 1) {
    throw Exception("CryptoFailure", "secure random source failed");
  }
  return out;
}

}  // namespace platform::crypto
