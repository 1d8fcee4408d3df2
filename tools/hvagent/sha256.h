// Incremental SHA-256 (libcrypto, which uses the processor's SHA
// instructions where present).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace Hvagent {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(const void* data, size_t size);
  // Lower-case hex of the digest; the object starts over afterwards.
  std::string HexDigest();

 private:
  evp_md_ctx_st* ctx_;
};

// The hex SHA-256 of a whole file; throws on a read error. onBytes hears
// of each piece read.
std::string HashFile(const std::string& path, const std::function<void(uint64_t)>& onBytes = {});

}  // namespace Hvagent
