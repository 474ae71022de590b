// A counter that other threads can wait on: the primary thread counts the messages, timer
// ticks and configuration reloads it has handled, so that a caller (a test, a benchmark, the
// control) can wait for it to catch up instead of guessing.
#pragma once

#include <atomic>

#include "core/Win.h"

class CProgress {
 public:
  CProgress();
  ~CProgress();
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  void Add();
  DWORD Count() const { return m_dwCount.load(); }
  // True when the count reached `target` within `milliseconds`. One waiter at a time.
  bool WaitFor(DWORD target, DWORD milliseconds);

 private:
  std::atomic<DWORD> m_dwCount;
  HANDLE m_hEvent;  // auto-reset, set after every Add
};
