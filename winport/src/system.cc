#include "winport/system.h"

#include <sched.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "winport/error.h"
#include "winport/path.h"
#include "winport/prefix.h"
#include "winport/text.h"

namespace winport {
namespace {

constexpr const char* kWindowsDirectory = "C:\\WINDOWS";
constexpr const char* kSystemDirectory = "C:\\WINDOWS\\system32";
constexpr const char* kTempDirectory = "C:\\WINDOWS\\TEMP\\";

// Puts a text into a caller's buffer: its length on success, else the size needed with the NUL.
DWORD CopyOut(const std::string& s, char* buffer, DWORD size) {
  if (!buffer || size < s.size() + 1) return static_cast<DWORD>(s.size() + 1);
  std::memcpy(buffer, s.c_str(), s.size() + 1);
  return static_cast<DWORD>(s.size());
}

// The Windows directories exist in every prefix, spelt in lower case on the host so that
// later look-ups of any spelling find them.
void MakeWindowsDirectories() {
  std::filesystem::path prefix = PrefixPath();
  if (prefix.empty()) return;
  std::filesystem::path windows = prefix / "drive_c" / "windows";
  for (const auto& dir : {windows, windows / "system32", windows / "temp"})
    ::mkdir(dir.c_str(), 0777);
}

struct MemInfo {
  ULONGLONG total = 0, available = 0, swapTotal = 0, swapFree = 0;
};

MemInfo ReadMemInfo() {
  MemInfo m;
  std::ifstream in("/proc/meminfo");
  std::string name;
  unsigned long long kb;
  bool haveAvailable = false;
  ULONGLONG freeKb = 0;
  while (in >> name >> kb) {
    if (name == "MemTotal:") m.total = kb * 1024;
    if (name == "MemAvailable:") m.available = kb * 1024, haveAvailable = true;
    if (name == "MemFree:") freeKb = kb;
    if (name == "SwapTotal:") m.swapTotal = kb * 1024;
    if (name == "SwapFree:") m.swapFree = kb * 1024;
    in.ignore(256, '\n');
  }
  if (!haveAvailable) m.available = freeKb * 1024;
  if (m.total == 0) {
    long pages = ::sysconf(_SC_PHYS_PAGES), avail = ::sysconf(_SC_AVPHYS_PAGES);
    long page = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) {
      m.total = static_cast<ULONGLONG>(pages) * static_cast<ULONGLONG>(page);
      m.available = avail > 0 ? static_cast<ULONGLONG>(avail) * static_cast<ULONGLONG>(page) : 0;
    }
  }
  return m;
}

// The size of this process's address space in use (VmSize), in bytes.
ULONGLONG ProcessVirtualSize() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmSize:", 0) == 0) return std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
  return 0;
}

constexpr ULONGLONG kUserAddressSpace = 0x00007FFFFFFE0000ULL;

DWORD ProcessorCount() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<DWORD>(n);
  }
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<DWORD>(n) : 1;
}

// "cpu family", "model" and "stepping" of the first processor, where the host tells them.
void ProcessorModel(WORD* level, WORD* revision) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  int family = -1, model = -1, stepping = -1;
  while (std::getline(in, line) && (family < 0 || model < 0 || stepping < 0)) {
    auto field = [&](const char* name, int* out) {
      if (*out < 0 && line.rfind(name, 0) == 0 && line.find(':') != std::string::npos) {
        std::string rest = line.substr(std::strlen(name));
        std::size_t b = rest.find_first_not_of(" \t");
        if (b != std::string::npos && rest[b] == ':')
          *out = std::atoi(line.c_str() + line.find(':') + 1);
      }
    };
    field("cpu family", &family);
    field("model", &model);
    field("stepping", &stepping);
  }
  *level = static_cast<WORD>(family < 0 ? 6 : family);
  *revision = static_cast<WORD>(((model < 0 ? 0 : model) << 8) | (stepping < 0 ? 0 : stepping));
}

}  // namespace

