// Transmission bag and the report-file ordering on top of it.
#include "reports/ProxyBag.h"

#include <winport/file.h>
#include <winport/handle.h>

#include <new>

#include "core/TraceLog.h"

namespace {

// Section of the bag's lock held for one operation.
class BagLock {
 public:
  explicit BagLock(CRITICAL_SECTION* section) : m_pSection(section) {
    EnterCriticalSection(m_pSection);
  }
  ~BagLock() { LeaveCriticalSection(m_pSection); }
  BagLock(const BagLock&) = delete;
  BagLock& operator=(const BagLock&) = delete;

 private:
  CRITICAL_SECTION* m_pSection;
};

// A file opened for reading as the bag does (shared read, existing files only), closed when
// it goes out of scope.
class DatedFile {
 public:
  explicit DatedFile(const char* path)
      : m_hFile(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~DatedFile() {
    if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
  }
  DatedFile(const DatedFile&) = delete;
  DatedFile& operator=(const DatedFile&) = delete;

  bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }
  bool GetCreationTime(FILETIME* created) const {
    return GetFileTime(m_hFile, created, nullptr, nullptr) != FALSE;
  }

 private:
  HANDLE m_hFile;
};

}  // namespace

ProxyBag::ProxyBag(int capacity)
    : m_ppSlots(nullptr), m_nCapacity(0), m_nIterIndex(0), m_nVisited(0), m_nCount(0) {
  InitializeCriticalSection(&m_csLock);
  LogLine("ProxyBag::ProxyBag");
  if (capacity > 0) {
    m_ppSlots = new (std::nothrow) void*[capacity]();
    if (m_ppSlots == nullptr) CTraceLog::Fatal("ProxyBag::ProxyBag, new fail");
    m_nCapacity = capacity;
  }
}

ProxyBag::~ProxyBag() {
  LogLine("ProxyBag::~ProxyBag");
  delete[] m_ppSlots;
  m_ppSlots = nullptr;
  DeleteCriticalSection(&m_csLock);
}

bool ProxyBag::Grow() {
  const int capacity = m_nCapacity + kGrowBy;
  void** slots = new (std::nothrow) void*[capacity]();
  if (slots == nullptr) return false;
  for (int i = 0; i < m_nCapacity; ++i) slots[i] = m_ppSlots[i];
  delete[] m_ppSlots;
  m_ppSlots = slots;
  m_nCapacity = capacity;
  return true;
}

void ProxyBag::Put(void* item) {
  BagLock lock(&m_csLock);
  for (int i = 0; i < m_nCapacity; ++i) {
    if (m_ppSlots[i] == nullptr) {
      m_ppSlots[i] = item;
      ++m_nCount;
      return;
    }
  }
  LogLine("ProxyBag::Put full error, reconfiguring the Proxybag size");
  const int first = m_nCapacity;
  if (!Grow()) CTraceLog::Fatal("ProxyBag::ProxyBag, new fail");
  m_ppSlots[first] = item;
  ++m_nCount;
}

void* ProxyBag::Get() {
  BagLock lock(&m_csLock);
  for (int i = 0; i < m_nCapacity; ++i) {
    if (m_ppSlots[i] != nullptr) {
      void* item = m_ppSlots[i];
      m_ppSlots[i] = nullptr;
      --m_nCount;
      return item;
    }
  }
  return nullptr;
}

void* ProxyBag::Remove(void* item) {
  BagLock lock(&m_csLock);
  if (item == nullptr) return nullptr;
  for (int i = 0; i < m_nCapacity; ++i) {
    if (m_ppSlots[i] == item) {
      m_ppSlots[i] = nullptr;
      --m_nCount;
      return item;
    }
  }
  return nullptr;
}

void ProxyBag::BeginIteration() {
  EnterCriticalSection(&m_csLock);
  m_nIterIndex = 0;
  m_nVisited = 0;
}

void* ProxyBag::Next() {
  BagLock lock(&m_csLock);
  if (m_nIterIndex >= m_nCapacity) return nullptr;
  while (m_nIterIndex < m_nCapacity && m_nVisited < m_nCount) {
    void* item = m_ppSlots[m_nIterIndex];
    ++m_nVisited;
    ++m_nIterIndex;
    if (item != nullptr) return item;
  }
  return nullptr;
}

