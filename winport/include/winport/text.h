// Small text helpers shared by winport and the deliverables: ASCII case folding, trimming and
// UTF-8 decoding. The case folding is ASCII only and ignores the C locale on purpose: names
// (keys, sections, files, headers) must compare alike whatever locale a host program set.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace winport {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}
constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}
std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
bool EndsWithNoCase(std::string_view s, std::string_view suffix);

// `s` without the characters of `blanks` at either end.
constexpr std::string_view kSpaceTab = " \t";
constexpr std::string_view kWhiteSpace = " \t\r\n";
std::string_view Trim(std::string_view s, std::string_view blanks = kSpaceTab);

// The well-formed UTF-8 sequence at s[at]: its length (1 to 4) with the code point in *cp, or
// 0 for anything else (a stray or cut-short byte, an overlong form, a surrogate, a value past
// U+10FFFF), so that the caller decides what an odd byte means.
std::size_t DecodeUtf8(std::string_view s, std::size_t at, char32_t* cp);
// Appends `cp` (at most U+10FFFF) in UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace winport
