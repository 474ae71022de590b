// Directory searches: FindFirstFileA / FindNextFileA / FindClose.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <vector>

#include "file_internal.h"
#include "handles.h"
#include "winport/error.h"
#include "winport/file.h"
#include "winport/path.h"
#include "winport/prefix.h"
#include "winport/text.h"

namespace winport {
namespace {

struct FindObject : detail::KernelObject {
  std::vector<WIN32_FIND_DATAA> entries;
  std::size_t next = 0;
};

// '*' matches any run of characters, '?' any one; letters without regard to case.
bool Match(const char* pattern, const char* name) {
  const char* starP = nullptr;
  const char* starN = nullptr;
  while (*name) {
    if (*pattern == '*') {
      starP = ++pattern;
      starN = name;
    } else if (*pattern == '?' || (*pattern && AsciiUpper(*pattern) == AsciiUpper(*name))) {
      ++pattern;
      ++name;
    } else if (starP) {
      pattern = starP;
      name = ++starN;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

bool MatchName(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*" || pattern == "*") return true;
  if (Match(pattern.c_str(), name.c_str())) return true;
  // As on Windows, "name.*" also finds "name" without an extension.
  if (pattern.size() > 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 &&
      name.find('.') == std::string::npos)
    return Match(pattern.substr(0, pattern.size() - 2).c_str(), name.c_str());
  return false;
}

bool IsDriveRoot(const std::string& hostDir) {
  std::filesystem::path dir = std::filesystem::path(hostDir).lexically_normal();
  if (dir.filename().empty()) dir = dir.parent_path();
  std::filesystem::path prefix = PrefixPath().lexically_normal();
  if (prefix.filename().empty()) prefix = prefix.parent_path();
  std::string name = dir.filename().string();
  return name.size() == 7 && name.compare(0, 6, "drive_") == 0 && dir.parent_path() == prefix;
}

bool FillEntry(const std::string& dir, const std::string& name, WIN32_FIND_DATAA* data) {
  detail::HostFileInfo info;
  if (!detail::StatHostPath(dir + "/" + name, &info)) return false;
  std::memset(data, 0, sizeof *data);
  detail::CopyFileInfo(info, data);
  std::size_t n = std::min<std::size_t>(name.size(), MAX_PATH - 1);
  std::memcpy(data->cFileName, name.data(), n);
  return true;
}

}  // namespace

HANDLE FindFirstFileA(const char* fileName, WIN32_FIND_DATAA* findFileData) {
  if (!fileName || !findFileData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string request(fileName);
  std::size_t cut = request.find_last_of("\\/");
  std::string dirPart, pattern;
  if (cut != std::string::npos) {
    dirPart = request.substr(0, cut + 1);
    pattern = request.substr(cut + 1);
  } else if (request.size() >= 2 && request[1] == ':') {
    dirPart.assign(request, 0, 2);
    dirPart.push_back('\\');
    pattern = request.substr(2);
  } else {
    dirPart = ".";
    pattern = request;
  }
  if (pattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string dir = HostPath(dirPart);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }

  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    bool root = IsDriveRoot(dir);
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (root && (name == "." || name == "..")) continue;
      if (MatchName(pattern, name)) names.push_back(std::move(name));
    }
    ::closedir(d);
  } else {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  // Listed in the order of upper-cased names, as the system's file system gives them.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(AsciiUpper(x)) < static_cast<unsigned char>(AsciiUpper(y));
    });
  });

  auto search = std::make_shared<FindObject>();
  for (const std::string& name : names) {
    WIN32_FIND_DATAA data;
    if (FillEntry(dir, name, &data)) search->entries.push_back(data);  // skip entries gone since
  }
  if (search->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *findFileData = search->entries[0];
  search->next = 1;
  SetLastError(ERROR_SUCCESS);
  return detail::InsertHandle(std::move(search));
}

BOOL FindNextFileA(HANDLE findFile, WIN32_FIND_DATAA* findFileData) {
  auto search = detail::LookupHandleAs<FindObject>(findFile);
  if (!search) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!findFileData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (search->next >= search->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *findFileData = search->entries[search->next++];
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  if (!detail::LookupHandleAs<FindObject>(findFile) || !detail::RemoveHandle(findFile)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace winport
