#include "platform/utf.h"

namespace kestrune {
namespace {

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void AppendCodePoint(std::wstring* out, uint32_t code_point) {
  if (kWideIsUtf16 && code_point >= 0x10000) {
    code_point -= 0x10000;
    out->push_back(static_cast<wchar_t>(0xD800 + (code_point >> 10)));
    out->push_back(static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF)));
  } else {
    out->push_back(static_cast<wchar_t>(code_point));
  }
}

void AppendUtf8(std::string* out, uint32_t code_point) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

}  // namespace

std::wstring WideFromUtf8(std::string_view bytes) {
  // The names of a listing are mostly ASCII: widened unit for unit.
  const unsigned char* const in = reinterpret_cast<const unsigned char*>(bytes.data());
  {
    std::wstring out(bytes.size(), L'\0');
    wchar_t* const wide = out.data();
    unsigned seen = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
      seen |= in[i];
      wide[i] = static_cast<wchar_t>(in[i]);
    }
    if (seen < 0x80) return out;
  }
  std::wstring out;
  out.reserve(bytes.size());
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t code_point = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code_point = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code_point = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code_point = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= n;
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      valid = IsContinuation(next);
      code_point = (code_point << 6) | (next & 0x3F);
    }
    // Overlong forms, encoded surrogates and values past U+10FFFF are not
    // text; escaping them keeps the bytes recoverable.
    if (valid && code_point >= minimum && code_point <= 0x10FFFF &&
        !(code_point >= 0xD800 && code_point <= 0xDFFF)) {
      AppendCodePoint(&out, code_point);
      i += length;
    } else {
      out.push_back(static_cast<wchar_t>(0xDC00 + lead));
      ++i;
    }
  }
  return out;
}

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  AppendUtf8FromWide(text, &out);
  return out;
}

void AppendUtf8FromWide(std::wstring_view text, std::string* out) {
  // Names and paths are mostly ASCII, and every file call converts one:
  // those are narrowed unit for unit in one pass, and only text that turns
  // out not to be ASCII is converted again.
  const wchar_t* const in = text.data();
  const size_t n = text.size();
  const size_t start = out->size();
  {
    out->resize(start + n);
    char* const narrow = out->data() + start;
    uint32_t seen = 0;
    for (size_t i = 0; i < n; ++i) {
      seen |= static_cast<uint32_t>(in[i]);
      narrow[i] = static_cast<char>(in[i]);
    }
    if (seen < 0x80) return;
  }
  out->resize(start);
  out->reserve(start + n + n / 2);
  for (size_t i = 0; i < n; ++i) {
    uint32_t unit = static_cast<uint32_t>(text[i]);
    if (kWideIsUtf16) unit &= 0xFFFF;
    if (unit < 0x80) {
      out->push_back(static_cast<char>(unit));
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out->push_back(static_cast<char>(unit - 0xDC00));
    } else if (kWideIsUtf16 && unit >= 0xD800 && unit <= 0xDBFF &&
               i + 1 < text.size() &&
               (static_cast<uint32_t>(text[i + 1]) & 0xFC00) == 0xDC00) {
      const uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0x3FF;
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + low);
      ++i;
    } else if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
}

std::wstring WideFromUtf16Le(const uint8_t* bytes, size_t count) {
  std::wstring out;
  const size_t units = count / 2;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    const uint32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
    if (!kWideIsUtf16 && unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      const uint32_t low = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) +
                                           (low - 0xDC00)));
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(unit));
  }
  return out;
}

std::vector<uint8_t> Utf16LeFromWide(std::wstring_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2);
  auto push_unit = [&out](uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
  };
  for (wchar_t c : text) {
    uint32_t code_point = static_cast<uint32_t>(c);
    if (kWideIsUtf16) code_point &= 0xFFFF;
    if (code_point >= 0x10000 && code_point <= 0x10FFFF) {
      code_point -= 0x10000;
      push_unit(0xD800 + (code_point >> 10));
      push_unit(0xDC00 + (code_point & 0x3FF));
    } else {
      push_unit(code_point > 0x10FFFF ? 0xFFFD : code_point);
    }
  }
  return out;
}

}  // namespace kestrune
