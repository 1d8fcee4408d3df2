// The digests of a point's data files. SHA-256 (libcrypto, which uses the
// processor's SHA instructions where present) is the one `verify` checks.
// XXH3-128 (libxxhash) is the one a restore checks as it reads: it runs at
// memory speed, where SHA-256 would be the slowest step of a restore, and it
// finds damaged data just as surely (a deliberate change could rewrite
// either, since the manifest holds both).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct evp_md_ctx_st;
struct XXH3_state_s;

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

class Xxh3 {
 public:
  Xxh3();
  ~Xxh3();
  Xxh3(const Xxh3&) = delete;
  Xxh3& operator=(const Xxh3&) = delete;
  void Update(const void* data, size_t size);
  // Lower-case hex of the 128-bit digest, high half first; the object
  // starts over afterwards.
  std::string HexDigest();

 private:
  XXH3_state_s* state_;
};

struct Digests {
  std::string sha256;
  std::string xxh3;
};

// Both digests of a whole file, read once; throws on a read error. onBytes
// hears of each piece read.
Digests HashFile(const std::string& path, const std::function<void(uint64_t)>& onBytes = {});

}  // namespace Hvagent
