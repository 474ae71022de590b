// The registry editor's text format ("Windows Registry Editor Version 5.00"): parse, write,
// import into and export from the registry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "winport/types.h"

namespace winport::regfile {

inline constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

// "HKLM\SOFTWARE\X" or "HKEY_LOCAL_MACHINE\SOFTWARE\X": the root and the path below it.
// False when the root is not one of the four.
bool SplitKeyPath(std::string_view path, HKEY* root, std::string* subKey);

// "HKEY_LOCAL_MACHINE" etc., "" for anything else.
std::string_view RootName(HKEY root);

struct Entry {
  int line = 0;
  std::string name;  // "" is the default value (@)
  bool remove = false;
  DWORD type = 0;
  std::string data;  // as RegSetValueExA takes it (strings end in their terminator)
};

struct Section {
  int line = 0;
  std::string key;  // full path as written, root included
  bool remove = false;
  std::vector<Entry> entries;
};

struct Document {
  std::vector<Section> sections;
};

// Parses a whole file (UTF-16LE with BOM, or UTF-8 with or without BOM; CR LF or LF).
// On failure `error` says "line N: what".
bool Parse(std::string_view text, Document* doc, std::string* error);

// "[KEY]\r\n".
std::string FormatSection(std::string_view key);
// One value as the editor writes it, long hex data wrapped, ending in CR LF.
std::string FormatValue(std::string_view name, DWORD type, std::string_view data);

// Applies a document as one transaction: all of it or, on the first failure, none of it.
// `error` names the line. Returns ERROR_SUCCESS or the failing call's code (ERROR_INVALID_DATA
// for a key path with an unknown root).
LONG Import(const Document& doc, std::string* error);

// Writes a key and everything below it (header included). With an empty path, the whole
// stored registry, leaving out what is only generated. ERROR_FILE_NOT_FOUND when the key is
// missing.
LONG Export(std::string_view keyPath, std::string* out);

// Deletes a key with all its subkeys and values, as one transaction.
LONG DeleteTree(HKEY root, const std::string& subKey);

// Text conversions used by the format: UTF-8 to UTF-16LE (bytes that are not UTF-8 are taken
// as Latin-1) and back (false on an odd byte count).
std::string Utf8ToUtf16le(std::string_view s);
bool Utf16leToUtf8(std::string_view s, std::string* out);

}  // namespace winport::regfile