BOOL GetDiskFreeSpaceExA(const char* directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes,
                         ULARGE_INTEGER* totalNumberOfFreeBytes) {
  std::string host = HostPath(directoryName && *directoryName ? directoryName : "C:\\");
  struct statvfs vfs;
  if (::statvfs(host.c_str(), &vfs) != 0) {
    int err = errno;
    SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
    return FALSE;
  }
  ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (freeBytesAvailableToCaller) freeBytesAvailableToCaller->QuadPart = vfs.f_bavail * unit;
  if (totalNumberOfBytes) totalNumberOfBytes->QuadPart = vfs.f_blocks * unit;
  if (totalNumberOfFreeBytes) totalNumberOfFreeBytes->QuadPart = vfs.f_bfree * unit;
  return TRUE;
}

BOOL GetDiskFreeSpaceA(const char* rootPathName, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* numberOfFreeClusters, DWORD* totalNumberOfClusters) {
  ULARGE_INTEGER avail, total, free;
  if (!GetDiskFreeSpaceExA(rootPathName, &avail, &total, &free)) return FALSE;
  constexpr ULONGLONG kSector = 512, kCluster = 4096;
  auto clusters = [](ULONGLONG bytes) {
    ULONGLONG n = bytes / kCluster;
    return static_cast<DWORD>(n > 0xFFFFFFFFULL ? 0xFFFFFFFFULL : n);
  };
  if (sectorsPerCluster) *sectorsPerCluster = static_cast<DWORD>(kCluster / kSector);
  if (bytesPerSector) *bytesPerSector = static_cast<DWORD>(kSector);
  if (numberOfFreeClusters) *numberOfFreeClusters = clusters(avail.QuadPart);
  if (totalNumberOfClusters) *totalNumberOfClusters = clusters(total.QuadPart);
  return TRUE;
}

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* buffer) {
  if (!buffer || buffer->dwLength != sizeof(MEMORYSTATUSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  MemInfo m = ReadMemInfo();
  buffer->dwMemoryLoad =
      m.total ? static_cast<DWORD>((m.total - std::min(m.available, m.total)) * 100 / m.total) : 0;
  buffer->ullTotalPhys = m.total;
  buffer->ullAvailPhys = m.available;
  // The page file figures are the commit limit: memory plus swap.
  buffer->ullTotalPageFile = m.total + m.swapTotal;
  buffer->ullAvailPageFile = m.available + m.swapFree;
  buffer->ullTotalVirtual = kUserAddressSpace;
  ULONGLONG used = ProcessVirtualSize();
  buffer->ullAvailVirtual = used < kUserAddressSpace ? kUserAddressSpace - used : 0;
  buffer->ullAvailExtendedVirtual = 0;
  return TRUE;
}

void GlobalMemoryStatus(MEMORYSTATUS* buffer) {
  if (!buffer) return;
  MEMORYSTATUSEX ex{};
  ex.dwLength = sizeof ex;
  GlobalMemoryStatusEx(&ex);
  buffer->dwLength = sizeof(MEMORYSTATUS);
  buffer->dwMemoryLoad = ex.dwMemoryLoad;
  buffer->dwTotalPhys = static_cast<SIZE_T>(ex.ullTotalPhys);
  buffer->dwAvailPhys = static_cast<SIZE_T>(ex.ullAvailPhys);
  buffer->dwTotalPageFile = static_cast<SIZE_T>(ex.ullTotalPageFile);
  buffer->dwAvailPageFile = static_cast<SIZE_T>(ex.ullAvailPageFile);
  buffer->dwTotalVirtual = static_cast<SIZE_T>(ex.ullTotalVirtual);
  buffer->dwAvailVirtual = static_cast<SIZE_T>(ex.ullAvailVirtual);
}

void GetSystemInfo(SYSTEM_INFO* info) {
  if (!info) return;
  std::memset(info, 0, sizeof *info);
#if defined(__x86_64__)
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  info->dwProcessorType = PROCESSOR_AMD_X8664;
#elif defined(__aarch64__)
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_ARM64;
  info->dwProcessorType = 0;
#else
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
  info->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
#endif
  long page = ::sysconf(_SC_PAGESIZE);
  info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
  info->lpMinimumApplicationAddress = reinterpret_cast<void*>(0x10000);
  info->lpMaximumApplicationAddress = reinterpret_cast<void*>(kUserAddressSpace - 0x10001);
  info->dwNumberOfProcessors = ProcessorCount();
  info->dwActiveProcessorMask = info->dwNumberOfProcessors >= 64
                                    ? ~DWORD_PTR{0}
                                    : (DWORD_PTR{1} << info->dwNumberOfProcessors) - 1;
  info->dwAllocationGranularity = 65536;
  ProcessorModel(&info->wProcessorLevel, &info->wProcessorRevision);
}

BOOL GetComputerNameA(char* buffer, DWORD* size) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
  std::string name(host);
  name = name.substr(0, name.find('.'));
  if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
  name = AsciiUpper(name);
  if (!buffer || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return TRUE;
}

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = 5;
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 2195;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::string csd = "Service Pack 4";
  // WINPORT_OS_VERSION="major.minor.build[,platform[,service pack text]]" presents another
  // version, so that the version-dependent paths of the system can be run.
  if (const char* v = std::getenv("WINPORT_OS_VERSION"); v && *v) {
    unsigned major = 0, minor = 0, build = 0, platform = VER_PLATFORM_WIN32_NT;
    int used = 0;
    int n = std::sscanf(v, "%u.%u.%u%n", &major, &minor, &build, &used);
    if (n == 3) {
      info->dwMajorVersion = major;
      info->dwMinorVersion = minor;
      info->dwBuildNumber = build;
      const char* rest = v + used;
      csd.clear();
      if (*rest == ',') {
        char* end = nullptr;
        platform = static_cast<unsigned>(std::strtoul(rest + 1, &end, 10));
        if (end && *end == ',') csd = end + 1;
      }
      info->dwPlatformId = platform;
    }
  }
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  std::strncpy(info->szCSDVersion, csd.c_str(), sizeof info->szCSDVersion - 1);
  return TRUE;
}

DWORD GetVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionExA(&info);
  DWORD v = (info.dwMajorVersion & 0xFF) | ((info.dwMinorVersion & 0xFF) << 8);
  if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
    v |= (info.dwBuildNumber & 0x7FFF) << 16;
  else
    v |= 0x80000000u;
  return v;
}

