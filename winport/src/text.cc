#include "winport/text.h"

namespace winport {

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && EqualsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

std::string_view Trim(std::string_view s, std::string_view blanks) {
  std::size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

std::size_t DecodeUtf8(std::string_view s, std::size_t at, char32_t* cp) {
  if (at >= s.size()) return 0;
  const unsigned char c = static_cast<unsigned char>(s[at]);
  const std::size_t len = c < 0x80                  ? 1
                          : (c >= 0xC2 && c < 0xE0) ? 2
                          : (c >= 0xE0 && c < 0xF0) ? 3
                          : (c >= 0xF0 && c < 0xF5) ? 4
                                                    : 0;
  if (len == 0 || at + len > s.size()) return 0;
  char32_t value = len == 1 ? c : c & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[at + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    value = (value << 6) | (cc & 0x3F);
  }
  if ((len == 3 && value < 0x800) || (len == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  *cp = value;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
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

}  // namespace winport
