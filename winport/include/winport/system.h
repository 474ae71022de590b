// Machine queries: disks, memory, processors, names, versions and the Windows directories.
#pragma once

#include <cstddef>

#include "winport/types.h"

namespace winport {

using SIZE_T = std::size_t;

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};

// Bytes free to the caller, total and free on the file system of a directory (null: C:\).
BOOL GetDiskFreeSpaceExA(const char* directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes,
                         ULARGE_INTEGER* totalNumberOfFreeBytes);
BOOL GetDiskFreeSpaceA(const char* rootPathName, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* numberOfFreeClusters, DWORD* totalNumberOfClusters);

struct MEMORYSTATUS {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  SIZE_T dwTotalPhys;
  SIZE_T dwAvailPhys;
  SIZE_T dwTotalPageFile;
  SIZE_T dwAvailPageFile;
  SIZE_T dwTotalVirtual;
  SIZE_T dwAvailVirtual;
};

struct MEMORYSTATUSEX {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  DWORDLONG ullTotalPhys;
  DWORDLONG ullAvailPhys;
  DWORDLONG ullTotalPageFile;
  DWORDLONG ullAvailPageFile;
  DWORDLONG ullTotalVirtual;
  DWORDLONG ullAvailVirtual;
  DWORDLONG ullAvailExtendedVirtual;
};

void GlobalMemoryStatus(MEMORYSTATUS* buffer);
BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* buffer);

constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM = 5;
constexpr WORD PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr WORD PROCESSOR_ARCHITECTURE_ARM64 = 12;
constexpr DWORD PROCESSOR_INTEL_PENTIUM = 586;
constexpr DWORD PROCESSOR_AMD_X8664 = 8664;

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  void* lpMinimumApplicationAddress;
  void* lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};

void GetSystemInfo(SYSTEM_INFO* systemInfo);

constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;
// The host name, upper-cased and cut to MAX_COMPUTERNAME_LENGTH as NetBIOS names are.
// *size: in, the buffer size; out, the length without the NUL (or, when too small, the size
// needed with the NUL, and FALSE).
BOOL GetComputerNameA(char* buffer, DWORD* size);

constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};

// The machine presents itself as Windows 2000 (NT 5.0, build 2195, "Service Pack 4").
// dwOSVersionInfoSize must be set to sizeof(OSVERSIONINFOA).
BOOL GetVersionExA(OSVERSIONINFOA* versionInformation);
DWORD GetVersion();

// "C:\WINDOWS", "C:\WINDOWS\system32" and "C:\WINDOWS\TEMP\" (created in the prefix on first
// use). They return the length without the NUL, or the size needed when the buffer is too small.
UINT GetWindowsDirectoryA(char* buffer, UINT size);
UINT GetSystemDirectoryA(char* buffer, UINT size);
DWORD GetTempPathA(DWORD bufferLength, char* buffer);

// The process environment. Missing: 0 with ERROR_FILE_NOT_FOUND. Too small: the size needed.
DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size);
BOOL SetEnvironmentVariableA(const char* name, const char* value);
// "%NAME%" replaced by the variable's value (unknown names kept as written); returns the size
// needed including the NUL.
DWORD ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size);

}  // namespace winport
