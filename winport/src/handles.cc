#include "handles.h"

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "winport/error.h"

namespace winport::detail {
namespace {

struct Table {
  std::shared_mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  std::uintptr_t next = 0x1000;
};

Table& table() {
  static Table* t = new Table;  // never destroyed: handles may be closed during exit
  return *t;
}

}  // namespace

bool KernelObject::Read(void*, DWORD, DWORD* read) {
  if (read) *read = 0;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool KernelObject::Write(const void*, DWORD, DWORD* written) {
  if (written) *written = 0;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  Table& t = table();
  std::unique_lock guard(t.lock);
  std::uintptr_t id = t.next;
  t.next += 4;
  t.objects.emplace(id, std::move(object));
  return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  Table& t = table();
  std::shared_lock guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> doomed;  // destroyed outside the lock
  Table& t = table();
  std::unique_lock guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == t.objects.end()) return false;
  doomed = std::move(it->second);
  t.objects.erase(it);
  return true;
}

}  // namespace winport::detail
