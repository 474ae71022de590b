// Profile (INI) files with the Windows profile API's rules. A file name without a directory
// is looked up in the Windows directory. Sections and keys match without regard to case;
// every write replaces the whole file at once (temporary file and rename), so a reader never
// sees a half-written file, and writers in this process and in others are serialised.
#pragma once

#include "winport/types.h"

namespace winport {

// The value of section/key, or `defaultValue` when the file, section or key is missing.
// Surrounding blanks are trimmed and surrounding double quotes removed. A value that does not
// fit is cut to size - 1 characters and size - 1 is returned. With key null: the section's
// keys; with section null: the section names; each NUL-terminated, with a final NUL (a list
// that does not fit is cut and size - 2 is returned).
DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultValue,
                               char* returnedString, DWORD size, const char* fileName);
// The value read as a decimal number (leading digits; 0 when there are none), or the default.
UINT GetPrivateProfileIntA(const char* appName, const char* keyName, INT defaultValue,
                           const char* fileName);
// Creates the file, section and key as needed; key null deletes the section, value null
// deletes the key.
BOOL WritePrivateProfileStringA(const char* appName, const char* keyName, const char* value,
                                const char* fileName);
// The "key=value" lines of a section, each NUL-terminated, with a final NUL.
DWORD GetPrivateProfileSectionA(const char* appName, char* returnedString, DWORD size,
                                const char* fileName);
DWORD GetPrivateProfileSectionNamesA(char* returnedString, DWORD size, const char* fileName);
// Replaces a section's lines with "key=value" strings (each NUL-terminated, final NUL).
BOOL WritePrivateProfileSectionA(const char* appName, const char* lines, const char* fileName);

}  // namespace winport
