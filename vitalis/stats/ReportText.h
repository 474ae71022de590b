// Texts of the report store: text fields of binary records, formatted entries.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class CReportText {
 public:
  // A text field of a binary record: at most `width` bytes, up to its zero.
  static std::string Field(const void* field, std::size_t width);

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
};
