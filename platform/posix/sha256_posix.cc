#include <openssl/evp.h>

#include "platform/sha256.h"

namespace kestrune {

// The EVP interface: OpenSSL 3 deprecates the SHA256_* functions, and EVP
// takes the implementation from the system's configured provider.
struct Sha256::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (state_->context == nullptr ||
      EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    state_.reset();
  }
}

Sha256::~Sha256() = default;

bool Sha256::ok() const { return state_ != nullptr; }

void Sha256::Update(const void* data, size_t size) {
  if (!state_ || size == 0) return;
  if (EVP_DigestUpdate(state_->context, data, size) != 1) state_.reset();
}

bool Sha256::Finish(Sha256Digest* digest) {
  if (!state_) return false;
  unsigned int size = 0;
  const bool done = EVP_DigestFinal_ex(state_->context, digest->data(), &size) == 1 &&
                    size == kSha256Size;
  state_.reset();
  return done;
}

}  // namespace kestrune
