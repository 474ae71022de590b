// Windows-style paths on the host. "x:\dir\file" lives under <prefix>/drive_x/, backslashes
// become slashes, an absolute POSIX path passes through unchanged and a relative path is taken
// from the current directory. Components that already exist are found without regard to case,
// so "C:\Vitalis\HR.INI" reaches drive_c/vitalis/hr.ini when that is how it was created.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace winport {

// The host path of a Windows-style (or POSIX) path. Existing components resolve without regard
// to case (exact spelling first); the first missing component and everything after it keep the
// caller's spelling. "." and ".." are folded; ".." never climbs above a drive's root.
std::string HostPath(std::string_view path);

// The Windows form of a host path: "C:\dir\file" for a path under <prefix>/drive_c, any other
// path unchanged (HostPath maps it back to itself).
std::string WindowsPath(const std::filesystem::path& hostPath);

// Drops what HostPath remembers about directory contents (tests; HostPath also notices on its
// own when a remembered name has gone).
void ForgetResolvedPaths();

}  // namespace winport
