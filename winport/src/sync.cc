// Events, mutexes and critical sections.
#include "winport/sync.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <unordered_set>

#include "sync_internal.h"
#include "winport/error.h"

namespace winport {
namespace detail {
namespace {

std::unordered_set<ObjectState*>& LocalMutexes() {
  static auto* set = new std::unordered_set<ObjectState*>;  // never destroyed
  return *set;
}

// A thread that has owned a mutex abandons what it still owns when it ends.
struct OwnershipGuard {
  bool armed = false;
  ~OwnershipGuard() {
    if (armed) AbandonMutexesOf(SelfTid());
  }
};
thread_local OwnershipGuard t_guard;

struct LocalObject : Waitable {
  ObjectState local{};
  LocalObject() { state = &local; }
  ~LocalObject() override {
    if (local.kind == kKindMutex) UnregisterLocalMutex(&local);
  }
};

std::atomic<std::int32_t> g_pid{0};
std::atomic<std::uint64_t> g_start{0};

std::shared_ptr<Waitable> LookupKind(HANDLE handle, ObjectKind kind) {
  auto object = LookupHandleAs<Waitable>(handle);
  if (!object || object->state->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

HANDLE CreateObject(ObjectKind kind, const char* name, bool create, bool manualReset,
                    bool initialState, bool initialOwner) {
  if (name && *name) {
    std::string normalized;
    DWORD error = ERROR_SUCCESS;
    bool existed = false;
    std::shared_ptr<Waitable> object;
    if (NormalizeName(name, &normalized, &error))
      object = CreateNamedObject(kind, normalized, create, manualReset, initialState, initialOwner,
                                 &existed, &error);
    if (!object) {
      SetLastError(error);
      return nullptr;
    }
    HANDLE handle = InsertHandle(std::move(object));
    SetLastError(existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  }
  if (!create) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<LocalObject>();
  object->local.kind = kind;
  object->local.manualReset = manualReset;
  object->local.signaled = initialState;
  if (kind == kKindMutex) {
    std::lock_guard lock(LocalLock());
    RegisterLocalMutex(&object->local);
    if (initialOwner) AcquireMutex(&object->local);
  }
  HANDLE handle = InsertHandle(std::move(object));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

}  // namespace

void AbandonMutex(ObjectState* s, bool shared) {
  s->ownerPid = 0;
  s->ownerTid = 0;
  s->ownerStart = 0;
  s->recursion = 0;
  s->abandoned = 1;
  WakeWaiters(s, shared);
}

std::mutex& LocalLock() {
  static auto* lock = new std::mutex;  // never destroyed: threads may end during exit
  return *lock;
}

StateLock::StateLock(const Waitable& object) {
  if (object.shared) {
    shared_ = std::make_unique<TableLock>();
  } else {
    local_ = std::unique_lock(LocalLock());
  }
}

bool EndObject::SignalEnd(DWORD code) {
  std::lock_guard lock(LocalLock());
  if (local.signaled) return false;
  exitCode.store(code);
  local.signaled = 1;
  WakeWaiters(&local, false);
  return true;
}

bool EndObject::Ended() const {
  std::lock_guard lock(LocalLock());
  return local.signaled != 0;
}

void WakeWaiters(ObjectState* state, bool shared) {
  state->word.fetch_add(1, std::memory_order_release);
  ::syscall(SYS_futex, &state->word, shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

std::int32_t SelfPid() {
  std::int32_t pid = ::getpid();
  if (pid != g_pid.load(std::memory_order_acquire)) {  // first use, or a forked child
    g_start.store(ProcessStartTime(pid), std::memory_order_relaxed);
    g_pid.store(pid, std::memory_order_release);
  }
  return pid;
}

std::uint64_t SelfStart() {
  SelfPid();
  return g_start.load(std::memory_order_relaxed);
}

std::uint32_t SelfTid() {
  thread_local std::uint32_t tid = static_cast<std::uint32_t>(::gettid());
  return tid;
}

bool OwnedBySelf(const ObjectState* s) {
  return s->ownerPid == SelfPid() && s->ownerTid == SelfTid() && s->ownerStart == SelfStart();
}

bool AcquireMutex(ObjectState* s) {
  if (s->ownerPid != 0 && OwnedBySelf(s)) {
    s->recursion++;
    return false;
  }
  s->ownerPid = SelfPid();
  s->ownerTid = SelfTid();
  s->ownerStart = SelfStart();
  s->recursion = 1;
  t_guard.armed = true;
  bool abandoned = s->abandoned != 0;
  s->abandoned = 0;
  return abandoned;
}

void RegisterLocalMutex(ObjectState* state) {
  LocalMutexes().insert(state);
}

void UnregisterLocalMutex(ObjectState* state) {
  std::lock_guard lock(LocalLock());
  LocalMutexes().erase(state);
}

void AbandonMutexesOf(std::uint32_t tid) {
  {
    std::lock_guard lock(LocalLock());
    for (ObjectState* s : LocalMutexes())
      if (s->ownerPid != 0 && s->ownerTid == tid) AbandonMutex(s, false);
  }
  AbandonNamedMutexesOf(tid);
}

}  // namespace detail

using namespace detail;

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, const char* name) {
  return CreateObject(kKindEvent, name, true, manualReset, initialState, false);
}

HANDLE OpenEventA(DWORD, BOOL, const char* name) {
  return CreateObject(kKindEvent, name, false, false, false, false);
}

namespace {

// Changes an event's state under its lock.
template <class Change>
BOOL ChangeEvent(HANDLE event, Change change) {
  auto object = LookupKind(event, kKindEvent);
  if (!object) return FALSE;
  StateLock lock(*object);
  if (!lock.ok()) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  change(*object);
  return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) {
  return ChangeEvent(event, [](auto& object) {
    object.state->signaled = 1;
    object.state->pulseTokens = 0;
    WakeWaiters(object.state, object.shared);
  });
}

BOOL ResetEvent(HANDLE event) {
  return ChangeEvent(event, [](auto& object) {
    object.state->signaled = 0;
    object.state->pulseTokens = 0;
  });
}

BOOL PulseEvent(HANDLE event) {
  return ChangeEvent(event, [](auto& object) {
    ObjectState* s = object.state;
    s->signaled = 0;
    s->pulseSeq++;
    s->pulseTokens = s->manualReset ? 0 : 1;
    WakeWaiters(s, object.shared);
  });
}

HANDLE CreateMutexA(SECURITY_ATTRIBUTES*, BOOL initialOwner, const char* name) {
  return CreateObject(kKindMutex, name, true, false, false,
                      initialOwner && !CurrentThreadTerminated());
}

HANDLE OpenMutexA(DWORD, BOOL, const char* name) {
  return CreateObject(kKindMutex, name, false, false, false, false);
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto object = LookupKind(mutex, kKindMutex);
  if (!object) return FALSE;
  StateLock lock(*object);
  if (!lock.ok()) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  ObjectState* s = object->state;
  if (s->ownerPid == 0 || !OwnedBySelf(s)) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--s->recursion == 0) {
    s->ownerPid = 0;
    s->ownerTid = 0;
    s->ownerStart = 0;
    WakeWaiters(s, object->shared);
  }
  return TRUE;
}

void InitializeCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION* section) {
  section->mutex.lock();
}
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
  return section->mutex.try_lock() ? TRUE : FALSE;
}
void LeaveCriticalSection(CRITICAL_SECTION* section) {
  section->mutex.unlock();
}
void DeleteCriticalSection(CRITICAL_SECTION*) {}

}  // namespace winport
