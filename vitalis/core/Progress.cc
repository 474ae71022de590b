#include "core/Progress.h"

#include <winport/clock.h>
#include <winport/handle.h>
#include <winport/sync.h>

CProgress::CProgress() : m_dwCount(0), m_hEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

CProgress::~CProgress() {
  if (m_hEvent != nullptr) CloseHandle(m_hEvent);
}

void CProgress::Add() {
  ++m_dwCount;
  if (m_hEvent != nullptr) SetEvent(m_hEvent);
}

bool CProgress::WaitFor(DWORD target, DWORD milliseconds) {
  if (m_hEvent == nullptr) return m_dwCount.load() >= target;
  DWORD start = GetTickCount();
  while (m_dwCount.load() < target) {
    DWORD spent = GetTickCount() - start;
    if (spent >= milliseconds) return false;
    WaitForSingleObject(m_hEvent, milliseconds - spent);
  }
  return true;
}
