// Registry helpers of the main window and the about box.
#pragma once

#include <winport/registry.h>

#include <QString>
#include <cstdint>

namespace trailmark {

// The program's 16-bit booleans: true is -1.
using VbBool = std::int16_t;
inline constexpr VbBool kVbTrue = -1;
inline constexpr VbBool kVbFalse = 0;

// Creates or opens keyRoot\keyName and sets valueName to text as REG_SZ, the data size being the
// text's length (no terminator counted). True when the key could be created or opened.
VbBool WriteRegistryString(winport::HKEY keyRoot, const QString& keyName, const QString& valueName,
                           const QString& text);

// Writes url as the browser's start page (HKCU "Software\Microsoft\Internet Explorer\Main",
// "Start Page").
VbBool SetIEHomePage(const QString& url);

// Reads keyRoot\keyName value subKeyRef into keyVal: a text value without its terminator, a
// number value as its decimal text. False, and keyVal empty, when the key or value cannot be
// read or the value is longer than 1024 bytes.
bool GetKeyValue(winport::HKEY keyRoot, const QString& keyName, const QString& subKeyRef,
                 QString& keyVal);

}  // namespace trailmark
