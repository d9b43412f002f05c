#include "platform/crypto.h"

// The one-shot digest routines below keep no state of the library's own (no providers, no
// locks), unlike the EVP interface; worker queues may still be hashing while the process
// exits, after the library has torn its shared state down at unload.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <sys/random.h>

#include <cerrno>

#include "platform/error.h"

namespace platform::crypto {

Data sha1(const Data& input) {
  unsigned char out[SHA_DIGEST_LENGTH];
  SHA_CTX context;
  SHA1_Init(&context);
  SHA1_Update(&context, input.bytes(), input.length());
  SHA1_Final(out, &context);
  return Data(out, sizeof out);
}

Data sha256(const Data& input) {
  unsigned char out[SHA256_DIGEST_LENGTH];
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, input.bytes(), input.length());
  SHA256_Final(out, &context);
  return Data(out, sizeof out);
}

Data md5(const Data& input) {
  unsigned char out[MD5_DIGEST_LENGTH];
  MD5_CTX context;
  MD5_Init(&context);
  MD5_Update(&context, input.bytes(), input.length());
  MD5_Final(out, &context);
  return Data(out, sizeof out);
}

void fillWithRandomBytes(std::uint8_t* bytes, std::size_t count) {
  // The kernel's source, read directly: it needs no library state, so it also serves while
  // the process exits.
  while (count > 0) {
    const ssize_t got = ::getrandom(bytes, count, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Exception("CryptoFailure", "secure random source failed");
    }
    bytes += got;
    count -= static_cast<std::size_t>(got);
  }
}

Data randomBytes(std::size_t count) {
  Data out{std::vector<std::uint8_t>(count)};
  if (count > 0) fillWithRandomBytes(out.mutableBytes(), count);
  return out;
}

}  // namespace platform::crypto
