#include <algorithm>

#include "platform/sha256.h"
#include "platform/win32/windows_h.h"
// After <windows.h>, which leaves CryptoAPI out when lean and mean.
#include <wincrypt.h>

namespace kestrune {
namespace {

// Declared only above XP SP2, the first system whose AES provider hashes
// SHA-256; the value is fixed by the API.
constexpr ALG_ID kCalgSha256 = 0x0000800C;  // CALG_SHA_256

// CryptHashData counts in a DWORD; pieces below 2 GiB also stay clear of code
// that reads the count as a signed int.
constexpr size_t kMaxPiece = 0x7FFFFFFF;

// One provider for the whole run: acquiring one loads and maps the provider
// anew, which costs far more than hashing a small file. A verify context
// needs no key container, so no user profile and no rights; the
// RSA-and-AES provider type, because the plain RSA one has no SHA-256.
HCRYPTPROV Provider() {
  static const HCRYPTPROV provider = [] {
    HCRYPTPROV acquired = 0;
    return CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)
               ? acquired
               : HCRYPTPROV{0};
  }();
  return provider;
}

}  // namespace

struct Sha256::State {
  HCRYPTHASH hash = 0;
  ~State() {
    if (hash != 0) CryptDestroyHash(hash);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  const HCRYPTPROV provider = Provider();
  if (provider == 0 || !CryptCreateHash(provider, kCalgSha256, 0, 0, &state_->hash)) {
    state_.reset();
  }
}

Sha256::~Sha256() = default;

bool Sha256::ok() const { return state_ != nullptr; }

void Sha256::Update(const void* data, size_t size) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  while (state_ && size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min(size, kMaxPiece));
    if (!CryptHashData(state_->hash, bytes, piece, 0)) state_.reset();
    bytes += piece;
    size -= piece;
  }
}

bool Sha256::Finish(Sha256Digest* digest) {
  if (!state_) return false;
  DWORD size = static_cast<DWORD>(digest->size());
  const bool done =
      CryptGetHashParam(state_->hash, HP_HASHVAL, digest->data(), &size, 0) &&
      size == kSha256Size;
  state_.reset();
  return done;
}

}  // namespace kestrune
