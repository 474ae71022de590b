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
// How many folders have been read whole for case-blind look-ups so far.
std::size_t FolderListingsTakenForTesting();

// Decodes %XX escapes; a malformed escape stays as written. Returns false for a NUL byte.
bool PercentDecode(std::string_view in, std::string& out);

struct ResolvedPath {
  std::string path;  // a host path
  bool directory = false;
  FileIdentity id;  // as found by the look-up
};

// Finds `relative` (segments split at "/" or "\") under `root`, matching each existing segment
// without regard to case. With `allowParent` false a ".." segment fails the look-up; with it
// true ".." steps up (for page authors' include names). Either way the file found, with every
// link followed, must lie within `fence` (by default `root`, or the folder above `root` when
// `allowParent`): links that lead elsewhere are not followed.
std::optional<ResolvedPath> ResolveUnder(const std::string& root, std::string_view relative,
                                         bool allowParent, const std::string& fence = "");

// True when `path`, found as `id`, lies within the folder `fence` once every link is followed.
// Answers for a path and identity checked before are kept.
bool WithinFence(const std::string& path, const FileIdentity& id, const std::string& fence);

// The name in folder `dir` (whose status is `st`) that matches `name` without regard to case,
// from a listing of the folder kept while the folder is unchanged; "" when there is none.
std::string FindInFolder(const std::string& dir, const struct stat& st, std::string_view name);

}  // namespace servala
