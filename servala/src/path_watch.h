// Request paths and include names looked up once and kept while nothing they depend on changes,
// so that a request for a known file costs no look-up on disk.
//
// A kept answer depends on every folder its file was found through, from "/" down with each link
// followed as the system follows it, and on the file itself. All of them are watched for changes
// (inotify) before the answer is kept; a change reported for a name an answer went through, for
// a watched folder itself or for a watched file (an edit made through any of its links, too)
// drops every kept answer. Refresh() takes the reports: called once a request has arrived whole
// and before its paths are looked up, it makes every change finished before that moment count
// for that request, as the system queues a report before the changing call returns. A full
// report queue drops every kept answer, since the reports it lost are unknown. The queue is read
// per request rather than watched in the loop's readiness set: a connection is offered once its
// first data is there, several are taken in one turn, and a request may come in pieces, so a
// request can be whole after the loop last looked at its readiness set; only a look at the queue
// after the request has been read covers every change made before it was sent.
//
// Routes through a network file system are never kept, as changes made by other machines are not
// reported. Not seen, so a kept answer may outlive them until the next reported change: a file
// system mounted over a folder of a route (only unmounting a watched file system is reported), and
// writes through a shared writable mapping of a served file (they report nothing, and they may
// leave the size and times a look-up on disk would compare unchanged too). Names with a step
// upwards (include file names may take one) are looked up every time, as their answer also
// depends on folders their route left.
#pragma once

#include <sys/inotify.h>
#include <winport/unique_fd.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "paths.h"

namespace servala {

class PathWatch {
 public:
  // Folders and files watched at most; beyond it all watches and kept answers start afresh.
  static constexpr std::size_t kMaxWatches = 4096;
  static constexpr std::size_t kMaxKept = 16384;

  PathWatch();
  PathWatch(const PathWatch&) = delete;
  PathWatch& operator=(const PathWatch&) = delete;

  // Takes the change reports queued so far; when nothing has changed that is one read of the
  // report queue.
  void Refresh();
  // ResolveUnder (same arguments, same answer), from what is kept while it still holds.
  std::optional<ResolvedPath> Resolve(const std::string& root, std::string_view relative,
                                      bool allowParent, const std::string& fence = "");
  void Clear();

  // False where the system offers no change reports (everything is then looked up each time).
  bool Watching() const { return queue_.valid(); }
  std::size_t Kept() const { return kept_.size(); }

 private:
  // Watches every folder on the route to `path` and the file at its end, and gives that file's
  // identity as it is once watched. False when any of it cannot be watched.
  bool WatchRoute(const std::string& path, FileIdentity& id);
  // The watch on the open folder or file `fd`; -1 when it cannot be had.
  int Watch(int fd, bool folder);
  // Whether the report at `event` (an inotify_event) concerns a kept answer.
  bool Concerns(const inotify_event& event);
  void Restart();

  winport::UniqueFd queue_;
  // Per watch, the names (in lower case, as look-ups ignore case) that kept answers went
  // through in that folder.
  std::unordered_map<int, std::unordered_set<std::string>> names_;
  std::unordered_map<std::string, ResolvedPath> kept_;
  std::string key_;
};

}  // namespace servala
