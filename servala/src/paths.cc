#include "paths.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <winport/clock.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <unordered_map>
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

// Folders whose case-blind listings are kept, and names in all of them.
constexpr std::size_t kMaxListedFolders = 64;
constexpr std::size_t kMaxListedNames = 256u << 10;
// Paths whose place within their fence is kept.
constexpr std::size_t kMaxFencedPaths = 4096;

struct FolderListing {
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{};
  timespec changed{};
  std::unordered_map<std::string, std::string> names;  // lower case -> as on disk, first kept
};

struct Fenced {
  FileIdentity id;
  std::string fence;
};

std::mutex g_cacheMutex;
std::unordered_map<std::string, FolderListing> g_listings;
std::size_t g_listedNames = 0;
std::size_t g_listingsTaken = 0;  // folders read whole, since the process started
std::unordered_map<std::string, Fenced> g_fenced;
std::unordered_map<std::string, std::string> g_realFences;

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return "";
  return buf;
}

// The folder one level above `root` (the one step up that include file names may take).
std::string FolderAbove(const std::string& root) {
  fs::path p = fs::path(root).lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  return p.parent_path().string();
}

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

std::size_t FolderListingsTakenForTesting() {
  std::lock_guard lock(g_cacheMutex);
  return g_listingsTaken;
}

void SetControlDirectoryForTesting(const std::string& dir) {
  std::lock_guard lock(g_dirMutex);
  g_controlDirOverride = dir;
}

bool WithinFence(const std::string& path, const FileIdentity& id, const std::string& fence) {
  {
    std::lock_guard lock(g_cacheMutex);
    auto it = g_fenced.find(path);
    if (it != g_fenced.end() && it->second.id == id && it->second.fence == fence) return true;
  }
  std::string realFence;
  {
    std::lock_guard lock(g_cacheMutex);
    if (auto it = g_realFences.find(fence); it != g_realFences.end()) realFence = it->second;
  }
  if (realFence.empty()) {
    realFence = RealPath(fence);
    if (realFence.empty()) return false;
    std::lock_guard lock(g_cacheMutex);
    if (g_realFences.size() >= 64) g_realFences.clear();
    g_realFences[fence] = realFence;
  }
  const std::string real = RealPath(path);
  if (real.empty()) return false;
  const bool inside =
      real == realFence || realFence == "/" ||
      (real.size() > realFence.size() && real.compare(0, realFence.size(), realFence) == 0 &&
       real[realFence.size()] == '/');
  if (!inside) return false;
  // The same path with the same identity is the same file: it need not be checked again (a file
  // moved or replaced has another identity, and a link changed leads to another file).
  std::lock_guard lock(g_cacheMutex);
  if (g_fenced.size() >= kMaxFencedPaths) g_fenced.clear();
  g_fenced[path] = Fenced{id, fence};
  return true;
}

std::string FindInFolder(const std::string& dir, const struct stat& st, std::string_view name) {
  const std::string key = ToLowerAscii(name);
  std::lock_guard lock(g_cacheMutex);
  auto it = g_listings.find(dir);
  if (it != g_listings.end()) {
    const FolderListing& l = it->second;
    if (l.device == st.st_dev && l.inode == st.st_ino && SameTime(l.modified, st.st_mtim) &&
        SameTime(l.changed, st.st_ctim)) {
      auto found = l.names.find(key);
      return found == l.names.end() ? "" : found->second;
    }
    g_listedNames -= l.names.size();
    g_listings.erase(it);
  }
  FolderListing listing;
  listing.device = st.st_dev;
  listing.inode = st.st_ino;
  listing.modified = st.st_mtim;
  listing.changed = st.st_ctim;
  std::error_code ec;
  ++g_listingsTaken;
  for (fs::directory_iterator d(dir, ec), end; !ec && d != end; d.increment(ec)) {
    std::string n = d->path().filename().string();
    listing.names.emplace(ToLowerAscii(n), std::move(n));
  }
  std::string result;
  if (auto found = listing.names.find(key); found != listing.names.end()) result = found->second;
  // Folder times move in coarse steps: a folder changed within the last second could change
  // again without its times showing it, so its listing is not kept yet.
  const std::time_t now = winport::Now();
  if (!ec && st.st_mtim.tv_sec < now - 1 && st.st_ctim.tv_sec < now - 1 &&
      listing.names.size() <= kMaxListedNames) {
    // Room is made by dropping the listings cheapest to take again, those with the fewest
    // names: misses asked for in many small folders then cannot push out a large one, whose
    // listing is what costs.
    while (!g_listings.empty() && (g_listings.size() >= kMaxListedFolders ||
                                   g_listedNames + listing.names.size() > kMaxListedNames)) {
      auto cheapest =
          std::min_element(g_listings.begin(), g_listings.end(), [](const auto& a, const auto& b) {
            return a.second.names.size() < b.second.names.size();
          });
      g_listedNames -= cheapest->second.names.size();
      g_listings.erase(cheapest);
    }
    g_listedNames += listing.names.size();
    g_listings.emplace(dir, std::move(listing));
  }
  return result;
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
                                         bool allowParent, const std::string& fence) {
  if (relative.size() > kMaxRelative) return std::nullopt;
  if (relative.find('\0') != std::string_view::npos) return std::nullopt;
  struct stat st {};
  auto found = [&](std::string path) -> std::optional<ResolvedPath> {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::nullopt;
    ResolvedPath r{std::move(path), S_ISDIR(st.st_mode), FileIdentity::Of(st)};
    const bool inside = !fence.empty() ? WithinFence(r.path, r.id, fence)
                        : !allowParent ? WithinFence(r.path, r.id, root)
                                       : WithinFence(r.path, r.id, FolderAbove(root));
    if (!inside) return std::nullopt;
    return r;
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
    const struct stat folder = st;
    if (::stat(next.c_str(), &st) != 0) {
      // No exact match: look for the name in another case.
      const std::string other = FindInFolder(cur.string(), folder, seg);
      if (other.empty()) return std::nullopt;
      next = cur / other;
      if (::stat(next.c_str(), &st) != 0) return std::nullopt;
    }
    cur = std::move(next);
    curExists = true;
  }
  if (!curExists) return std::nullopt;
  return found(cur.string());
}

}  // namespace servala
