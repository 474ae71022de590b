#include "paths.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <mutex>
#include <vector>

#include "strutil.h"

#if __has_include(<winport/path.h>)
#include <winport/path.h>
#define SERVALA_HAVE_HOSTPATH 1
#endif

namespace servala {

namespace fs = std::filesystem;

namespace {

std::mutex g_dirMutex;
std::string g_controlDirOverride;

constexpr std::size_t kMaxSegment = 255;
constexpr std::size_t kMaxRelative = 4096;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

fs::path ToHostPath(const std::string& path) {
#ifdef SERVALA_HAVE_HOSTPATH
  return fs::path(winport::HostPath(path));
#else
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  return fs::path(p);
#endif
}

std::string ControlDirectory() {
  {
    std::lock_guard lock(g_dirMutex);
    if (!g_controlDirOverride.empty()) return g_controlDirOverride;
  }
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ControlDirectory), &info) != 0 && info.dli_fname) {
    std::error_code ec;
    fs::path lib = fs::weakly_canonical(fs::path(info.dli_fname), ec);
    if (ec) lib = fs::path(info.dli_fname);
    return lib.parent_path().string();
  }
  return fs::current_path().string();
}

void SetControlDirectoryForTesting(const std::string& dir) {
  std::lock_guard lock(g_dirMutex);
  g_controlDirOverride = dir;
}

bool PercentDecode(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '%' && i + 2 < in.size()) {
      int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
      if (hi >= 0 && lo >= 0) {
        c = static_cast<char>(hi * 16 + lo);
        i += 2;
      }
    }
    if (c == '\0') return false;
    out += c;
  }
  return true;
}

std::optional<ResolvedPath> ResolveUnder(const std::string& root, std::string_view relative,
                                         bool allowParent) {
  if (relative.size() > kMaxRelative) return std::nullopt;
  if (relative.find('\0') != std::string_view::npos) return std::nullopt;
  struct stat st {};
  auto found = [&](std::string path) -> std::optional<ResolvedPath> {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::nullopt;
    return ResolvedPath{std::move(path), S_ISDIR(st.st_mode), FileIdentity::Of(st)};
  };
  // Fast path: the name exactly as written, when it has no step upwards.
  bool plain = true;
  for (std::size_t p = 0; p <= relative.size();) {
    std::size_t e = relative.find_first_of("/\\", p);
    if (e == std::string_view::npos) e = relative.size();
    const std::string_view seg = relative.substr(p, e - p);
    if (seg == ".." || seg.size() > kMaxSegment) plain = false;
    p = e + 1;
  }
  if (plain) {
    std::size_t lead = 0;
    while (lead < relative.size() && (relative[lead] == '/' || relative[lead] == '\\')) ++lead;
    std::string direct = root;
    if (lead < relative.size()) {
      if (!direct.empty() && direct.back() != '/') direct += '/';
      const std::size_t at = direct.size();
      direct.append(relative.substr(lead));
      for (std::size_t i = at; i < direct.size(); ++i)
        if (direct[i] == '\\') direct[i] = '/';
    }
    if (::stat(direct.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
      return found(std::move(direct));
  }
  fs::path cur = root;
  if (::stat(cur.c_str(), &st) != 0) return std::nullopt;
  bool curExists = true;
  std::size_t pos = 0;
  std::error_code ec;
  while (pos <= relative.size()) {
    std::size_t end = relative.find_first_of("/\\", pos);
    if (end == std::string_view::npos) end = relative.size();
    std::string_view seg = relative.substr(pos, end - pos);
    pos = end + 1;
    if (seg.empty() || seg == ".") continue;
    if (seg.size() > kMaxSegment) return std::nullopt;
    if (seg == "..") {
      if (!allowParent) return std::nullopt;
      cur = cur.parent_path();
      curExists = ::stat(cur.c_str(), &st) == 0;
      continue;
    }
    if (!curExists || !S_ISDIR(st.st_mode)) return std::nullopt;
    fs::path next = cur / std::string(seg);
    if (::stat(next.c_str(), &st) != 0) {
      // No exact match: look for the name in another case.
      bool matched = false;
      for (fs::directory_iterator it(cur, ec), endIt; !ec && it != endIt; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (EqualsNoCase(name, seg)) {
          next = it->path();
          matched = ::stat(next.c_str(), &st) == 0;
          break;
        }
      }
      if (!matched) return std::nullopt;
    }
    cur = std::move(next);
    curExists = true;
  }
  if (!curExists) return std::nullopt;
  return found(cur.string());
}

}  // namespace servala
