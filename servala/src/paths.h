// Mapping request paths and include names onto files, without regard to case.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "file_cache.h"

namespace servala {

// A Windows-style or host path as a host path.
std::filesystem::path ToHostPath(const std::string& path);

// The directory holding the control's own library (tests may point it elsewhere).
std::string ControlDirectory();
void SetControlDirectoryForTesting(const std::string& dir);

// Decodes %XX escapes; a malformed escape stays as written. Returns false for a NUL byte.
bool PercentDecode(std::string_view in, std::string& out);

struct ResolvedPath {
  std::string path;  // a host path
  bool directory = false;
  FileIdentity id;  // as found by the look-up
};

// Finds `relative` (segments split at "/" or "\") under `root`, matching each existing segment
// without regard to case. With `allowParent` false a ".." segment fails the look-up, so the
// result never leaves `root`; with it true ".." steps up (for page authors' include names).
std::optional<ResolvedPath> ResolveUnder(const std::string& root, std::string_view relative,
                                         bool allowParent);

}  // namespace servala
