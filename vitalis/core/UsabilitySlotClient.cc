#include "core/UsabilitySlotClient.h"

#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>

#include <cstring>
#include <vector>

#include "core/DAKDllMain.h"

CUsabilitySlotClient::CUsabilitySlotClient()
    : m_hSlot(nullptr), m_dwBytesWritten(0), m_pszSlotName(kUsabilitySlotName) {}

CUsabilitySlotClient::~CUsabilitySlotClient() {
  Close();
}

DWORD CUsabilitySlotClient::Open() {
  m_hSlot = CreateFileA(m_pszSlotName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_hSlot == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    m_hSlot = nullptr;
    return error != 0 ? error : ERROR_FILE_NOT_FOUND;
  }
  return 0;
}

DWORD CUsabilitySlotClient::Write(const void* buffer, DWORD length) {
  if (m_hSlot == nullptr) {
    DWORD error = Open();
    if (error != 0) return error;
  }
  m_dwBytesWritten = 0;
  if (WriteFile(m_hSlot, buffer, length, &m_dwBytesWritten, nullptr)) return 0;
  DWORD error = GetLastError();
  // The reader may have gone and come back: open afresh on the next write.
  CloseHandle(m_hSlot);
  m_hSlot = nullptr;
  return error != 0 ? error : ERROR_WRITE_FAULT;
}

DWORD CUsabilitySlotClient::Close() {
  if (m_hSlot == nullptr) return 0;
  DWORD result = CloseHandle(m_hSlot) ? 0 : GetLastError();
  m_hSlot = nullptr;
  return result;
}

DWORD CUsabilitySlotClient::SendGeneric(const char* section, const char* key, const char* value) {
  // Identifier, then each string as a 32-bit length (with its zero) and the string itself.
  const char* parts[3] = {section != nullptr ? section : "", key != nullptr ? key : "",
                          value != nullptr ? value : ""};
  std::vector<BYTE> record(4);
  DWORD id = DAK_GENERIC;
  std::memcpy(record.data(), &id, 4);
  for (const char* part : parts) {
    DWORD length = static_cast<DWORD>(std::strlen(part) + 1);
    std::size_t at = record.size();
    record.resize(at + 4 + length);
    std::memcpy(record.data() + at, &length, 4);
    std::memcpy(record.data() + at + 4, part, length);
  }
  return Write(record.data(), static_cast<DWORD>(record.size()));
}
