#include "winport/prefix.h"

#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>

namespace winport {
namespace {

std::filesystem::path PrefixLocation() {
  if (const char* p = std::getenv("WINPORT_PREFIX"); p && *p) return p;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
    return std::filesystem::path(x) / "winport";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : "/tmp") / ".local/share/winport";
}

}  // namespace

std::filesystem::path PrefixPath(std::string* error) {
  // The location is read each time so a test may point a process at a fresh prefix.
  static std::mutex lock;
  static std::set<std::filesystem::path> made;
  std::filesystem::path p = PrefixLocation();
  std::lock_guard guard(lock);
  if (made.count(p)) return p;
  std::error_code ec;
  for (const char* sub : {"drive_c", "run"}) {
    std::filesystem::create_directories(p / sub, ec);
    if (ec) {
      if (error) *error = "cannot create the prefix " + (p / sub).string() + ": " + ec.message();
      return {};
    }
  }
  made.insert(p);
  return p;
}

std::filesystem::path RunPath() {
  std::filesystem::path p = PrefixPath();
  return p.empty() ? p : p / "run";
}

}  // namespace winport
