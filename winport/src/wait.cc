// WaitForSingleObject and WaitForMultipleObjects over local and named objects alike.
//
// A wait checks the objects under their locks (the process's lock, then the shared table's),
// acquires them when the wait is satisfied, and otherwise notes every object's word and sleeps
// on all the words at once (futex_waitv) until one changes or the time runs out. A named mutex
// owned by another process is also re-checked now and then, so that the death of its owner
// is noticed even though nobody signals it.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "sync_internal.h"
#include "winport/error.h"
#include "winport/sync.h"

namespace winport {
namespace detail {
namespace {

// How often a waiter looks whether the process owning a named mutex has died.
constexpr std::int64_t kOwnerCheckNs = 50'000'000;

std::int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Sleeps until one of the words differs from its expected value, a wake-up, or `deadlineNs`
// (CLOCK_MONOTONIC; negative: none). True when the deadline passed.
bool SleepOnWords(std::vector<futex_waitv>& waiters, std::int64_t deadlineNs) {
  timespec ts{};
  timespec* timeout = nullptr;
  if (deadlineNs >= 0) {
    ts.tv_sec = deadlineNs / 1'000'000'000;
    ts.tv_nsec = deadlineNs % 1'000'000'000;
    timeout = &ts;
  }
  long rc = ::syscall(SYS_futex_waitv, waiters.data(), waiters.size(), 0, timeout, CLOCK_MONOTONIC);
  if (rc >= 0 || errno == EAGAIN || errno == EINTR) return false;
  if (errno == ETIMEDOUT) return true;
  // Not expected on the kernels we run on; poll rather than spin.
  timespec pause{0, 1'000'000};
  nanosleep(&pause, nullptr);
  return deadlineNs >= 0 && MonotonicNs() >= deadlineNs;
}

bool Ready(const ObjectState* s, std::uint32_t pulseSeen) {
  switch (s->kind) {
    case kKindEvent:
      return s->signaled || (s->pulseSeq != pulseSeen && (s->manualReset || s->pulseTokens));
    case kKindMutex:
      return s->ownerPid == 0 || OwnedBySelf(s);
    default:
      return s->signaled != 0;
  }
}

// Takes what the wait consumes; true when it is an abandoned mutex.
bool Acquire(ObjectState* s) {
  switch (s->kind) {
    case kKindEvent:
      if (!s->manualReset) {
        if (s->signaled) {
          s->signaled = 0;
        } else {
          s->pulseTokens = 0;
        }
      }
      return false;
    case kKindMutex:
      return AcquireMutex(s);
    default:
      return false;
  }
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return WAIT_FAILED;
}

}  // namespace

DWORD WaitForObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::shared_ptr<Waitable>> objects(count);
  bool anyLocal = false, anyShared = false;
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = LookupHandleAs<Waitable>(handles[i]);
    if (!objects[i]) return Fail(ERROR_INVALID_HANDLE);
    (objects[i]->shared ? anyShared : anyLocal) = true;
    if (waitAll)
      for (DWORD j = 0; j < i; ++j)
        if (objects[j]->state == objects[i]->state) return Fail(ERROR_INVALID_PARAMETER);
  }
  if (CurrentThreadTerminated()) return Fail(ERROR_ACCESS_DENIED);

  std::int64_t deadline =
      milliseconds == INFINITE ? -1 : MonotonicNs() + std::int64_t{milliseconds} * 1'000'000;
  std::vector<std::uint32_t> pulseSeen(count);
  std::vector<futex_waitv> waiters(count);
  ObjectState* self = CurrentThreadState();
  if (self) waiters.push_back({});  // TerminateThread wakes this thread's waits
  bool firstPass = true;
  bool checkOwners = true;
  for (;;) {
    std::optional<DWORD> result;
    bool foreignOwner = false;
    {
      std::unique_lock<std::mutex> local;
      if (anyLocal) local = std::unique_lock(LocalLock());
      std::optional<TableLock> table;
      if (anyShared) {
        table.emplace();
        if (!table->ok()) return Fail(ERROR_GEN_FAILURE);
      }
      if (CurrentThreadTerminated()) return Fail(ERROR_ACCESS_DENIED);
      if (firstPass)
        for (DWORD i = 0; i < count; ++i) pulseSeen[i] = objects[i]->state->pulseSeq;
      if (checkOwners)
        for (auto& o : objects)
          if (o->shared) ReapDeadOwner(o->state);

      if (waitAll) {
        bool all = true;
        for (DWORD i = 0; i < count && all; ++i) all = Ready(objects[i]->state, pulseSeen[i]);
        if (all) {
          std::optional<DWORD> abandoned;
          for (DWORD i = 0; i < count; ++i)
            if (Acquire(objects[i]->state) && !abandoned) abandoned = i;
          result = abandoned ? WAIT_ABANDONED_0 + *abandoned : WAIT_OBJECT_0;
        }
      } else {
        for (DWORD i = 0; i < count && !result; ++i) {
          if (Ready(objects[i]->state, pulseSeen[i]))
            result = (Acquire(objects[i]->state) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
        }
      }
      if (result) return *result;

      for (DWORD i = 0; i < count; ++i) {
        ObjectState* s = objects[i]->state;
        pulseSeen[i] = s->pulseSeq;
        waiters[i].val = s->word.load(std::memory_order_acquire);
        waiters[i].uaddr = reinterpret_cast<std::uintptr_t>(&s->word);
        waiters[i].flags = FUTEX_32 | (objects[i]->shared ? 0 : FUTEX_PRIVATE_FLAG);
        waiters[i].__reserved = 0;
        if (objects[i]->shared && s->kind == kKindMutex && s->ownerPid != 0 &&
            s->ownerPid != SelfPid())
          foreignOwner = true;
      }
      if (self) {
        waiters[count].val = self->word.load(std::memory_order_acquire);
        waiters[count].uaddr = reinterpret_cast<std::uintptr_t>(&self->word);
        waiters[count].flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
        waiters[count].__reserved = 0;
      }
    }
    firstPass = false;

    std::int64_t now = MonotonicNs();
    if (deadline >= 0 && now >= deadline) return WAIT_TIMEOUT;
    std::int64_t wakeAt = deadline;
    bool ownerCheck = false;
    if (foreignOwner && (wakeAt < 0 || wakeAt > now + kOwnerCheckNs)) {
      wakeAt = now + kOwnerCheckNs;
      ownerCheck = true;
    }
    bool timedOut = SleepOnWords(waiters, wakeAt);
    checkOwners = timedOut && ownerCheck;
  }
}

}  // namespace detail

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return detail::WaitForObjects(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return detail::WaitForObjects(count, handles, waitAll != FALSE, milliseconds);
}

}  // namespace winport
