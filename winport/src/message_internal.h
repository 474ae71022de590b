// Per-thread message queues, shared by the message loop functions and the message windows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "winport/message.h"

namespace winport::detail {

using SteadyClock = std::chrono::steady_clock;

struct ThreadTimer {
  HWND hwnd;
  UINT_PTR id;
  UINT elapse;
  TIMERPROC proc;
  SteadyClock::time_point due;
};

class MessageQueue {
 public:
  // As many posted messages as a Windows queue takes; beyond that a post fails.
  static constexpr std::size_t kMaxPosted = 10000;

  explicit MessageQueue(DWORD threadId) : threadId_(threadId) {}
  DWORD threadId() const { return threadId_; }

  // Appends a posted message. Without `stop` a full queue fails at once; with it the caller
  // waits for room until *stop is set (then fails).
  bool Post(const MSG& msg, const std::atomic<bool>* stop = nullptr);
  // Wakes a Post that waits with `stop` so that it sees the flag.
  void WakeWaiters();

  // The next message that passes the filter; WM_TIMER is made from a due timer. With
  // `remove`, the message is taken (and the timer's next period starts).
  bool Peek(MSG* msg, HWND window, UINT filterMin, UINT filterMax, bool remove);
  // Like Peek with remove, waiting until there is one.
  void Get(MSG* msg, HWND window, UINT filterMin, UINT filterMax);

  void Quit(int exitCode);

  UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc);
  bool KillTimer(HWND window, UINT_PTR id);
  // True when (window, id) is a live timer of this queue with that procedure.
  bool IsTimerProc(HWND window, UINT_PTR id, TIMERPROC proc);

  // Drops the timers and waiting messages of a window that is going away.
  void ForgetWindow(HWND window);

 private:
  bool TakeLocked(MSG* msg, HWND window, UINT filterMin, UINT filterMax, bool remove,
                  SteadyClock::time_point* nextDue);

  const DWORD threadId_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::condition_variable room_;
  std::deque<MSG> posted_;
  std::vector<ThreadTimer> timers_;
  bool quit_ = false;
  int quitCode_ = 0;
};

// The calling thread's queue, made on first use.
std::shared_ptr<MessageQueue> CurrentQueue();
// The queue of a thread of this process, or null when it has none (or is gone).
std::shared_ptr<MessageQueue> FindQueue(DWORD threadId);
DWORD CurrentThreadId();

// Window side, for the message functions.
// The procedure of a window of this process (null when none or no such window), and the
// thread that owns it.
bool LocalWindowInfo(HWND window, WNDPROC* proc, DWORD* threadId);
// A thread's windows go with it, as on Windows (called when the thread ends).
void DestroyWindowsOf(const MessageQueue* queue);

}  // namespace winport::detail
