// Writer end of the usability mailslot, used by the module itself to file DAK_GENERIC
// entries (the outcome of corrective actions) into the current report.
#pragma once

#include "core/Win.h"

class CUsabilitySlotClient {
 public:
  CUsabilitySlotClient();
  ~CUsabilitySlotClient();
  CUsabilitySlotClient(const CUsabilitySlotClient&) = delete;
  CUsabilitySlotClient& operator=(const CUsabilitySlotClient&) = delete;

  // Each returns a system error code (0 = success).
  DWORD Open();
  DWORD Write(const void* buffer, DWORD length);
  DWORD Close();
  DWORD SendGeneric(const char* section, const char* key, const char* value);

  DWORD GetBytesWritten() const { return m_dwBytesWritten; }

 private:
  HANDLE m_hSlot;
  DWORD m_dwBytesWritten;
  const char* m_pszSlotName;
};
