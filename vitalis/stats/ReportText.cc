#include "stats/ReportText.h"

#include <cctype>
#include <cstring>

std::string CReportText::Field(const void* field, std::size_t width) {
  const char* text = static_cast<const char*>(field);
  return std::string(text, strnlen(text, width));
}

void CReportText::Copy(char* buffer, std::size_t size, const std::string& text) {
  if (buffer == nullptr || size == 0) return;
  std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

std::string CReportText::Value(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return text;
}

std::string CReportText::Key(std::string text) {
  text = Value(std::move(text));
  std::size_t first = text.find_first_not_of(" \t");
  if (first != std::string::npos && text[first] == '[') text[first] = ' ';
  return text;
}

std::string CReportText::Section(std::string text) {
  text = Value(std::move(text));
  for (char& c : text)
    if (c == ']') c = ' ';
  return text;
}

bool CReportText::IsReportFileName(const char* name) {
  if (name == nullptr || std::strncmp(name, "HR", 2) != 0) return false;
  const char* p = name + 2;
  const char* digits = p;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  return p > digits && std::strcmp(p, ".ini") == 0;
}

const char* CReportText::DeliveryStatusName(DWORD status) {
  static const char* const kNames[] = {"Not Set",
                                       "SFXFDB_FSD_NEEDED",
                                       "SFXFDB_FILE_NEEDED",
                                       "SFXFDB_WAITING_FOR_FILE",
                                       "SFXFDB_FILE_LOADING",
                                       "SFXFDB_FILE_LOADED",
                                       "SFXFDB_FILE_DELIVERED",
                                       "SFXFDB_FILE_LOAD_FAILED",
                                       "SFXFDB_FILE_CONFIRMED",
                                       "SFXFDB_AWAITING_SELECTION",
                                       "SFXFDB_PRECOMMITTED",
                                       "SFXFDB_PURCHASE_NEEDED",
                                       "SFXFDB_AWAITING_INSTALL",
                                       "SFXFDB_FILE_LOAD_SUSPENDED"};
  return status < sizeof kNames / sizeof kNames[0] ? kNames[status] : "Undefined";
}
