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

namespace {

// One digest through the routine family of its algorithm (context, init, update, final).
template <typename Context, std::size_t Length, int (*Init)(Context*),
          int (*Update)(Context*, const void*, std::size_t),
          int (*Final)(unsigned char*, Context*)>
Data digest(const Data& input) {
  unsigned char out[Length];
  Context context;
  Init(&context);
  Update(&context, input.bytes(), input.length());
  Final(out, &context);
  return Data(out, Length);
}

}  // namespace

Data sha1(const Data& input) {
  return digest<SHA_CTX, SHA_DIGEST_LENGTH, SHA1_Init, SHA1_Update, SHA1_Final>(input);
}

Data sha256(const Data& input) {
  return digest<SHA256_CTX, SHA256_DIGEST_LENGTH, SHA256_Init, SHA256_Update, SHA256_Final>(
      input);
}

Data md5(const Data& input) {
  return digest<MD5_CTX, MD5_DIGEST_LENGTH, MD5_Init, MD5_Update, MD5_Final>(input);
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
