#include "path_watch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>

#include "strutil.h"

namespace servala {

namespace {

// What changes a route: names made, removed or moved in a folder, its own removal, move or
// permissions. The served file: its contents and status. Opening and reading are not reported,
// so serving a file never counts as a change of it.
constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB;
constexpr std::uint32_t kFileEvents =
    IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// Links followed on one route at most, as the system allows.
constexpr int kMaxLinks = 40;

// File systems whose files other machines change too; those changes are never reported here.
bool SharedOverNetwork(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:      // NFS
    case 0x517BUL:      // SMB
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
    case 0x65735546UL:  // FUSE
    case 0x00C36400UL:  // Ceph
    case 0x01021997UL:  // 9P
    case 0x5346414FUL:  // AFS
    case 0x47504653UL:  // GPFS
    case 0x0BD00BD0UL:  // Lustre
      return true;
    default:
      return false;
  }
}

// The names of `path` in order, without empty ones and ".".
void AppendNames(std::string_view path, std::deque<std::string>& out, bool front) {
  std::deque<std::string> names;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(pos, end - pos);
    if (!name.empty() && name != ".") names.emplace_back(name);
    pos = end + 1;
  }
  if (front)
    out.insert(out.begin(), names.begin(), names.end());
  else
    out.insert(out.end(), names.begin(), names.end());
}

bool HasStepUp(std::string_view relative) {
  std::size_t pos = 0;
  while (pos <= relative.size()) {
    std::size_t end = relative.find_first_of("/\\", pos);
    if (end == std::string_view::npos) end = relative.size();
    if (relative.substr(pos, end - pos) == "..") return true;
    pos = end + 1;
  }
  return false;
}

}  // namespace

PathWatch::PathWatch() : queue_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

void PathWatch::Clear() {
  kept_.clear();
}

void PathWatch::Restart() {
  kept_.clear();
  names_.clear();
  queue_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
}

bool PathWatch::Concerns(const inotify_event& event) {
  if (event.mask & IN_Q_OVERFLOW) return true;
  if (event.mask & IN_IGNORED) {
    // The watched folder or file is gone (or its file system): so is the watch.
    names_.erase(event.wd);
    return true;
  }
  // About the watched folder or file itself.
  if (event.len == 0 || event.name[0] == '\0') return true;
  auto it = names_.find(event.wd);
  return it == names_.end() || it->second.count(ToLowerAscii(event.name)) > 0;
}

void PathWatch::Refresh() {
  if (!queue_) return;
  alignas(inotify_event) char buffer[16384];
  bool changed = false;
  for (;;) {
    const ssize_t n = ::read(queue_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      // The queue cannot be read: nothing kept can be trusted, and nothing is kept from now on
      // unless a fresh queue can be had.
      Restart();
      return;
    }
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      changed = Concerns(*event) || changed;
      at += sizeof(inotify_event) + event->len;
    }
  }
  if (changed) kept_.clear();
}

int PathWatch::Watch(int fd, bool folder) {
  if (SharedOverNetwork(fd)) return -1;
  // Through the open descriptor, so that the watch is on the very folder or file looked at.
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const int wd =
      ::inotify_add_watch(queue_.get(), path, (folder ? kFolderEvents : kFileEvents) | IN_MASK_ADD);
  if (wd >= 0) names_.try_emplace(wd);
  return wd;
}

bool PathWatch::WatchRoute(const std::string& path, FileIdentity& id) {
  if (path.empty() || path[0] != '/') return false;
  std::deque<std::string> todo;
  AppendNames(path, todo, false);
  // Each folder is watched before a name is looked up in it, so a change made after that
  // look-up is reported.
  winport::UniqueFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return false;
  int wd = Watch(dir.get(), true);
  int links = 0;
  struct stat st {};
  while (wd >= 0 && !todo.empty()) {
    const std::string name = std::move(todo.front());
    todo.pop_front();
    if (name == "..") {
      winport::UniqueFd up(::openat(dir.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!up) return false;
      dir = std::move(up);
      wd = Watch(dir.get(), true);
      continue;
    }
    names_[wd].insert(ToLowerAscii(name));
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return false;
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(dir.get(), name.c_str(), target, sizeof target);
      if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return false;
      const std::string_view to(target, static_cast<std::size_t>(n));
      AppendNames(to, todo, true);
      if (to[0] == '/') {
        dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir) return false;
        wd = Watch(dir.get(), true);
      }
      continue;
    }
    const bool folder = S_ISDIR(st.st_mode);
    if (!todo.empty() && !folder) return false;
    winport::UniqueFd next(::openat(dir.get(), name.c_str(),
                                    O_PATH | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0)));
    if (!next) return false;
    wd = Watch(next.get(), folder);
    dir = std::move(next);
  }
  if (wd < 0 || ::fstat(dir.get(), &st) != 0) return false;
  id = FileIdentity::Of(st);
  return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

std::optional<ResolvedPath> PathWatch::Resolve(const std::string& root, std::string_view relative,
                                               bool allowParent, const std::string& fence) {
  if (!queue_ || HasStepUp(relative)) return ResolveUnder(root, relative, allowParent, fence);
  std::string& key = key_;  // its storage is kept from one look-up to the next
  key.clear();
  key += root;
  key += '\0';
  key += fence;
  key += allowParent ? '\1' : '\0';
  key += relative;
  if (auto it = kept_.find(key); it != kept_.end()) return it->second;

  auto found = ResolveUnder(root, relative, allowParent, fence);
  if (!found) return found;
  if (names_.size() >= kMaxWatches || kept_.size() >= kMaxKept) Restart();
  FileIdentity id;
  if (!queue_ || !WatchRoute(found->path, id)) return found;
  // Looked up again now that the route is watched: what this finds holds until a change to the
  // route is reported. Kept only when it went the route that is watched.
  auto again = ResolveUnder(root, relative, allowParent, fence);
  if (again && again->path == found->path && again->id == id) kept_.emplace(key, *again);
  return again;
}

}  // namespace servala
