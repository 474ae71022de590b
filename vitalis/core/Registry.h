// Small registry readers shared by the module's settings code. A value of the wrong type or
// size counts as missing, so that its default stays in place.
#pragma once

#include <string>

#include "core/Win.h"

// A REG_DWORD of exactly 4 bytes.
bool RegReadDword(HKEY key, const char* name, DWORD* value);
// A REG_SZ read size first, then into a buffer of that size (trailing zeros dropped).
bool RegReadText(HKEY root, const char* subKey, const char* name, std::string* value);
