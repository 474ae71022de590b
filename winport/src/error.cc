#include "winport/error.h"

#include <cerrno>
#include <cstring>

namespace winport {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

const char* MessageFor(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return "The operation completed successfully.";
    case ERROR_INVALID_FUNCTION:
      return "Incorrect function.";
    case ERROR_FILE_NOT_FOUND:
      return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified.";
    case ERROR_TOO_MANY_OPEN_FILES:
      return "The system cannot open the file.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_HANDLE:
      return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "Not enough storage is available to process this command.";
    case ERROR_BAD_FORMAT:
      return "An attempt was made to load a program with an incorrect format.";
    case ERROR_INVALID_DATA:
      return "The data is invalid.";
    case ERROR_OUTOFMEMORY:
      return "Not enough storage is available to complete this operation.";
    case ERROR_NO_MORE_FILES:
      return "There are no more files.";
    case ERROR_WRITE_FAULT:
      return "The system cannot write to the specified device.";
    case ERROR_READ_FAULT:
      return "The system cannot read from the specified device.";
    case ERROR_GEN_FAILURE:
      return "A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION:
      return "The process cannot access the file because it is being used by another process.";
    case ERROR_HANDLE_EOF:
      return "Reached the end of the file.";
    case ERROR_NOT_SUPPORTED:
      return "The request is not supported.";
    case ERROR_FILE_EXISTS:
      return "The file exists.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_BROKEN_PIPE:
      return "The pipe has been ended.";
    case ERROR_BUFFER_OVERFLOW:
      return "The file name is too long.";
    case ERROR_DISK_FULL:
      return "There is not enough space on the disk.";
    case ERROR_SEM_TIMEOUT:
      return "The semaphore timeout period has expired.";
    case ERROR_INSUFFICIENT_BUFFER:
      return "The data area passed to a system call is too small.";
    case ERROR_INVALID_NAME:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_MOD_NOT_FOUND:
      return "The specified module could not be found.";
    case ERROR_PROC_NOT_FOUND:
      return "The specified procedure could not be found.";
    case ERROR_NEGATIVE_SEEK:
      return "An attempt was made to move the file pointer before the beginning of the file.";
    case ERROR_DIR_NOT_EMPTY:
      return "The directory is not empty.";
    case ERROR_BAD_PATHNAME:
      return "The specified path is invalid.";
    case ERROR_ALREADY_EXISTS:
      return "Cannot create a file when that file already exists.";
    case ERROR_ENVVAR_NOT_FOUND:
      return "The system could not find the environment option that was entered.";
    case ERROR_FILENAME_EXCED_RANGE:
      return "The filename or extension is too long.";
    case ERROR_MORE_DATA:
      return "More data is available.";
    case WAIT_TIMEOUT:
      return "The wait operation timed out.";
    case ERROR_NO_MORE_ITEMS:
      return "No more data is available.";
    case ERROR_NOT_OWNER:
      return "Attempt to release mutex not owned by caller.";
    case ERROR_ABANDONED_WAIT_0:
      return "The wait operation was abandoned because the mutex owner ended.";
    case ERROR_BADDB:
      return "The configuration registry database is corrupt.";
    case ERROR_BADKEY:
      return "The configuration registry key is invalid.";
    case ERROR_CANTOPEN:
      return "The configuration registry key could not be opened.";
    case ERROR_CANTREAD:
      return "The configuration registry key could not be read.";
    case ERROR_CANTWRITE:
      return "The configuration registry key could not be written.";
    case ERROR_REGISTRY_CORRUPT:
      return "The structure of one of the files containing registry data is corrupt.";
    case ERROR_KEY_DELETED:
      return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_KEY_HAS_CHILDREN:
      return "Cannot create a symbolic link in a registry key that already has subkeys or values.";
    case ERROR_INVALID_WINDOW_HANDLE:
      return "Invalid window handle.";
    case ERROR_CLASS_ALREADY_EXISTS:
      return "Class already exists.";
    case ERROR_INVALID_THREAD_ID:
      return "The thread identifier is invalid.";
    case ERROR_TIMEOUT:
      return "This operation returned because the timeout period expired.";
    default:
      return nullptr;
  }
}

}  // namespace

DWORD GetLastError() {
  return t_lastError;
}

void SetLastError(DWORD code) {
  t_lastError = code;
}

bool ErrorMessageText(DWORD code, std::string* text) {
  const char* m = MessageFor(code);
  if (!m) return false;
  if (text) *text = m;
  return true;
}

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, char* buffer, DWORD size,
                     void*) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* m = MessageFor(messageId);
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);  // Windows: ERROR_MR_MID_NOT_FOUND; callers only see 0
    return 0;
  }
  std::size_t n = std::strlen(m);
  if (n + 3 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, m, n);
  std::memcpy(buffer + n, "\r\n", 3);
  return static_cast<DWORD>(n + 2);
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace winport
