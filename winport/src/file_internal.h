// What the file, find and profile code share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "winport/file.h"

namespace winport::detail {

struct HostFileInfo {
  DWORD attributes = 0;
  FILETIME creation{};
  FILETIME lastAccess{};
  FILETIME lastWrite{};
  std::uint64_t size = 0;
};

// Fills the fields that WIN32_FILE_ATTRIBUTE_DATA and WIN32_FIND_DATAA share.
template <typename Data>
void CopyFileInfo(const HostFileInfo& info, Data* out) {
  out->dwFileAttributes = info.attributes;
  out->ftCreationTime = info.creation;
  out->ftLastAccessTime = info.lastAccess;
  out->ftLastWriteTime = info.lastWrite;
  out->nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
  out->nFileSizeLow = static_cast<DWORD>(info.size);
}

// Status of a host path (following symbolic links); false with errno set when it is missing.
bool StatHostPath(const std::string& hostPath, HostFileInfo* info);

// The error Windows gives for a missing file: ERROR_PATH_NOT_FOUND when its directory is
// missing too, else ERROR_FILE_NOT_FOUND.
DWORD MissingFileError(const std::string& hostPath);

// The descriptor behind a file handle, or -1 when the handle is not an open file.
int FileDescriptor(HANDLE file);

// The components of a path below its root, split at `separator`, with "." dropped and ".."
// folded (never above the root).
std::vector<std::string> FoldedComponents(std::string_view rest, char separator);

}  // namespace winport::detail
