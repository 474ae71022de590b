// Holds the diagnostics' test-table lock (a critical section) for a scope.
#pragma once

#include <winport/sync.h>

class CDiagLock {
 public:
  explicit CDiagLock(winport::CRITICAL_SECTION* section) : m_pSection(section) {
    winport::EnterCriticalSection(m_pSection);
  }
  ~CDiagLock() { winport::LeaveCriticalSection(m_pSection); }
  CDiagLock(const CDiagLock&) = delete;
  CDiagLock& operator=(const CDiagLock&) = delete;

 private:
  winport::CRITICAL_SECTION* m_pSection;
};
