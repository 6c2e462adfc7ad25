#include "platform/digest.h"

#include <openssl/evp.h>

namespace kelva::platform {

struct Digest::Context {
  EVP_MD_CTX* md = nullptr;
  ~Context() {
    if (md) EVP_MD_CTX_free(md);
  }
};

Digest::Digest(Algorithm algorithm) : ctx_(std::make_unique<Context>()) {
  ctx_->md = EVP_MD_CTX_new();
  if (!ctx_->md) return;
  const EVP_MD* type = algorithm == Algorithm::kMd5 ? EVP_md5() : EVP_sha256();
  ok_ = EVP_DigestInit_ex(ctx_->md, type, nullptr) == 1;
}

Digest::~Digest() = default;

bool Digest::Update(const void* data, size_t length) {
  if (!ok_) return false;
  if (length == 0) return true;
  ok_ = EVP_DigestUpdate(ctx_->md, data, length) == 1;
  return ok_;
}

bool Digest::Final(uint8_t* out) {
  if (!ok_) return false;
  unsigned int len = 0;
  ok_ = false;  // a finished context takes no more data
  return EVP_DigestFinal_ex(ctx_->md, out, &len) == 1;
}

bool Md5(std::span<const uint8_t> data, Md5Digest* out) {
  Digest d(Digest::Algorithm::kMd5);
  return d.Update(data.data(), data.size()) && d.Final(out->data());
}

bool Sha256(std::span<const uint8_t> data, Sha256Digest* out) {
  Digest d(Digest::Algorithm::kSha256);
  return d.Update(data.data(), data.size()) && d.Final(out->data());
}

}  // namespace kelva::platform
