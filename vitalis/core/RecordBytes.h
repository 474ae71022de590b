// Little-endian fields of the records the module reads: mailslot messages and the receive
// driver's statistics blocks.
#pragma once

#include "core/Win.h"

inline DWORD GetU32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

inline ULONGLONG GetU64(const BYTE* p) {
  return static_cast<ULONGLONG>(GetU32(p)) | static_cast<ULONGLONG>(GetU32(p + 4)) << 32;
}
