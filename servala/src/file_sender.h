// The bodies of large files, sent from a thread of their own. A reader on this machine makes
// whoever sends to it do its receiving work as well: sent from the event loop, a large file
// keeps the loop's thread busy for whole scheduler slices, and every other connection waits.
// The sending thread waits for room on its own readiness set, gives every body it has a piece in
// turn, and says through a callback when a body is out or has failed; it never touches anything
// of the loop's.
#pragma once

#include <sys/types.h>
#include <winport/unique_fd.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace servala {

class FileSender {
 public:
  // One body on its way.
  struct Job;
  // Called on the sending thread once the body is out (0) or has failed (an errno value, EIO
  // for a file that ended early); never for a job that was cancelled.
  using Done = std::function<void(int error)>;

  // Starts the thread; std::system_error when it or its descriptors cannot be had.
  FileSender();
  // Stops the thread. Jobs not yet done are dropped, their descriptors closed, without Done.
  ~FileSender();
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  // Sends `head`, then `length` bytes of `file` from `offset`, on `socket` (a non-blocking
  // descriptor that becomes the sender's). Takes `file` only when it takes the job; nullptr
  // when it cannot (the caller keeps the file and sends the body itself).
  std::shared_ptr<Job> Start(winport::UniqueFd socket, std::string_view head,
                             winport::UniqueFd& file, off_t offset, off_t length, Done done);
  // Stops `job`. Once this returns nothing more is sent for it, its descriptors are closed and
  // its Done is not called. Waits at most for the piece being sent.
  void Cancel(Job& job);

  // When the job last got bytes out (the clock's Now()).
  static std::time_t ProgressAt(const Job& job);
  // True while the job waits for its reader to take more.
  static bool Waiting(const Job& job);

 private:
  enum class Step { More, Wait, Out, Failed, Over };
  void Run();
  Step SendPiece(Job& job, int& error);
  // Closes the job's descriptors and gives its Done; false when it was over already.
  bool End(Job& job, Done& done);
  void Finish(Job& job, int error);
  void Wake();

  winport::UniqueFd readiness_;  // epoll: the jobs' sockets, and wake_
  winport::UniqueFd wake_;       // eventfd: new jobs, or time to stop
  std::mutex mutex_;             // guards what follows
  std::unordered_map<std::uint64_t, std::shared_ptr<Job>> jobs_;
  std::deque<std::shared_ptr<Job>> started_;  // not yet seen by the thread
  std::uint64_t nextID_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace servala
