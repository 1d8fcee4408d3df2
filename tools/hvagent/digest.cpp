#include "digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <vector>

#include "agent_error.h"

namespace Hvagent {

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 15]);
  }
  return out;
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) Fail(kFailed, "SHA-256 is not available");
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::Update(const void* data, size_t size) { EVP_DigestUpdate(ctx_, data, size); }

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx_, digest, &length);
  EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr);
  return Hex(digest, length);
}

Xxh3::Xxh3() : state_(XXH3_createState()) {
  if (!state_ || XXH3_128bits_reset(state_) != XXH_OK) Fail(kFailed, "XXH3 is not available");
}

Xxh3::~Xxh3() { XXH3_freeState(state_); }

void Xxh3::Update(const void* data, size_t size) { XXH3_128bits_update(state_, data, size); }

std::string Xxh3::HexDigest() {
  XXH128_canonical_t canonical;  // big-endian, high half first
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_));
  XXH3_128bits_reset(state_);
  return Hex(canonical.digest, sizeof canonical.digest);
}

Digests HashFile(const std::string& path, const std::function<void(uint64_t)>& onBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(kIoFailed, "Cannot read '" + path + "'.", errno);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 sha256;
  Xxh3 xxh3;
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int errnum = errno;
      ::close(fd);
      Fail(kIoFailed, "Cannot read '" + path + "'.", errnum);
    }
    if (got == 0) break;
    sha256.Update(buffer.data(), static_cast<size_t>(got));
    xxh3.Update(buffer.data(), static_cast<size_t>(got));
    if (onBytes) onBytes(static_cast<uint64_t>(got));
  }
  ::close(fd);
  return {sha256.HexDigest(), xxh3.HexDigest()};
}

}  // namespace Hvagent
