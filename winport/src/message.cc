// Thread message queues and thread timers. A timer is a record in its thread's queue; WM_TIMER
// is made when the thread looks for a message and the timer is due, so a timer never runs
// anywhere but on its own thread and never has more than one WM_TIMER outstanding.
#include "winport/message.h"

#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include "message_internal.h"
#include "winport/clock.h"
#include "winport/error.h"
#include "winport/process.h"
#include "winport/thread.h"

namespace winport {
namespace detail {
namespace {

constexpr UINT kMinElapse = 10;  // as USER_TIMER_MINIMUM
constexpr UINT kMaxElapse = 0x7FFFFFFF;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));

struct QueueTable {
  std::mutex lock;
  std::unordered_map<DWORD, std::weak_ptr<MessageQueue>> queues;
};

QueueTable& queueTable() {
  static QueueTable* t = new QueueTable;  // outlives the threads' own clean-up at exit
  return *t;
}

// Unregisters the thread's queue when the thread ends.
struct QueueHolder {
  std::shared_ptr<MessageQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    DestroyWindowsOf(queue.get());
    QueueTable& t = queueTable();
    std::lock_guard guard(t.lock);
    auto it = t.queues.find(queue->threadId());
    if (it != t.queues.end() && it->second.lock() == queue) t.queues.erase(it);
  }
};

thread_local QueueHolder t_queue;

std::atomic<UINT_PTR> g_nextTimerId{1};

bool Passes(const MSG& m, HWND window, UINT filterMin, UINT filterMax) {
  if (window == kThreadMessagesOnly) {
    if (m.hwnd) return false;
  } else if (window && m.hwnd != window) {
    return false;
  }
  if (filterMin == 0 && filterMax == 0) return true;
  return m.message >= filterMin && m.message <= filterMax;
}

}  // namespace

DWORD CurrentThreadId() {
  return static_cast<DWORD>(::gettid());
}

std::shared_ptr<MessageQueue> CurrentQueue() {
  if (!t_queue.queue) {
    t_queue.queue = std::make_shared<MessageQueue>(CurrentThreadId());
    QueueTable& t = queueTable();
    std::lock_guard guard(t.lock);
    t.queues[t_queue.queue->threadId()] = t_queue.queue;
  }
  return t_queue.queue;
}

std::shared_ptr<MessageQueue> FindQueue(DWORD threadId) {
  QueueTable& t = queueTable();
  std::lock_guard guard(t.lock);
  auto it = t.queues.find(threadId);
  return it == t.queues.end() ? nullptr : it->second.lock();
}

bool MessageQueue::Post(const MSG& msg, const std::atomic<bool>* stop) {
  std::unique_lock guard(lock_);
  if (posted_.size() >= kMaxPosted) {
    if (!stop) return false;
    room_.wait(guard, [&] { return posted_.size() < kMaxPosted || stop->load(); });
    if (stop->load()) return false;
  }
  posted_.push_back(msg);
  guard.unlock();
  arrived_.notify_all();
  return true;
}

void MessageQueue::WakeWaiters() {
  { std::lock_guard guard(lock_); }
  room_.notify_all();
}

bool MessageQueue::TakeLocked(MSG* msg, HWND window, UINT filterMin, UINT filterMax, bool remove,
                              SteadyClock::time_point* nextDue) {
  for (auto it = posted_.begin(); it != posted_.end(); ++it) {
    if (!Passes(*it, window, filterMin, filterMax)) continue;
    *msg = *it;
    if (remove) {
      posted_.erase(it);
      room_.notify_one();
    }
    return true;
  }
  if (quit_) {
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quitCode_), 0, GetTickCount(), {0, 0}};
    if (remove) quit_ = false;
    return true;
  }
  // The timer that has been due longest goes first.
  auto now = SteadyClock::now();
  ThreadTimer* due = nullptr;
  for (ThreadTimer& t : timers_) {
    MSG probe{t.hwnd, WM_TIMER, t.id, 0, 0, {0, 0}};
    if (!Passes(probe, window, filterMin, filterMax)) continue;
    if (t.due <= now && (!due || t.due < due->due)) due = &t;
    if (nextDue && t.due < *nextDue) *nextDue = t.due;
  }
  if (!due) return false;
  *msg = MSG{due->hwnd,      WM_TIMER, due->id, reinterpret_cast<LPARAM>(due->proc),
             GetTickCount(), {0, 0}};
  if (remove) due->due = now + std::chrono::milliseconds(due->elapse);
  return true;
}

bool MessageQueue::Peek(MSG* msg, HWND window, UINT filterMin, UINT filterMax, bool remove) {
  std::lock_guard guard(lock_);
  return TakeLocked(msg, window, filterMin, filterMax, remove, nullptr);
}

void MessageQueue::Get(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  std::unique_lock guard(lock_);
  for (;;) {
    auto nextDue = SteadyClock::time_point::max();
    if (TakeLocked(msg, window, filterMin, filterMax, true, &nextDue)) return;
    if (nextDue == SteadyClock::time_point::max())
      arrived_.wait(guard);
    else
      arrived_.wait_until(guard, nextDue);
  }
}

