// The module's one container: a thread-safe, growable array of item pointers with a built-in
// iterator. The bag never frees its items; whoever puts them in takes them out with Get (inside
// BeginIteration/EndIteration) and frees them. CFileTx keeps report file paths oldest first.
#pragma once

#include <winport/file.h>
#include <winport/sync.h>

#include <string>
#include <utility>
#include <vector>

#include "core/Win.h"

class ProxyBag {
 public:
  explicit ProxyBag(int capacity);
  virtual ~ProxyBag();
  ProxyBag(const ProxyBag&) = delete;
  ProxyBag& operator=(const ProxyBag&) = delete;

  // Stores the item in the lowest free slot, growing the bag by 50 slots when it is full.
  virtual void Put(void* item);
  // Takes the item of the lowest occupied slot out; null when the bag is empty.
  virtual void* Get();
  // Takes the first slot holding `item` out; null when it is not in the bag.
  virtual void* Remove(void* item);

  // Enters the bag's lock and rewinds the iterator; the lock is held until EndIteration, on the
  // same thread. Put, Get and Remove may be called in between (the lock is recursive).
  void BeginIteration();
  // The next occupied slot's item in slot order, without taking it out; null at the end.
  void* Next();
  void EndIteration();

  int GetCount();
  int GetCapacity();

 protected:
  static constexpr int kGrowBy = 50;

  // Replaces the slot array with one kGrowBy slots longer, keeping every index; false (and the
  // bag unchanged) when the memory cannot be had. Called under the lock.
  bool Grow();

  CRITICAL_SECTION m_csLock;
  void** m_ppSlots;
  int m_nCapacity;
  int m_nIterIndex;
  int m_nVisited;
  int m_nCount;
};

// The report files waiting for upload, ordered by creation time, oldest first; a file created at
// the same moment as a stored one goes after it. Items are path texts owned by the caller.
class CFileTx : public ProxyBag {
 public:
  explicit CFileTx(int capacity);

  using ProxyBag::Put;
  // Inserts the path by its file's creation time. FALSE when the file could not be opened or
  // dated, or the bag could not grow: the path was not stored and stays the caller's.
  BOOL Put(char* fileName);

  // The item count as it stood after the latest Put of a path.
  int GetFileCount() const { return m_nFileCount; }

 protected:
  // The creation time of the file in `slot`, as read when its path was stored (or read now for
  // a path put otherwise); false, traced, when the file cannot be opened or dated.
  bool StoredCreationTime(int slot, const char* storedName, FILETIME* created);
  void Remember(int slot, const char* fileName, const FILETIME& created);

  int m_nFileCount;
  // Per slot: the path and creation time seen when it was stored.
  std::vector<std::pair<std::string, FILETIME>> m_Created;
};
