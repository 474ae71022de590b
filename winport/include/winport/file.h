// Files, directories and directory searches with the Win32 signatures the system calls.
// File and find handles live in the handle table: CloseHandle, ReadFile and WriteFile
// (winport/handle.h) work on them.
#pragma once

#include <cstdio>
#include <ctime>

#include "winport/types.h"

namespace winport {

// Access rights.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;

// Share modes (accepted; the host does not enforce them).
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Attributes and flags.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x00000004;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x00000100;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

// SetFilePointer origins.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// MoveFileExA flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
};

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard, GetFileExMaxInfoLevel };

// Opens a file (or, for "\\.\mailslot\NAME", the client end of a mailslot).
// INVALID_HANDLE_VALUE on failure. CREATE_ALWAYS and OPEN_ALWAYS set ERROR_ALREADY_EXISTS when
// the file was there, else ERROR_SUCCESS, as Windows does.
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh);
DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileTime(HANDLE file, FILETIME* creationTime, FILETIME* lastAccessTime,
                 FILETIME* lastWriteTime);
// Sets the last-access and last-write times (the host keeps no settable creation time).
BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime);

// Directory search: "dir\HR*.ini". '*' and '?' match without regard to case; a search of a
// directory that is not a drive's root also yields "." and "..". No match: INVALID_HANDLE_VALUE
// with ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND when the directory is missing); the end of
// the search: FALSE with ERROR_NO_MORE_FILES.
HANDLE FindFirstFileA(const char* fileName, WIN32_FIND_DATAA* findFileData);
BOOL FindNextFileA(HANDLE findFile, WIN32_FIND_DATAA* findFileData);
BOOL FindClose(HANDLE findFile);

DWORD GetFileAttributesA(const char* fileName);
BOOL SetFileAttributesA(const char* fileName, DWORD fileAttributes);
BOOL GetFileAttributesExA(const char* fileName, GET_FILEEX_INFO_LEVELS infoLevelId,
                          void* fileInformation);

// One directory level: the parent must exist (ERROR_PATH_NOT_FOUND), the directory must not
// (ERROR_ALREADY_EXISTS).
BOOL CreateDirectoryA(const char* pathName, SECURITY_ATTRIBUTES* securityAttributes);
BOOL RemoveDirectoryA(const char* pathName);
BOOL DeleteFileA(const char* fileName);
// Fails with ERROR_ALREADY_EXISTS when the target exists (MoveFileExA can replace it).
BOOL MoveFileA(const char* existingFileName, const char* newFileName);
BOOL MoveFileExA(const char* existingFileName, const char* newFileName, DWORD flags);
BOOL CopyFileA(const char* existingFileName, const char* newFileName, BOOL failIfExists);

// The process's current directory in Windows form ("C:\dir" inside the prefix).
DWORD GetCurrentDirectoryA(DWORD bufferLength, char* buffer);
BOOL SetCurrentDirectoryA(const char* pathName);
// The absolute Windows form of a path, folded; filePart (when given) points at the last
// component in the buffer.
DWORD GetFullPathNameA(const char* fileName, DWORD bufferLength, char* buffer, char** filePart);
// "<path>\<prefix><hex>.TMP"; with unique 0 a new empty file is created under a free name.
UINT GetTempFileNameA(const char* pathName, const char* prefixString, UINT unique,
                      char* tempFileName);

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime);
BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, FILETIME* fileTime);
LONG CompareFileTime(const FILETIME* fileTime1, const FILETIME* fileTime2);

// fopen of a Windows-style path through the path mapping; null with the last error set.
std::FILE* OpenHostFile(const char* winPath, const char* mode);

// FILETIME (100 ns steps since 1601, UTC) to and from seconds since 1970.
std::time_t FileTimeToTime(const FILETIME& fileTime);
FILETIME TimeToFileTime(std::time_t t);

}  // namespace winport
