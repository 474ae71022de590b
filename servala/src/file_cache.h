// Whole files kept in memory between requests. An entry is used only while the file on disk
// still has the identity it had when read (device, inode, size, modification and change
// times), so an edited or replaced file is read afresh on its next request.
#pragma once

#include <winport/unique_fd.h>

#include <cstddef>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "servala/http.h"

namespace servala {

// What a cached file gives: its bytes after the first rewriting pass, and its content type.
struct CachedFile {
  std::string body;
  std::string type;
};

class FileCache {
 public:
  // Files larger than this are read for each request and never kept.
  static constexpr std::size_t kMaxEntryBytes = 256u << 10;
  // Bytes kept in all; the least recently used entries go first.
  static constexpr std::size_t kMaxTotalBytes = 2u << 20;

  // The entry for `path` while the file still has identity `id`, else nullptr.
  std::shared_ptr<const CachedFile> Find(const std::string& path, const FileIdentity& id);
  // Remembers `file` for `path` as read with identity `id`. Ignored when the file is too large,
  // or when it changed less than a second before `now`: file times move in coarse steps, so an
  // edit that quickly after the read could leave the identity as it was.
  void Store(const std::string& path, const FileIdentity& id,
             std::shared_ptr<const CachedFile> file, std::time_t now);
  void Clear();

  std::size_t TotalBytes() const { return total_; }
  std::size_t Count() const { return entries_.size(); }

 private:
  struct Entry {
    FileIdentity id;
    std::shared_ptr<const CachedFile> file;
    std::size_t bytes = 0;
    std::list<std::string>::iterator use;
  };
  void Drop(std::unordered_map<std::string, Entry>::iterator it);

  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> uses_;  // most recently used first
  std::size_t total_ = 0;
};

// Opens `path` for reading without ever waiting (a FIFO or device put there does not block), and
// only when it is a regular file at that moment; none otherwise. `st` is the open file's status.
winport::UniqueFd OpenRegularFile(const std::string& path, struct stat& st);
// Reads the whole open regular file `fd` (whose status is `st`) in as few calls as it takes,
// giving its identity as read.
bool ReadOpenFile(int fd, const struct stat& st, std::string& out, FileIdentity& id);
// Both in one: false for a missing file, a directory or anything else not a regular file.
bool ReadRegularFile(const std::string& path, std::string& out, FileIdentity& id);

}  // namespace servala
