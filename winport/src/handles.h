// The process's handle table. Every HANDLE winport gives out (events, mutexes, threads,
// processes, files, mailslots, find searches) names a KernelObject in this table.
// Handle values are never reused, so a closed handle is reliably reported invalid.
#pragma once

#include <memory>

#include "winport/types.h"

namespace winport::detail {

struct KernelObject {
  virtual ~KernelObject() = default;
  // ReadFile/WriteFile dispatch here; objects that are not byte streams refuse.
  virtual bool Read(void* buffer, DWORD size, DWORD* read);
  virtual bool Write(const void* buffer, DWORD size, DWORD* written);
};

// Adds an object; returns its new handle (never null, never INVALID_HANDLE_VALUE).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null when the handle is not open.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Removes a handle; the object lives on while anyone else holds it. False when not open.
bool RemoveHandle(HANDLE handle);

}  // namespace winport::detail
