#include "winport/handle.h"

#include "handles.h"
#include "winport/error.h"

namespace winport {

BOOL CloseHandle(HANDLE handle) {
  if (!detail::RemoveHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void*) {
  auto object = detail::LookupHandle(file);
  if (!object) {
    if (read) *read = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->Read(buffer, toRead, read) ? TRUE : FALSE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void*) {
  auto object = detail::LookupHandle(file);
  if (!object) {
    if (written) *written = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->Write(buffer, toWrite, written) ? TRUE : FALSE;
}

}  // namespace winport