UINT GetWindowsDirectoryA(char* buffer, UINT size) {
  MakeWindowsDirectories();
  return CopyOut(kWindowsDirectory, buffer, size);
}

UINT GetSystemDirectoryA(char* buffer, UINT size) {
  MakeWindowsDirectories();
  return CopyOut(kSystemDirectory, buffer, size);
}

DWORD GetTempPathA(DWORD bufferLength, char* buffer) {
  MakeWindowsDirectories();
  return CopyOut(kTempDirectory, buffer, bufferLength);
}

DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  const char* value = name ? std::getenv(name) : nullptr;
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return CopyOut(value, buffer, size);
}

BOOL SetEnvironmentVariableA(const char* name, const char* value) {
  if (!name || !*name || std::strchr(name, '=')) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int r = value ? ::setenv(name, value, 1) : ::unsetenv(name);
  if (r != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

DWORD ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size) {
  if (!src) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string out;
  for (const char* p = src; *p;) {
    const char* close = *p == '%' ? std::strchr(p + 1, '%') : nullptr;
    if (close && close > p + 1) {
      std::string name(p + 1, close);
      if (const char* v = std::getenv(name.c_str())) {
        out += v;
        p = close + 1;
        continue;
      }
      out.append(p, close);  // unknown: kept as written; its closing '%' may open another
      p = close;
      continue;
    }
    out += *p++;
  }
  if (dst && size >= out.size() + 1) std::memcpy(dst, out.c_str(), out.size() + 1);
  return static_cast<DWORD>(out.size() + 1);
}

}  // namespace winport
