#include "strutil.h"

#include <cstring>

namespace servala {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from) {
  if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
  if (needle.size() > hay.size()) return std::string_view::npos;
  const char first = LowerAscii(needle[0]);
  const std::size_t last = hay.size() - needle.size();
  // The leading characters that have no case (as every tag opener begins) are compared as they
  // stand: the first found with the library's fast search, the next rejecting most places at
  // once (in a page most "<" are followed by a letter or "/").
  std::size_t plain = 0;
  while (plain < needle.size() && UpperAscii(needle[plain]) == LowerAscii(needle[plain])) ++plain;
  if (plain > 0) {
    const char* const base = hay.data();
    for (std::size_t i = from; i <= last;) {
      const void* at = std::memchr(base + i, needle[0], last + 1 - i);
      if (at == nullptr) break;
      i = static_cast<std::size_t>(static_cast<const char*>(at) - base);
      if ((plain < 2 || base[i + 1] == needle[1]) &&
          std::memcmp(base + i, needle.data(), plain) == 0 &&
          EqualsNoCase(hay.substr(i + plain, needle.size() - plain), needle.substr(plain)))
        return i;
      ++i;
    }
    return std::string_view::npos;
  }
  for (std::size_t i = from; i <= last; ++i) {
    if (LowerAscii(hay[i]) != first) continue;
    if (EqualsNoCase(hay.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string_view TrimWhite(std::string_view s) {
  auto white = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && white(s.front())) s.remove_prefix(1);
  while (!s.empty() && white(s.back())) s.remove_suffix(1);
  return s;
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  std::size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::string HtmlEscape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string FormatTime(const std::tm& t, std::string_view format) {
  static constexpr const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const bool twelve = format.find("AMPM") != std::string_view::npos;
  const int wday = (t.tm_wday >= 0 && t.tm_wday < 7) ? t.tm_wday : 0;
  const int mon = (t.tm_mon >= 0 && t.tm_mon < 12) ? t.tm_mon : 0;
  std::string out;
  auto digits = [&](int v, int width) {
    char buf[12];
    int n = 0;
    bool negative = v < 0;
    unsigned u = negative ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
      buf[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    while (n < width) buf[n++] = '0';
    if (negative) out += '-';
    while (n > 0) out += buf[--n];
  };
  auto two = [&](int v) { digits(v, 2); };
  for (std::size_t i = 0; i < format.size();) {
    auto rest = format.substr(i);
    if (rest.starts_with("dddd")) {
      out += kDays[wday];
      i += 4;
    } else if (rest.starts_with("ddd")) {
      out.append(kDays[wday], 3);
      i += 3;
    } else if (rest.starts_with("dd")) {
      two(t.tm_mday);
      i += 2;
    } else if (rest.starts_with("mmm")) {
      out += kMonths[mon];
      i += 3;
    } else if (rest.starts_with("mm")) {
      // "mm" after an hour means minutes, as the platform's formatting has it.
      const bool minutes = i >= 3 && format.substr(i - 3, 2) == "hh";
      two(minutes ? t.tm_min : mon + 1);
      i += 2;
    } else if (rest.starts_with("yyyy")) {
      digits(t.tm_year + 1900, 4);
      i += 4;
    } else if (rest.starts_with("hh")) {
      int h = t.tm_hour;
      if (twelve) h = (h % 12 == 0) ? 12 : h % 12;
      two(h);
      i += 2;
    } else if (rest.starts_with("nn")) {
      two(t.tm_min);
      i += 2;
    } else if (rest.starts_with("ss")) {
      two(t.tm_sec);
      i += 2;
    } else if (rest.starts_with("AMPM")) {
      out += t.tm_hour < 12 ? "AM" : "PM";
      i += 4;
    } else {
      out += format[i++];
    }
  }
  return out;
}

}  // namespace servala
