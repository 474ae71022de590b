// Waitable objects shared by events, mutexes, threads and processes, and the table of named
// objects that every process of a prefix maps from <prefix>/run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "handles.h"
#include "winport/types.h"

namespace winport::detail {

// Threads and processes are signalled once, when they end, and never reset.
enum ObjectKind : std::uint32_t { kKindNone = 0, kKindEvent = 1, kKindMutex = 2, kKindEnd = 3 };

// The state of one waitable object. It lives in the process's own memory (unnamed objects,
// threads, processes) or in the shared table (named objects); the plain fields are guarded by
// the lock of the place it lives in. Waiters sleep on `word`, which is bumped on every change
// that may satisfy a wait, so a waiter that read it under the lock never misses a wake-up.
struct ObjectState {
  std::atomic<std::uint32_t> word;
  std::uint32_t kind;
  std::uint32_t manualReset;
  std::uint32_t signaled;
  // PulseEvent releases the waiters that were waiting when it happened: those that saw an
  // older `pulseSeq`. An auto-reset pulse releases one of them (`pulseTokens`).
  std::uint32_t pulseSeq;
  std::uint32_t pulseTokens;
  // Mutexes: the owning thread (ownerPid 0: not owned) and its process's start time, so that a
  // reused process id is not taken for the owner.
  std::int32_t ownerPid;
  std::uint32_t ownerTid;
  std::uint64_t ownerStart;
  std::uint32_t recursion;
  std::uint32_t abandoned;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// Every handle WaitForSingleObject/WaitForMultipleObjects accept.
struct Waitable : KernelObject {
  ObjectState* state = nullptr;
  bool shared = false;  // state lives in the shared table
};

// A thread or process: signalled once, when it ends, with its exit code.
struct EndObject : Waitable {
  ObjectState local{};
  std::atomic<DWORD> exitCode{259};  // STILL_ACTIVE
  EndObject() {
    local.kind = kKindEnd;
    local.manualReset = 1;
    state = &local;
  }
  // Records the end (the first call wins) and wakes the waiters. True for the first call.
  bool SignalEnd(DWORD code);
  bool Ended() const;
};

// Guards the state of process-local objects.
std::mutex& LocalLock();

// Holds the shared table's lock (a robust process-shared mutex; a holder that died is
// recovered from). ok() is false when the table cannot be used.
class TableLock {
 public:
  TableLock();
  ~TableLock();
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
  bool ok() const { return locked_; }

 private:
  bool locked_ = false;
};

// Holds the lock of one object's state.
class StateLock {
 public:
  explicit StateLock(const Waitable& object);
  bool ok() const { return shared_ ? shared_->ok() : true; }

 private:
  std::unique_ptr<TableLock> shared_;
  std::unique_lock<std::mutex> local_;
};

// Bumps the state's word and wakes everyone sleeping on it. Call with its lock held.
void WakeWaiters(ObjectState* state, bool shared);

// The calling process and thread as owners are recorded.
std::int32_t SelfPid();
std::uint64_t SelfStart();
std::uint32_t SelfTid();
// Start time (clock ticks after boot) of a live process, 0 when it is gone or a zombie.
std::uint64_t ProcessStartTime(std::int32_t pid);
bool ProcessAlive(std::int32_t pid, std::uint64_t start);

// Mutex ownership by the calling thread. Acquire returns true when the mutex was abandoned.
bool OwnedBySelf(const ObjectState* state);
bool AcquireMutex(ObjectState* state);
// Leaves a mutex without owner, marked abandoned, and wakes its waiters (`shared`: a named
// one). Call with its lock held.
void AbandonMutex(ObjectState* state, bool shared);
// Abandons a named mutex whose owner has died. Call with the table lock held.
void ReapDeadOwner(ObjectState* state);
// Abandons every mutex (local and named) owned by thread `tid` of this process.
void AbandonMutexesOf(std::uint32_t tid);
void AbandonNamedMutexesOf(std::uint32_t tid);

// Local mutex states, so that a thread that ends abandons the ones it owns.
void RegisterLocalMutex(ObjectState* state);
void UnregisterLocalMutex(ObjectState* state);

// Checks and normalises an object name: strips "Global\" or "Local\"; fails with
// ERROR_INVALID_NAME for other backslashes or a name longer than MAX_PATH.
bool NormalizeName(const char* name, std::string* normalized, DWORD* error);

// Creates or opens a named object in the shared table. On success `existed` says whether it
// was there already. Errors: ERROR_FILE_NOT_FOUND (open of a missing name),
// ERROR_INVALID_HANDLE (the name belongs to an object of another kind), ERROR_NOT_ENOUGH_MEMORY
// (table full), ERROR_GEN_FAILURE (no table).
std::shared_ptr<Waitable> CreateNamedObject(ObjectKind kind, const std::string& name, bool create,
                                            bool manualReset, bool initialState, bool initialOwner,
                                            bool* existed, DWORD* error);

// Winport threads: true when the calling thread has been terminated (its waits then fail), and
// the word that TerminateThread bumps (null for threads winport did not start).
bool CurrentThreadTerminated();
ObjectState* CurrentThreadState();

}  // namespace winport::detail
