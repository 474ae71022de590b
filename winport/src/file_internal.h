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
