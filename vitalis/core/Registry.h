// Small registry readers shared by the module's settings code. A value of the wrong type or
// size counts as missing, so that its default stays in place.
#pragma once

#include <string>

#include "core/Win.h"

// The product's key and the module's own, under HKEY_LOCAL_MACHINE.
inline constexpr char kOrbilinkKey[] = "SOFTWARE\\Tessaline\\Orbilink";
inline constexpr char kHealthReportKey[] = "SOFTWARE\\Tessaline\\Orbilink\\HealthReport";

// A REG_DWORD of exactly 4 bytes.
bool RegReadDword(HKEY key, const char* name, DWORD* value);
// A REG_SZ read size first, then into a buffer of that size (trailing zeros dropped).
bool RegReadText(HKEY root, const char* subKey, const char* name, std::string* value);
// The number of subkeys of an open key.
bool RegSubKeyCount(HKEY key, DWORD* count);
