// Threads with waitable handles, on pthreads.
#include "winport/thread.h"

#include <pthread.h>

#include <atomic>
#include <climits>
#include <memory>

#include "sync_internal.h"
#include "winport/error.h"

namespace winport {
namespace detail {
namespace {

struct ThreadObject : EndObject {
  LPTHREAD_START_ROUTINE start = nullptr;
  unsigned (*crtStart)(void*) = nullptr;
  void* parameter = nullptr;
  std::atomic<std::uint32_t> tid{0};
  std::atomic<std::uint32_t> resumed{0};
  std::atomic<bool> terminated{false};
  // Set by ExitThread before the thread unwinds.
  bool exitRequested = false;
  DWORD requestedCode = 0;
};

thread_local ThreadObject* t_current = nullptr;

// Runs when the thread's routine returns, and also while ExitThread unwinds it.
struct EndOfThread {
  ThreadObject* thread;
  DWORD code = 0;
  ~EndOfThread() {
    if (thread->exitRequested) code = thread->requestedCode;
    if (thread->terminated.load()) return;  // already ended in the eyes of everyone else
    AbandonMutexesOf(SelfTid());
    thread->SignalEnd(code);
  }
};

void* Trampoline(void* arg) {
  std::shared_ptr<ThreadObject> self = std::move(*static_cast<std::shared_ptr<ThreadObject>*>(arg));
  delete static_cast<std::shared_ptr<ThreadObject>*>(arg);
  t_current = self.get();
  self->tid.store(SelfTid());
  self->tid.notify_all();
  self->resumed.wait(0);
  if (self->terminated.load()) return nullptr;  // terminated before it ever ran
  EndOfThread end{self.get()};
  end.code = self->start ? self->start(self->parameter) : self->crtStart(self->parameter);
  return nullptr;
}

std::shared_ptr<ThreadObject> Start(std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                                    unsigned (*crtStart)(void*), void* parameter, bool suspended,
                                    HANDLE* handle, DWORD* threadId) {
  if (!start && !crtStart) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<ThreadObject>();
  thread->start = start;
  thread->crtStart = crtStart;
  thread->parameter = parameter;
  thread->resumed.store(suspended ? 0 : 1);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // The size given is what the thread needs at least; the default is never cut down.
  std::size_t defaultSize = 0;
  pthread_attr_getstacksize(&attr, &defaultSize);
  if (stackSize > defaultSize)
    pthread_attr_setstacksize(&attr, (stackSize + 0xFFFF) & ~std::size_t{0xFFFF});
  auto* arg = new std::shared_ptr<ThreadObject>(thread);
  pthread_t id;
  int rc = pthread_create(&id, &attr, Trampoline, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    SetLastError(ErrorFromErrno(rc));
    return nullptr;
  }
  // The id is the new thread's own; it reports it before anything else.
  thread->tid.wait(0);
  *handle = InsertHandle(thread);
  if (threadId) *threadId = thread->tid.load();
  return thread;
}

}  // namespace

bool CurrentThreadTerminated() {
  return t_current && t_current->terminated.load();
}

ObjectState* CurrentThreadState() {
  return t_current ? &t_current->local : nullptr;
}

}  // namespace detail

using namespace detail;

HANDLE CreateThread(SECURITY_ATTRIBUTES*, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD creationFlags, DWORD* threadId) {
  HANDLE handle = nullptr;
  Start(stackSize, start, nullptr, parameter, creationFlags & CREATE_SUSPENDED, &handle, threadId);
  return handle;
}

std::uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned (*start)(void*), void* argList,
                              unsigned initFlag, unsigned* threadId) {
  HANDLE handle = nullptr;
  DWORD id = 0;
  Start(stackSize, nullptr, start, argList, initFlag & CREATE_SUSPENDED, &handle, &id);
  if (threadId) *threadId = id;
  return reinterpret_cast<std::uintptr_t>(handle);
}

DWORD ResumeThread(HANDLE handle) {
  auto thread = LookupHandleAs<ThreadObject>(handle);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  if (thread->resumed.exchange(1) != 0) return 0;
  thread->resumed.notify_all();
  return 1;
}

DWORD GetCurrentThreadId() {
  return SelfTid();
}

HANDLE GetCurrentThread() {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (handle == GetCurrentThread()) {
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto object = LookupHandleAs<EndObject>(handle);  // a process's main thread too
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = object->Ended() ? object->exitCode.load() : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
  std::shared_ptr<ThreadObject> thread;
  if (handle == GetCurrentThread()) {
    if (!t_current) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    ExitThread(exitCode);
  }
  thread = LookupHandleAs<ThreadObject>(handle);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (thread.get() == t_current) ExitThread(exitCode);
  {
    std::lock_guard lock(LocalLock());
    if (thread->local.signaled) return TRUE;  // it has ended already
    thread->terminated.store(true);
  }
  // From here on the thread owns nothing and can acquire nothing: its waits fail at once.
  AbandonMutexesOf(thread->tid.load());
  thread->SignalEnd(exitCode);
  if (thread->resumed.exchange(1) == 0) thread->resumed.notify_all();  // let a suspended one go
  return TRUE;
}

void ExitThread(DWORD exitCode) {
  if (t_current) {
    t_current->exitRequested = true;
    t_current->requestedCode = exitCode;
  }
  pthread_exit(nullptr);
}

}  // namespace winport
