// SHA-256 through the system's own implementation (CryptoAPI on Windows,
// libcrypto on POSIX), so the program carries no hashing code of its own to
// keep correct. The back-end linked into the build defines Sha256; the hex
// helpers are shared.
#ifndef KESTRUNE_PLATFORM_SHA256_H_
#define KESTRUNE_PLATFORM_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrune {

inline constexpr size_t kSha256Size = 32;
using Sha256Digest = std::array<uint8_t, kSha256Size>;

// Incremental SHA-256; one object hashes one message.
class Sha256 {
 public:
  Sha256();  // ok() is false when the platform offers no SHA-256
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool ok() const;
  void Update(const void* data, size_t size);  // a failure makes ok() false
  // False when !ok(); call once. Either way the object is spent afterwards:
  // ok() is false and a second call fails.
  bool Finish(Sha256Digest* digest);

 private:
  // The system's hash object; null once it failed or was finished.
  struct State;
  std::unique_ptr<State> state_;
};

// Lower-case hexadecimal, 64 characters.
std::wstring HexOf(const Sha256Digest& digest);
// Parses 64 hexadecimal digits (either case); false otherwise, leaving
// *digest as it was.
bool ParseHexDigest(std::wstring_view text, Sha256Digest* digest);

}  // namespace kestrune

#endif  // KESTRUNE_PLATFORM_SHA256_H_
