#include "platform/sha256.h"

namespace kestrune {
namespace {

constexpr wchar_t kDigits[] = L"0123456789abcdef";

// The value of one hexadecimal digit, or -1. Compares whole code units, so a
// wider character whose low byte looks like a digit is not one.
int DigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace

std::wstring HexOf(const Sha256Digest& digest) {
  std::wstring hex;
  hex.reserve(2 * digest.size());
  for (uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

bool ParseHexDigest(std::wstring_view text, Sha256Digest* digest) {
  if (text.size() != 2 * kSha256Size) return false;
  Sha256Digest parsed;
  for (size_t i = 0; i < parsed.size(); ++i) {
    const int high = DigitValue(text[2 * i]);
    const int low = DigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    parsed[i] = static_cast<uint8_t>(high << 4 | low);
  }
  // Nothing is written unless the whole text parsed.
  *digest = parsed;
  return true;
}

}  // namespace kestrune
