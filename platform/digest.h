// Message digests: MD5 (resume files) and SHA-256 (the machine identity), computed
// with OpenSSL's EVP interface. Each object hashes one message; it is not thread
// safe and not copyable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kelva::platform {

using Md5Digest = std::array<uint8_t, 16>;
using Sha256Digest = std::array<uint8_t, 32>;

// An incremental digest. Ok() is false when the library could not set up the
// context (out of memory); Update and Final then fail as well.
class Digest {
 public:
  enum class Algorithm { kMd5, kSha256 };
  explicit Digest(Algorithm algorithm);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  bool Ok() const { return ok_; }
  // Adds bytes to the message. False on failure.
  bool Update(const void* data, size_t length);
  // Writes the digest (16 bytes for MD5, 32 for SHA-256) to out. The object
  // cannot be updated afterwards. False on failure.
  bool Final(uint8_t* out);

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
  bool ok_ = false;
};

// One-shot helpers. False on failure (out is then unspecified).
bool Md5(std::span<const uint8_t> data, Md5Digest* out);
bool Sha256(std::span<const uint8_t> data, Sha256Digest* out);

}  // namespace kelva::platform
