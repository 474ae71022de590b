// Texts of the report store: text fields of binary records, entries from other programs made
// safe for a profile file, and the names the store gives its report files.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "core/Win.h"

class CReportText {
 public:
  // A text field of a binary record: at most `width` bytes, up to its zero.
  static std::string Field(const void* field, std::size_t width);

  // Texts that come from other programs (mailslot records) must stay on their own line of the
  // report file: a line break would end the entry and let the rest pose as keys or sections of
  // the store's own. Line breaks and zeros become blanks; a key that would read as a section
  // header loses its opening bracket, and a section name its closing ones.
  static std::string Value(std::string text);
  static std::string Key(std::string text);
  static std::string Section(std::string text);

  // printf into a string of the length the text needs.
  template <typename... Args>
  static std::string Format(const char* format, Args... args) {
    int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return {};
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<std::size_t>(n));
    return text;
  }

  // Copies `text` into a fixed buffer of `size` bytes, cut to fit and always terminated.
  static void Copy(char* buffer, std::size_t size, const std::string& text);

  // The name of a package delivery status ("Not Set" for 0), "Undefined" past the known ones.
  static const char* DeliveryStatusName(DWORD status);

  // True for a name of the form the store gives its report files: "HR", digits, ".ini".
  static bool IsReportFileName(const char* name);
};
