#include "winport/system.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "testing.h"
#include "winport/error.h"
#include "winport/path.h"
#include "winport/prefix.h"

namespace winport {
namespace {

namespace fs = std::filesystem;

TEST(System, DiskMemoryAndProcessorsAreSane) {
  ULARGE_INTEGER avail, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExA("c:\\", &avail, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  EXPECT_LE(avail.QuadPart, free.QuadPart);
  EXPECT_FALSE(GetDiskFreeSpaceExA("q:\\nowhere", &avail, &total, &free));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  DWORD spc, bps, freeClusters, clusters;
  ASSERT_TRUE(GetDiskFreeSpaceA(nullptr, &spc, &bps, &freeClusters, &clusters));
  EXPECT_EQ(spc * bps, 4096u);
  EXPECT_LE(freeClusters, clusters);

  MEMORYSTATUS ms{};
  GlobalMemoryStatus(&ms);
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  EXPECT_NEAR(static_cast<double>(ms.dwTotalPhys), static_cast<double>(pages) * page,
              static_cast<double>(pages) * page * 0.05);
  EXPECT_LE(ms.dwAvailPhys, ms.dwTotalPhys);
  EXPECT_LE(ms.dwMemoryLoad, 100u);
  EXPECT_GE(ms.dwTotalPageFile, ms.dwTotalPhys);
  EXPECT_LT(ms.dwAvailVirtual, ms.dwTotalVirtual);
  MEMORYSTATUSEX ex{};
  EXPECT_FALSE(GlobalMemoryStatusEx(&ex));  // dwLength not set
  ex.dwLength = sizeof ex;
  EXPECT_TRUE(GlobalMemoryStatusEx(&ex));
  EXPECT_EQ(ex.ullTotalPhys, ms.dwTotalPhys);

  SYSTEM_INFO si;
  GetSystemInfo(&si);
  EXPECT_GE(si.dwNumberOfProcessors, 1u);
  EXPECT_LE(si.dwNumberOfProcessors, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(si.dwPageSize, static_cast<DWORD>(page));
}

TEST(System, NamesVersionsAndDirectories) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = 1;
  EXPECT_FALSE(GetComputerNameA(name, &size));
  ASSERT_GE(size, 2u);
  size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(size, std::strlen(name));
  for (char c : std::string(name)) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c)));

  OSVERSIONINFOA v{};
  EXPECT_FALSE(GetVersionExA(&v));
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(v.dwMajorVersion, 5u);
  EXPECT_EQ(v.dwBuildNumber, 2195u);
  EXPECT_STREQ(v.szCSDVersion, "Service Pack 4");
  setenv("WINPORT_OS_VERSION", "4.10.2222,1, A ", 1);
  ASSERT_TRUE(GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_EQ(v.dwMinorVersion, 10u);
  EXPECT_STREQ(v.szCSDVersion, " A ");
  EXPECT_EQ(GetVersion() & 0x800000FFu, 0x80000004u);
  unsetenv("WINPORT_OS_VERSION");

  char dir[MAX_PATH];
  EXPECT_EQ(GetWindowsDirectoryA(dir, 3), 11u);
  ASSERT_EQ(GetWindowsDirectoryA(dir, sizeof dir), 10u);
  EXPECT_STREQ(dir, "C:\\WINDOWS");
  EXPECT_TRUE(fs::is_directory(PrefixPath() / "drive_c/windows"));
  EXPECT_EQ(HostPath(dir), (PrefixPath() / "drive_c/windows").string());
  ASSERT_GT(GetSystemDirectoryA(dir, sizeof dir), 0u);
  EXPECT_TRUE(fs::is_directory(HostPath(dir)));
  ASSERT_GT(GetTempPathA(sizeof dir, dir), 0u);
  EXPECT_EQ(dir[std::strlen(dir) - 1], '\\');
  EXPECT_TRUE(fs::is_directory(HostPath(dir)));
}

TEST(System, EnvironmentVariables) {
  ASSERT_TRUE(SetEnvironmentVariableA("WP_TEST_VAR", "value"));
  char buf[32];
  EXPECT_EQ(GetEnvironmentVariableA("WP_TEST_VAR", buf, 3), 6u);
  EXPECT_EQ(GetEnvironmentVariableA("WP_TEST_VAR", buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, "value");
  EXPECT_EQ(ExpandEnvironmentStringsA("a%WP_TEST_VAR%b%NOPE%c", buf, sizeof buf), 15u);
  EXPECT_STREQ(buf, "avalueb%NOPE%c");
  ASSERT_TRUE(SetEnvironmentVariableA("WP_TEST_VAR", nullptr));
  EXPECT_EQ(GetEnvironmentVariableA("WP_TEST_VAR", buf, sizeof buf), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
}

}  // namespace
}  // namespace winport
