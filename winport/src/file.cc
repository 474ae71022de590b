#include "winport/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "clock_internal.h"
#include "device_internal.h"
#include "file_internal.h"
#include "handles.h"
#include "mailslot_internal.h"
#include "winport/clock.h"
#include "winport/error.h"
#include "winport/path.h"
#include "winport/text.h"
#include "winport/unique_fd.h"

namespace winport {
namespace {

// 100 ns steps between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;

FILETIME TicksToFileTime(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

std::uint64_t FileTimeTicks(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FromTimestamp(std::int64_t sec, std::uint32_t nsec) {
  std::int64_t ticks = sec * kTicksPerSecond + nsec / 100 + kEpochDifference;
  return TicksToFileTime(ticks < 0 ? 0 : static_cast<std::uint64_t>(ticks));
}

timespec ToTimespec(const FILETIME& ft) {
  std::int64_t ticks = static_cast<std::int64_t>(FileTimeTicks(ft)) - kEpochDifference;
  std::int64_t sec = ticks / kTicksPerSecond;
  std::int64_t rem = ticks % kTicksPerSecond;
  if (rem < 0) {
    rem += kTicksPerSecond;
    --sec;
  }
  return timespec{static_cast<time_t>(sec), static_cast<long>(rem * 100)};
}

void FillInfo(const struct statx& stx, detail::HostFileInfo* info) {
  bool dir = S_ISDIR(stx.stx_mode);
  info->attributes = dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(stx.stx_mode & S_IWUSR)) info->attributes |= FILE_ATTRIBUTE_READONLY;
  // Creation is the birth time where the file system keeps one, else the last status change.
  const struct statx_timestamp& born = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime;
  info->creation = FromTimestamp(born.tv_sec, born.tv_nsec);
  info->lastAccess = FromTimestamp(stx.stx_atime.tv_sec, stx.stx_atime.tv_nsec);
  info->lastWrite = FromTimestamp(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  info->size = dir ? 0 : stx.stx_size;
}

bool StatFd(int fd, detail::HostFileInfo* info) {
  struct statx stx;
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &stx) != 0)
    return false;
  FillInfo(stx, info);
  return true;
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// Sets the last error from errno, turning a missing path into the Windows distinction.
void FailFromErrno(int err, const std::string& hostPath) {
  SetLastError(err == ENOENT ? detail::MissingFileError(hostPath) : ErrorFromErrno(err));
}

struct FileObject : detail::KernelObject {
  UniqueFd fd;
  bool canRead = false;
  bool canWrite = false;
  bool appendOnly = false;
  bool deleteOnClose = false;
  std::string hostPath;

  ~FileObject() override {
    fd.reset();
    if (deleteOnClose) ::unlink(hostPath.c_str());
  }

  bool Read(void* buffer, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    if (!canRead) return Fail(ERROR_ACCESS_DENIED);
    if (!buffer && size) return Fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    while (done < size) {
      ssize_t n = ::read(fd.get(), static_cast<char*>(buffer) + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(ErrorFromErrno(errno));
      if (n == 0) break;  // end of file: success with fewer bytes, as on Windows
      done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return true;
  }

  bool Write(const void* buffer, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    if (!canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (!buffer && size) return Fail(ERROR_INVALID_PARAMETER);
    if (appendOnly) ::lseek(fd.get(), 0, SEEK_END);
    DWORD done = 0;
    while (done < size) {
      ssize_t n = ::write(fd.get(), static_cast<const char*>(buffer) + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (written) *written = done;
        return Fail(ErrorFromErrno(errno));
      }
      done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return true;
  }
};

std::shared_ptr<FileObject> LookupFile(HANDLE file) {
  auto object = detail::LookupHandleAs<FileObject>(file);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Copies a regular file's bytes and last-write time; false with the last error set.
bool CopyContents(const std::string& from, const std::string& to, bool failIfExists) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) {
    FailFromErrno(errno, from);
    return false;
  }
  struct stat st;
  if (::fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
  UniqueFd out(::open(to.c_str(), flags, st.st_mode & 0777));
  if (!out) {
    int err = errno;
    if (err == EEXIST) return Fail(ERROR_FILE_EXISTS);
    FailFromErrno(err, to);
    return false;
  }
  std::vector<char> buf(1 << 16);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t off = 0; off < n;) {
      ssize_t w = ::write(out.get(), buf.data() + off, static_cast<std::size_t>(n - off));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        ok = false;
        break;
      }
      off += w;
    }
    if (!ok) break;
  }
  int err = errno;
  if (ok) {
    timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
  }
  in.reset();
  if (out.close() != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(to.c_str());  // no half-copied file left behind
    return Fail(ErrorFromErrno(err));
  }
  return true;
}

// The host path of the target of a move or copy; when it names the source itself under
// another spelling (a change of case), the new spelling is kept.
std::string TargetPath(const std::string& source, const char* target) {
  std::string host = HostPath(target);
  if (SameFile(source, host)) {
    std::string t(target);
    std::size_t cut = t.find_last_of("\\/");
    std::string last = cut == std::string::npos ? t : t.substr(cut + 1);
    std::filesystem::path p(host);
    return (p.parent_path() / last).string();
  }
  return host;
}

bool BadName(const char* name) {
  if (name && *name) return false;
  SetLastError(name ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
  return true;
}

}  // namespace

namespace detail {

bool StatHostPath(const std::string& hostPath, HostFileInfo* info) {
  struct statx stx;
  if (::statx(AT_FDCWD, hostPath.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &stx) != 0)
    return false;
  FillInfo(stx, info);
  return true;
}

DWORD MissingFileError(const std::string& hostPath) {
  std::filesystem::path parent = std::filesystem::path(hostPath).parent_path();
  struct stat st;
  if (!parent.empty() && (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

int FileDescriptor(HANDLE file) {
  auto object = LookupHandleAs<FileObject>(file);
  return object ? object->fd.get() : -1;
}

}  // namespace detail

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD, SECURITY_ATTRIBUTES*,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  if (BadName(fileName)) return INVALID_HANDLE_VALUE;
  if (detail::IsMailslotPath(fileName)) {
    DWORD error = ERROR_SUCCESS;
    auto client = detail::OpenMailslotClient(fileName, &error);
    if (!client) {
      SetLastError(error ? error : ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return detail::InsertHandle(std::move(client));
  }
  if (detail::IsDevicePath(fileName)) {
    DWORD error = ERROR_SUCCESS;
    auto device = detail::OpenDevice(fileName, &error);
    if (!device) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return detail::InsertHandle(std::move(device));
  }

  bool read = desiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
  bool write = desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
  int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  switch (creationDisposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if (!write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      flags |= O_TRUNC;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }

  std::string host = HostPath(fileName);
  struct stat st;
  bool existed = ::stat(host.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    // Directories open only for their times and attributes, as with backup semantics.
    if (!(flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || write) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  }
  if (existed && creationDisposition == CREATE_NEW) {
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  UniqueFd fd(::open(host.c_str(), flags, mode));
  if (!fd) {
    int err = errno;
    if (err == EEXIST)
      SetLastError(ERROR_FILE_EXISTS);
    else
      FailFromErrno(err, host);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileObject>();
  file->fd = std::move(fd);
  file->canRead = read;
  file->canWrite = write;
  file->appendOnly = (desiredAccess & FILE_APPEND_DATA) &&
                     !(desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA));
  file->deleteOnClose = flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE;
  file->hostPath = host;
  bool reportExisting =
      existed && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
  HANDLE handle = detail::InsertHandle(std::move(file));
  SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
  auto f = LookupFile(file);
  struct stat st;
  if (!f || ::fstat(f->fd.get(), &st) != 0) {
    if (f) SetLastError(ErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);  // a low part of 0xFFFFFFFF is then not mistaken for failure
  return static_cast<DWORD>(size);
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) {
  auto f = LookupFile(file);
  if (!f) return INVALID_SET_FILE_POINTER;
  std::int64_t distance =
      distanceToMoveHigh
          ? static_cast<std::int64_t>(
                (static_cast<std::uint64_t>(static_cast<DWORD>(*distanceToMoveHigh)) << 32) |
                static_cast<DWORD>(distanceToMove))
          : static_cast<std::int64_t>(distanceToMove);
  int whence = moveMethod == FILE_BEGIN     ? SEEK_SET
               : moveMethod == FILE_CURRENT ? SEEK_CUR
               : moveMethod == FILE_END     ? SEEK_END
                                            : -1;
  if (whence < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t pos = ::lseek(f->fd.get(), static_cast<off_t>(distance), whence);
  if (pos < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  std::uint64_t p = static_cast<std::uint64_t>(pos);
  if (distanceToMoveHigh) {
    *distanceToMoveHigh = static_cast<LONG>(p >> 32);
  } else if (p > 0x7FFFFFFFu) {
    SetLastError(ERROR_INVALID_PARAMETER);  // does not fit the 32-bit result
    return INVALID_SET_FILE_POINTER;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(p);
}

BOOL SetEndOfFile(HANDLE file) {
  auto f = LookupFile(file);
  if (!f) return FALSE;
  if (!f->canWrite) return Fail(ERROR_ACCESS_DENIED);
  off_t pos = ::lseek(f->fd.get(), 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(f->fd.get(), pos) != 0) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto f = LookupFile(file);
  if (!f) return FALSE;
  if (::fsync(f->fd.get()) != 0 && errno != EINVAL) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

BOOL GetFileTime(HANDLE file, FILETIME* creationTime, FILETIME* lastAccessTime,
                 FILETIME* lastWriteTime) {
  auto f = LookupFile(file);
  if (!f) return FALSE;
  detail::HostFileInfo info;
  if (!StatFd(f->fd.get(), &info)) return Fail(ErrorFromErrno(errno));
  if (creationTime) *creationTime = info.creation;
  if (lastAccessTime) *lastAccessTime = info.lastAccess;
  if (lastWriteTime) *lastWriteTime = info.lastWrite;
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime) {
  auto f = LookupFile(file);
  if (!f) return FALSE;
  timespec times[2];
  times[0] = lastAccessTime ? ToTimespec(*lastAccessTime) : timespec{0, UTIME_OMIT};
  times[1] = lastWriteTime ? ToTimespec(*lastWriteTime) : timespec{0, UTIME_OMIT};
  if (::futimens(f->fd.get(), times) != 0) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

DWORD GetFileAttributesA(const char* fileName) {
  if (BadName(fileName)) return INVALID_FILE_ATTRIBUTES;
  std::string host = HostPath(fileName);
  detail::HostFileInfo info;
  if (!detail::StatHostPath(host, &info)) {
    FailFromErrno(errno, host);
    return INVALID_FILE_ATTRIBUTES;
  }
  return info.attributes;
}

BOOL SetFileAttributesA(const char* fileName, DWORD fileAttributes) {
  if (BadName(fileName)) return FALSE;
  std::string host = HostPath(fileName);
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) {
    FailFromErrno(errno, host);
    return FALSE;
  }
  mode_t mode = st.st_mode & 07777;
  if (fileAttributes & FILE_ATTRIBUTE_READONLY)
    mode &= ~static_cast<mode_t>(0222);
  else
    mode |= S_IWUSR;
  if (::chmod(host.c_str(), mode) != 0) return Fail(ErrorFromErrno(errno));
  return TRUE;
}

BOOL GetFileAttributesExA(const char* fileName, GET_FILEEX_INFO_LEVELS infoLevelId,
                          void* fileInformation) {
  if (BadName(fileName)) return FALSE;
  if (infoLevelId != GetFileExInfoStandard || !fileInformation)
    return Fail(ERROR_INVALID_PARAMETER);
  std::string host = HostPath(fileName);
  detail::HostFileInfo info;
  if (!detail::StatHostPath(host, &info)) {
    FailFromErrno(errno, host);
    return FALSE;
  }
  detail::CopyFileInfo(info, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(fileInformation));
  return TRUE;
}

BOOL CreateDirectoryA(const char* pathName, SECURITY_ATTRIBUTES*) {
  if (BadName(pathName)) return FALSE;
  std::string host = HostPath(pathName);
  if (::mkdir(host.c_str(), 0777) != 0) {
    int err = errno;
    return Fail(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
  }
  return TRUE;
}

BOOL RemoveDirectoryA(const char* pathName) {
  if (BadName(pathName)) return FALSE;
  std::string host = HostPath(pathName);
  if (::rmdir(host.c_str()) != 0) {
    int err = errno;
    if (err == EEXIST) err = ENOTEMPTY;
    FailFromErrno(err, host);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteFileA(const char* fileName) {
  if (BadName(fileName)) return FALSE;
  std::string host = HostPath(fileName);
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0) {
    FailFromErrno(errno, host);
    return FALSE;
  }
  // Windows refuses to delete directories and read-only files here.
  if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)))
    return Fail(ERROR_ACCESS_DENIED);
  if (::unlink(host.c_str()) != 0) {
    FailFromErrno(errno, host);
    return FALSE;
  }
  return TRUE;
}

BOOL MoveFileExA(const char* existingFileName, const char* newFileName, DWORD flags) {
  if (BadName(existingFileName) || BadName(newFileName)) return FALSE;
  std::string from = HostPath(existingFileName);
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) {
    FailFromErrno(errno, from);
    return FALSE;
  }
  std::string to = TargetPath(from, newFileName);
  struct stat dst;
  bool targetExists = ::lstat(to.c_str(), &dst) == 0 && !SameFile(from, to);
  if (targetExists) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
    if (S_ISDIR(dst.st_mode) || S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  }
  if (::rename(from.c_str(), to.c_str()) == 0) return TRUE;
  int err = errno;
  if (err == EXDEV && (flags & MOVEFILE_COPY_ALLOWED) && !S_ISDIR(st.st_mode)) {
    if (!CopyContents(from, to, false)) return FALSE;
    ::unlink(from.c_str());
    return TRUE;
  }
  if (err == ENOENT) return Fail(ERROR_PATH_NOT_FOUND);
  if (err == EXDEV) return Fail(ERROR_NOT_SUPPORTED);
  return Fail(ErrorFromErrno(err));
}

BOOL MoveFileA(const char* existingFileName, const char* newFileName) {
  // MoveFile moves a file to another volume by copying it.
  return MoveFileExA(existingFileName, newFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL CopyFileA(const char* existingFileName, const char* newFileName, BOOL failIfExists) {
  if (BadName(existingFileName) || BadName(newFileName)) return FALSE;
  std::string from = HostPath(existingFileName);
  std::string to = HostPath(newFileName);
  if (SameFile(from, to)) return Fail(failIfExists ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION);
  return CopyContents(from, to, failIfExists) ? TRUE : FALSE;
}

DWORD GetCurrentDirectoryA(DWORD bufferLength, char* buffer) {
  std::filesystem::path cwd;
  std::error_code ec;
  cwd = std::filesystem::current_path(ec);
  if (ec) {
    SetLastError(ErrorFromErrno(ec.value()));
    return 0;
  }
  std::string s = WindowsPath(cwd);
  if (!buffer || bufferLength < s.size() + 1) return static_cast<DWORD>(s.size() + 1);
  std::memcpy(buffer, s.c_str(), s.size() + 1);
  return static_cast<DWORD>(s.size());
}

BOOL SetCurrentDirectoryA(const char* pathName) {
  if (BadName(pathName)) return FALSE;
  std::string host = HostPath(pathName);
  if (::chdir(host.c_str()) != 0) {
    int err = errno;
    return Fail(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
  }
  return TRUE;
}

DWORD GetFullPathNameA(const char* fileName, DWORD bufferLength, char* buffer, char** filePart) {
  if (BadName(fileName)) return 0;
  std::string name(fileName);
  for (char& c : name)
    if (c == '/') c = '\\';
  std::string head;  // "X:" or empty for a host path
  std::string rest;
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
    head = name.substr(0, 2);
    head[0] = AsciiUpper(head[0]);
    rest = name.substr(2);
  } else {
    char cwd[4096];
    DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
    std::string current = n && n < sizeof cwd ? std::string(cwd, n) : std::string("C:\\");
    for (char& c : current)
      if (c == '/') c = '\\';
    if (current.size() >= 2 && current[1] == ':') {
      head = current.substr(0, 2);
      current = current.substr(2);
    }
    rest = name[0] == '\\' ? name : current + "\\" + name;
  }
  std::vector<std::string> parts = detail::FoldedComponents(rest, '\\');
  bool trailing = !rest.empty() && rest.back() == '\\' && !parts.empty();
  char sep = head.empty() ? '/' : '\\';
  std::string full = head.empty() ? "" : head;
  for (const std::string& p : parts) full += sep + p;
  if (parts.empty() || trailing) full += sep;
  if (!buffer || bufferLength < full.size() + 1) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), full.size() + 1);
  if (filePart) {
    std::size_t cut = full.find_last_of(sep);
    *filePart =
        trailing || cut == std::string::npos || cut + 1 == full.size() ? nullptr : buffer + cut + 1;
  }
  return static_cast<DWORD>(full.size());
}

UINT GetTempFileNameA(const char* pathName, const char* prefixString, UINT unique,
                      char* tempFileName) {
  if (BadName(pathName) || !tempFileName) return 0;
  std::string dir(pathName);
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  std::string prefix = prefixString ? std::string(prefixString).substr(0, 3) : "";
  auto nameFor = [&](UINT n) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", n & 0xFFFF);
    return dir + prefix + hex + ".TMP";
  };
  if (unique != 0) {
    std::string name = nameFor(unique);
    if (name.size() >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE), 0;
    std::memcpy(tempFileName, name.c_str(), name.size() + 1);
    return unique & 0xFFFF;
  }
  UINT start = static_cast<UINT>((GetTickCount() ^ static_cast<DWORD>(::getpid())) & 0xFFFF);
  for (UINT k = 0; k < 0x10000; ++k) {
    UINT n = ((start + k) & 0xFFFF) ? (start + k) & 0xFFFF : 1;
    std::string name = nameFor(n);
    if (name.size() >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE), 0;
    UniqueFd fd(::open(HostPath(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) {
      std::memcpy(tempFileName, name.c_str(), name.size() + 1);
      return n;
    }
    if (errno != EEXIST) {
      FailFromErrno(errno, HostPath(name));
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
  if (!fileTime || !systemTime) return Fail(ERROR_INVALID_PARAMETER);
  std::uint64_t ticks = FileTimeTicks(*fileTime);
  if (ticks >= 0x8000000000000000ULL) return Fail(ERROR_INVALID_PARAMETER);
  std::int64_t sec =
      static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDifference / kTicksPerSecond;
  detail::ToSystemTime(UtcTime(static_cast<std::time_t>(sec)),
                       static_cast<int>((ticks % kTicksPerSecond) / 10000), systemTime);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime) {
  if (!systemTime || !fileTime) return Fail(ERROR_INVALID_PARAMETER);
  const SYSTEMTIME& s = *systemTime;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (s.wYear % 4 == 0 && s.wYear % 100 != 0) || s.wYear % 400 == 0;
  if (s.wYear < 1601 || s.wYear > 30827 || s.wMonth < 1 || s.wMonth > 12 || s.wDay < 1 ||
      s.wDay > kDays[s.wMonth - 1] + (s.wMonth == 2 && leap) || s.wHour > 23 || s.wMinute > 59 ||
      s.wSecond > 59 || s.wMilliseconds > 999)
    return Fail(ERROR_INVALID_PARAMETER);
  std::tm tm{};
  tm.tm_year = s.wYear - 1900;
  tm.tm_mon = s.wMonth - 1;
  tm.tm_mday = s.wDay;
  tm.tm_hour = s.wHour;
  tm.tm_min = s.wMinute;
  tm.tm_sec = s.wSecond;
  std::int64_t sec = ::timegm(&tm);
  *fileTime = TicksToFileTime(
      static_cast<std::uint64_t>((sec + kEpochDifference / kTicksPerSecond) * kTicksPerSecond +
                                 static_cast<std::int64_t>(s.wMilliseconds) * 10000));
  return TRUE;
}

namespace {
// The local time zone's offset from UTC at a moment, in seconds.
long UtcOffset(std::time_t t) {
  return LocalTime(t).tm_gmtoff;
}
}  // namespace

BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime) {
  if (!fileTime || !localFileTime) return Fail(ERROR_INVALID_PARAMETER);
  std::int64_t ticks = static_cast<std::int64_t>(FileTimeTicks(*fileTime));
  ticks += static_cast<std::int64_t>(UtcOffset(FileTimeToTime(*fileTime))) * kTicksPerSecond;
  *localFileTime = TicksToFileTime(ticks < 0 ? 0 : static_cast<std::uint64_t>(ticks));
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, FILETIME* fileTime) {
  if (!fileTime || !localFileTime) return Fail(ERROR_INVALID_PARAMETER);
  std::int64_t ticks = static_cast<std::int64_t>(FileTimeTicks(*localFileTime));
  ticks -= static_cast<std::int64_t>(UtcOffset(FileTimeToTime(*localFileTime))) * kTicksPerSecond;
  *fileTime = TicksToFileTime(ticks < 0 ? 0 : static_cast<std::uint64_t>(ticks));
  return TRUE;
}

LONG CompareFileTime(const FILETIME* fileTime1, const FILETIME* fileTime2) {
  if (!fileTime1 || !fileTime2) return fileTime1 ? 1 : fileTime2 ? -1 : 0;
  std::uint64_t a = FileTimeTicks(*fileTime1), b = FileTimeTicks(*fileTime2);
  return a < b ? -1 : a > b ? 1 : 0;
}

std::FILE* OpenHostFile(const char* winPath, const char* mode) {
  if (BadName(winPath) || !mode) return nullptr;
  std::string host = HostPath(winPath);
  std::FILE* f = std::fopen(host.c_str(), mode);
  if (!f) FailFromErrno(errno, host);
  return f;
}

std::time_t FileTimeToTime(const FILETIME& fileTime) {
  std::int64_t ticks = static_cast<std::int64_t>(FileTimeTicks(fileTime));
  return static_cast<std::time_t>((ticks - kEpochDifference) / kTicksPerSecond);
}

FILETIME TimeToFileTime(std::time_t t) {
  return FromTimestamp(t, 0);
}

}  // namespace winport