void ProxyBag::EndIteration() {
  LeaveCriticalSection(&m_csLock);
}

int ProxyBag::GetCount() {
  BagLock lock(&m_csLock);
  return m_nCount;
}

int ProxyBag::GetCapacity() {
  BagLock lock(&m_csLock);
  return m_nCapacity;
}

CFileTx::CFileTx(int capacity) : ProxyBag(capacity), m_nFileCount(0) {}

void CFileTx::Remember(int slot, const char* fileName, const FILETIME& created) {
  if (static_cast<std::size_t>(slot) >= m_Created.size()) m_Created.resize(slot + 1);
  m_Created[slot] = {fileName, created};
}

bool CFileTx::StoredCreationTime(int slot, const char* storedName, FILETIME* created) {
  // A file's creation time does not change while it exists: the one read when the path was
  // put is taken again, rather than opening every stored file for every new one.
  if (static_cast<std::size_t>(slot) < m_Created.size() && m_Created[slot].first == storedName) {
    *created = m_Created[slot].second;
    return true;
  }
  DatedFile other(storedName);
  if (!other.IsOpen()) {
    LogInfoF(
        "CFileTx::Put - tried to put a file that returns INVALID_HANDLE_VALUE %s which was read "
        "from the bag",
        storedName);
    return false;
  }
  if (!other.GetCreationTime(created)) {
    LogInfoF("CFileTx::Put - could not get date of file that was to be put file name = %s",
             storedName);
    return false;
  }
  Remember(slot, storedName, *created);
  return true;
}

BOOL CFileTx::Put(char* fileName) {
  BagLock lock(&m_csLock);
  BOOL stored = FALSE;
  // A full bag grows and the insertion starts over, as often as it takes.
  for (bool again = true; again;) {
    again = false;
    LogInfoF("CFileTx::Put creating the file  = %s", fileName);
    DatedFile file(fileName);
    if (!file.IsOpen()) {
      LogInfoF(
          "CFileTx::Put - tried to put a file that returns INVALID_HANDLE_VALUE file name = %s",
          fileName);
      break;
    }
    FILETIME created{};
    if (!file.GetCreationTime(&created)) {
      LogInfoF("CFileTx::Put - could not get date of file that was to be put file name = %s",
               fileName);
      break;
    }
    bool placed = false;
    for (int i = 0; i < m_nCapacity && !placed; ++i) {
      if (m_ppSlots[i] == nullptr) {
        m_ppSlots[i] = fileName;
        Remember(i, fileName, created);
        ++m_nCount;
        stored = TRUE;
        placed = true;
        break;
      }
      const char* storedName = static_cast<const char*>(m_ppSlots[i]);
      LogInfoF("CFileTx::Put -- file from the bag = %s", storedName);
      FILETIME storedCreated{};
      if (!StoredCreationTime(i, storedName, &storedCreated)) continue;
      if (CompareFileTime(&storedCreated, &created) > 0) {
        if (m_nCount < m_nCapacity) {
          // Every slot before i is taken (a free one would have been used): the first free
          // slot lies above i, and the run up to it moves up by one.
          int free = i + 1;
          while (free < m_nCapacity && m_ppSlots[free] != nullptr) ++free;
          if (free == m_nCapacity) break;  // cannot be: count < capacity
          for (int j = free; j > i; --j) {
            m_ppSlots[j] = m_ppSlots[j - 1];
            if (static_cast<std::size_t>(j) < m_Created.size()) m_Created[j] = m_Created[j - 1];
          }
          m_ppSlots[i] = fileName;
          Remember(i, fileName, created);
          ++m_nCount;
          stored = TRUE;
        } else if (Grow()) {
          again = true;
        } else {
          LogErrorF("ProxyBag::ProxyBag,new Fail");
        }
        placed = true;
      }
    }
    if (!placed) {
      // Full, and the new file is not older than any stored one.
      if (Grow()) {
        again = true;
      } else {
        LogErrorF("ProxyBag::ProxyBag,new Fail");
      }
    }
  }
  m_nFileCount = m_nCount;
  return stored;
}
