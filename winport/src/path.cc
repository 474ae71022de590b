#include "winport/path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "file_internal.h"
#include "winport/prefix.h"
#include "winport/text.h"

namespace winport {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string CurrentDirectory() {
  std::vector<char> buf(4096);
  while (!::getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

// Directory entries found by a case-insensitive scan: "<actual dir>/<lower-case name>" -> the
// entry's real name. An entry is checked before use, so a renamed or deleted one is simply
// looked up again.
class NameCache {
 public:
  bool Find(const std::string& key, std::string* name) {
    std::lock_guard guard(lock_);
    auto it = names_.find(key);
    if (it == names_.end()) return false;
    *name = it->second;
    return true;
  }
  void Store(const std::string& key, const std::string& name) {
    std::lock_guard guard(lock_);
    if (names_.size() > 20000) names_.clear();  // bound the memory of long-running processes
    names_[key] = name;
  }
  void Forget(const std::string& key) {
    std::lock_guard guard(lock_);
    names_.erase(key);
  }
  void Clear() {
    std::lock_guard guard(lock_);
    names_.clear();
  }

 private:
  std::mutex lock_;
  std::unordered_map<std::string, std::string> names_;
};

NameCache& Cache() {
  static NameCache* cache = new NameCache;  // used during exit by static destructors
  return *cache;
}

bool ScanDirectory(const std::string& dir, const std::string& lowerName, std::string* found) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (dirent* e = ::readdir(d)) {
    if (AsciiLower(e->d_name) == lowerName) {
      *found = e->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(d);
  return ok;
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// The prefix as a string. PrefixPath() is asked again only when the environment that names
// the prefix changes, which keeps repeated look-ups cheap.
std::string PrefixString() {
  static std::mutex lock;
  static std::string key, prefix;
  std::string now;
  for (const char* name : {"WINPORT_PREFIX", "XDG_DATA_HOME", "HOME"}) {
    const char* v = std::getenv(name);
    now += v ? v : "";
    now += '\0';
  }
  std::lock_guard guard(lock);
  if (now != key || prefix.empty()) {
    prefix = PrefixPath().lexically_normal().string();
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    key = std::move(now);
    // Like any installed machine, drive C has its Windows directories.
    if (!prefix.empty())
      for (const char* dir :
           {"/drive_c/windows", "/drive_c/windows/system32", "/drive_c/windows/temp"})
        ::mkdir((prefix + dir).c_str(), 0777);
  }
  return prefix;
}

std::string DriveRoot(char letter) {
  std::string drive = std::string("drive_") + AsciiLower(letter);
  std::string prefix = PrefixString();
  return prefix.empty() ? "/" + drive : prefix + "/" + drive;
}

// The root of the drive the current directory lies on (C: outside the prefix).
std::string CurrentDriveRoot() {
  std::string cwd = CurrentDirectory();
  std::string windows = WindowsPath(cwd);
  if (windows.size() >= 2 && windows[1] == ':') return DriveRoot(windows[0]);
  return DriveRoot('c');
}

std::string Resolve(const std::string& base, const std::vector<std::string>& parts) {
  std::string whole = base;
  for (const std::string& p : parts) whole = Join(whole, p);
  if (parts.empty() || Exists(whole)) return whole;
  // Whole paths resolved before, under the lower-cased spelling asked for.
  std::string wholeKey = "\n" + AsciiLower(whole);
  std::string resolved;
  if (Cache().Find(wholeKey, &resolved)) {
    if (Exists(resolved)) return resolved;
    Cache().Forget(wholeKey);
  }

  std::string cur = base;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string exact = Join(cur, parts[i]);
    if (Exists(exact)) {
      cur = std::move(exact);
      continue;
    }
    std::string key = cur + "/" + AsciiLower(parts[i]);
    std::string name;
    if (Cache().Find(key, &name)) {
      std::string cached = Join(cur, name);
      if (Exists(cached)) {
        cur = std::move(cached);
        continue;
      }
      Cache().Forget(key);
    }
    if (ScanDirectory(cur, AsciiLower(parts[i]), &name)) {
      Cache().Store(key, name);
      cur = Join(cur, name);
      continue;
    }
    // Missing from here on: keep the caller's spelling.
    for (; i < parts.size(); ++i) cur = Join(cur, parts[i]);
    return cur;
  }
  Cache().Store(wholeKey, cur);
  return cur;
}

}  // namespace

std::string HostPath(std::string_view path) {
  if (path.empty()) return {};
  std::string p(path);
  bool backslashRoot = p[0] == '\\';
  for (char& c : p)
    if (c == '\\') c = '/';

  std::string base;
  std::string_view rest;
  if (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) {
    base = DriveRoot(p[0]);
    rest = std::string_view(p).substr(2);
  } else if (p.size() >= 2 && p[0] == '/' && p[1] == '/') {
    return p;  // UNC and device names have no host counterpart here
  } else if (p[0] == '/') {
    base = backslashRoot ? CurrentDriveRoot() : "/";
    rest = p;
  } else {
    base = "/";
    p = CurrentDirectory() + "/" + p;
    rest = p;
  }
  return Resolve(base, detail::FoldedComponents(rest, '/'));
}

std::string WindowsPath(const std::filesystem::path& hostPath) {
  std::filesystem::path abs =
      hostPath.is_absolute() ? hostPath : std::filesystem::path(CurrentDirectory()) / hostPath;
  std::string s = abs.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  std::string root = PrefixString();
  if (!root.empty()) {
    root += "/drive_";
    if (s.size() > root.size() && s.compare(0, root.size(), root) == 0 &&
        std::isalpha(static_cast<unsigned char>(s[root.size()])) &&
        (s.size() == root.size() + 1 || s[root.size() + 1] == '/')) {
      std::string out;
      out += AsciiUpper(s[root.size()]);
      out += ":\\";
      std::string tail = s.size() > root.size() + 2 ? s.substr(root.size() + 2) : "";
      for (char& c : tail)
        if (c == '/') c = '\\';
      return out + tail;
    }
  }
  return s;
}

void ForgetResolvedPaths() {
  Cache().Clear();
}

namespace detail {

std::vector<std::string> FoldedComponents(std::string_view rest, char separator) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= rest.size()) {
    std::size_t j = rest.find(separator, i);
    if (j == std::string_view::npos) j = rest.size();
    std::string_view part = rest.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    i = j + 1;
  }
  return parts;
}

}  // namespace detail

}  // namespace winport
