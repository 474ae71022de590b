#include "file_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace servala {

FileIdentity FileIdentity::Of(const struct stat& st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.modified = st.st_mtim;
  id.changed = st.st_ctim;
  return id;
}

bool FileIdentity::operator==(const FileIdentity& o) const {
  return device == o.device && inode == o.inode && size == o.size &&
         modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
         changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
}

std::shared_ptr<const CachedFile> FileCache::Find(const std::string& path, const FileIdentity& id) {
  auto it = entries_.find(path);
  if (it == entries_.end()) return nullptr;
  if (!(it->second.id == id)) {
    Drop(it);
    return nullptr;
  }
  uses_.splice(uses_.begin(), uses_, it->second.use);
  return it->second.file;
}

void FileCache::Store(const std::string& path, const FileIdentity& id,
                      std::shared_ptr<const CachedFile> file, std::time_t now) {
  if (!file || id.size < 0) return;
  if (id.modified.tv_sec >= now - 1 || id.changed.tv_sec >= now - 1) return;
  const std::size_t bytes = file->body.size() + file->type.size() + path.size();
  if (bytes > kMaxEntryBytes) return;
  if (auto it = entries_.find(path); it != entries_.end()) Drop(it);
  while (total_ + bytes > kMaxTotalBytes && !uses_.empty()) Drop(entries_.find(uses_.back()));
  uses_.push_front(path);
  entries_.emplace(path, Entry{id, std::move(file), bytes, uses_.begin()});
  total_ += bytes;
}

void FileCache::Clear() {
  entries_.clear();
  uses_.clear();
  total_ = 0;
}

void FileCache::Drop(std::unordered_map<std::string, Entry>::iterator it) {
  total_ -= it->second.bytes;
  uses_.erase(it->second.use);
  entries_.erase(it);
}

winport::UniqueFd OpenRegularFile(const std::string& path, struct stat& st) {
  winport::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) fd.reset();
  return fd;
}

bool ReadRegularFile(const std::string& path, std::string& out, FileIdentity& id) {
  struct stat st {};
  winport::UniqueFd fd = OpenRegularFile(path, st);
  return fd && ReadOpenFile(fd.get(), st, out, id);
}

bool ReadOpenFile(int fd, const struct stat& st, std::string& out, FileIdentity& id) {
  id = FileIdentity::Of(st);
  // Asking for one byte more than the size tells whether the file grew: when exactly the size
  // comes back, the end is reached without a further call.
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  out.resize(size + 1);
  std::size_t got = 0;
  bool ok = true;
  for (;;) {
    if (got == out.size()) out.resize(out.size() * 2);  // it grew: read on to its end
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got == size && out.size() == size + 1) break;
  }
  out.resize(got);
  // A file that changed size while being read is not the file the identity describes.
  if (static_cast<off_t>(got) != st.st_size) id.size = -1;
  return ok;
}

}  // namespace servala
