// Utility library (linked).
#pragma once

#include <winport/types.h>

#include <cstdint>

extern "C" {

// Same arguments and result as the system's RegCreateKeyExA.
winport::LONG Util_RegCreateKeyEx(winport::HKEY root, const char* subKey, winport::DWORD reserved,
                                  char* className, winport::DWORD options, winport::REGSAM access,
                                  winport::SECURITY_ATTRIBUTES* security, winport::HKEY* result,
                                  winport::DWORD* disposition);
// Non-zero on the NT family.
winport::BOOL Util_IsWinNT();
// 0 = the webcast service is suspended; non-zero = not suspended.
winport::DWORD Util_SuspendOnLoad(winport::DWORD service);
// Sizes in bytes of the drive ("c:") into *size.
winport::BOOL Util_GetTotalDiskSpace(const char* drive, winport::ULONGLONG* size);
winport::BOOL Util_GetFreeDiskSpace(const char* drive, winport::ULONGLONG* size);
// Restarts the computer.
winport::BOOL Util_ExitWindows();

}  // extern "C"
