// Small text helpers shared by the control's sources.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace servala {

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
inline char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
// Position of `needle` in `hay` at or after `from`, without regard to ASCII case; npos if none.
std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from = 0);
std::string ToLowerAscii(std::string_view s);
// Strips leading and trailing spaces (only spaces, as the control always has).
std::string_view TrimSpaces(std::string_view s);
// Strips spaces, tabs, CR and LF.
std::string_view TrimWhite(std::string_view s);
void ReplaceAll(std::string& s, std::string_view from, std::string_view to);
// & < > " and ' as HTML entities.
std::string HtmlEscape(std::string_view s);
// Date formatting in the control's formats: "ddd", "dddd", "dd", "mm" (month), "mmm", "yyyy",
// "hh" (12-hour when "AMPM" appears), "nn" minutes, "ss", "AMPM".
std::string FormatTime(const std::tm& t, std::string_view format);

}  // namespace servala
