#include "tavrin_iis/utf.h"

#include <cstdint>

namespace tavrin_iis {

namespace {
constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[i], advancing i; strict about overlong
// forms, surrogates and truncation.
char32_t next_code_point(std::string_view text, size_t &i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i++);
  if (lead < 0x80) return lead;
  int extra;
  char32_t cp, min;
  if ((lead & 0xE0) == 0xC0) extra = 1, cp = lead & 0x1F, min = 0x80;
  else if ((lead & 0xF0) == 0xE0) extra = 2, cp = lead & 0x0F, min = 0x800;
  else if ((lead & 0xF8) == 0xF0) extra = 3, cp = lead & 0x07, min = 0x10000;
  else return kReplacement;
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size() || (byte(i) & 0xC0) != 0x80) return kReplacement;
    cp = (cp << 6) | (byte(i++) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}
}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = next_code_point(text, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace tavrin_iis
