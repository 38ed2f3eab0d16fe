#include "error/text.h"

#include <cstdio>

namespace pelorin {

std::size_t utf8_length_at(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3
                      : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

std::string quoted(std::string_view s) {
  std::string out = "\"";
  char buf[16];
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = utf8_length_at(s, i);
    const auto c = static_cast<unsigned char>(s[i]);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
      ++i;
      continue;
    }
    char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        } else {
          out.append(s.substr(i, n));
        }
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string display_text(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    if (const std::size_t n = utf8_length_at(s, i); n != 0) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace pelorin