void MessageQueue::Quit(int exitCode) {
  {
    std::lock_guard guard(lock_);
    quit_ = true;
    quitCode_ = exitCode;
  }
  arrived_.notify_all();
}

UINT_PTR MessageQueue::SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  elapse = std::clamp(elapse, kMinElapse, kMaxElapse);
  std::lock_guard guard(lock_);
  auto it = std::find_if(timers_.begin(), timers_.end(),
                         [&](const ThreadTimer& t) { return t.hwnd == window && t.id == id; });
  // Without a window an unknown id is not the caller's to choose: a new one is made.
  if (it == timers_.end() && !window) id = g_nextTimerId++;
  auto due = SteadyClock::now() + std::chrono::milliseconds(elapse);
  if (it != timers_.end())
    *it = ThreadTimer{window, id, elapse, proc, due};
  else
    timers_.push_back(ThreadTimer{window, id, elapse, proc, due});
  arrived_.notify_all();
  return window && id == 0 ? 1 : id;
}

bool MessageQueue::KillTimer(HWND window, UINT_PTR id) {
  std::lock_guard guard(lock_);
  auto it = std::find_if(timers_.begin(), timers_.end(),
                         [&](const ThreadTimer& t) { return t.hwnd == window && t.id == id; });
  if (it == timers_.end()) return false;
  timers_.erase(it);
  return true;
}

bool MessageQueue::IsTimerProc(HWND window, UINT_PTR id, TIMERPROC proc) {
  std::lock_guard guard(lock_);
  return std::any_of(timers_.begin(), timers_.end(), [&](const ThreadTimer& t) {
    return t.hwnd == window && t.id == id && t.proc == proc;
  });
}

void MessageQueue::ForgetWindow(HWND window) {
  {
    std::lock_guard guard(lock_);
    std::erase_if(timers_, [&](const ThreadTimer& t) { return t.hwnd == window; });
    std::erase_if(posted_, [&](const MSG& m) { return m.hwnd == window; });
  }
  room_.notify_all();
}

}  // namespace detail

UINT_PTR SetTimer(HWND window, UINT_PTR idEvent, UINT elapse, TIMERPROC proc) {
  std::shared_ptr<detail::MessageQueue> queue;
  if (window) {
    // A window's timers run on the window's own thread.
    DWORD owner = 0;
    if (!detail::LocalWindowInfo(window, nullptr, &owner) || owner != detail::CurrentThreadId()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  queue = detail::CurrentQueue();
  return queue->SetTimer(window, idEvent, elapse, proc);
}

BOOL KillTimer(HWND window, UINT_PTR idEvent) {
  if (detail::CurrentQueue()->KillTimer(window, idEvent)) return TRUE;
  if (!window) {
    // Thread timer ids are unique in the process, so a timer can be stopped from another of
    // its threads too (a shutdown runs on the host's thread, the timer on the worker's).
    std::vector<std::shared_ptr<detail::MessageQueue>> queues;
    {
      detail::QueueTable& t = detail::queueTable();
      std::lock_guard guard(t.lock);
      for (auto& [id, weak] : t.queues)
        if (auto q = weak.lock()) queues.push_back(std::move(q));
    }
    for (auto& q : queues)
      if (q->KillTimer(nullptr, idEvent)) return TRUE;
  } else {
    DWORD owner = 0;
    if (detail::LocalWindowInfo(window, nullptr, &owner))
      if (auto q = detail::FindQueue(owner); q && q->KillTimer(window, idEvent)) return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return detail::CurrentQueue()->Peek(msg, window, filterMin, filterMax,
                                      (removeMsg & PM_REMOVE) != 0)
             ? TRUE
             : FALSE;
}

BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (window && window != detail::kThreadMessagesOnly &&
      !detail::LocalWindowInfo(window, nullptr, nullptr)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  ReportInputIdle();  // a program waiting for its messages is ready for input
  detail::CurrentQueue()->Get(msg, window, filterMin, filterMax);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL TranslateMessage(const MSG*) {
  return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    // lParam is only trusted as a procedure when it is the one this thread's timer was set
    // with: anyone may post a WM_TIMER, and calling an arbitrary value would be fatal.
    auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
    if (detail::CurrentQueue()->IsTimerProc(msg->hwnd, msg->wParam, proc))
      proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
    return 0;
  }
  WNDPROC proc = nullptr;
  DWORD owner = 0;
  if (msg->hwnd && detail::LocalWindowInfo(msg->hwnd, &proc, &owner) && proc &&
      owner == detail::CurrentThreadId())
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
  return 0;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  // As on Windows, calling a message function gives the calling thread its queue.
  auto queue =
      threadId == detail::CurrentThreadId() ? detail::CurrentQueue() : detail::FindQueue(threadId);
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  if (!queue->Post(MSG{nullptr, message, wParam, lParam, GetTickCount(), {0, 0}})) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  detail::CurrentQueue()->Quit(exitCode);
}

}  // namespace winport
