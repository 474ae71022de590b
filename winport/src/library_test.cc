#include "winport/library.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "testing.h"
#include "winport/error.h"
#include "winport/prefix.h"

namespace winport {
namespace {

namespace fs = std::filesystem;

using AddFn = int (*)(int, int);
using CallsFn = int (*)();

TEST(Library, WindowsNamesMapToHostFileNames) {
  EXPECT_EQ(LibraryFileName("VESDD32.DLL"), "libvesdd32.so");
  EXPECT_EQ(LibraryFileName("orbusb.ocx"), "liborbusb.so");
  EXPECT_EQ(LibraryFileName("Trellis.OCX"), "libtrellis.so");
  EXPECT_EQ(LibraryFileName("sound.drv"), "libsound.so");
  EXPECT_EQ(LibraryFileName("wcsetup"), "libwcsetup.so");
  EXPECT_EQ(LibraryFileName("libwpsample.so"), "libwpsample.so");
}

TEST(Library, LoadsBindsAndFreesByWindowsName) {
  HMODULE m = LoadLibraryA("WPSAMPLE.DLL");
  ASSERT_NE(m, nullptr) << GetLastError();
  auto add = reinterpret_cast<AddFn>(GetProcAddress(m, "WpSampleAdd"));
  auto calls = reinterpret_cast<CallsFn>(GetProcAddress(m, "WpSampleCalls"));
  ASSERT_NE(add, nullptr);
  ASSERT_NE(calls, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  // A second load gives the same module, and its state.
  HMODULE again = LoadLibraryA("wpsample.dll");
  EXPECT_EQ(again, m);
  EXPECT_EQ(reinterpret_cast<CallsFn>(GetProcAddress(again, "WpSampleCalls"))(), 1);

  EXPECT_EQ(GetProcAddress(m, "NoSuchEntry"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetModuleHandleA("WPSAMPLE.DLL"), m);

  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(m, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(fs::path(path).filename(), "libwpsample.so");
  EXPECT_EQ(GetModuleFileNameA(m, path, 5), 5u);  // cut to fit
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::strlen(path), 4u);

  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_FALSE(FreeLibrary(m));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetProcAddress(nullptr, "WpSampleAdd"), nullptr);
}

TEST(Library, MissingLibrariesAndTheSearchPath) {
  EXPECT_EQ(LoadLibraryA("NOSUCH32.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  // A file that is not a library.
  fs::path dir = testing::MakeTempDir("libs");
  std::ofstream(dir / "libjunk.so") << "not a library";
  setenv("WINPORT_LIBRARY_PATH", ("/nonexistent:" + dir.string()).c_str(), 1);
  EXPECT_EQ(LoadLibraryA("JUNK.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
  // WINPORT_LIBRARY_PATH comes first: a copy under another name is found there.
  fs::copy_file(testing::LibDir() / "libwpsample.so", dir / "libcopy32.so");
  HMODULE m = LoadLibraryA("Copy32.dll");
  ASSERT_NE(m, nullptr);
  EXPECT_NE(GetProcAddress(m, "WpSampleAdd"), nullptr);
  FreeLibrary(m);
  unsetenv("WINPORT_LIBRARY_PATH");
  EXPECT_EQ(LoadLibraryA("Copy32.dll"), nullptr);

  // A path in Windows form, through the prefix's drives.
  fs::create_directories(PrefixPath() / "drive_c/Orbilink");
  fs::copy_file(testing::LibDir() / "libwpsample.so",
                PrefixPath() / "drive_c/Orbilink/libwcsetup.so");
  m = LoadLibraryA("C:\\ORBILINK\\WCSETUP.OCX");
  ASSERT_NE(m, nullptr);
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(m, path, sizeof path), 0u);
  EXPECT_STREQ(path, "C:\\Orbilink\\libwcsetup.so");
  FreeLibrary(m);
}

TEST(Library, TheRunningProgram) {
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  EXPECT_EQ(fs::path(path), fs::read_symlink("/proc/self/exe"));
  HMODULE self = GetModuleHandleA(nullptr);
  ASSERT_NE(self, nullptr);
  HMODULE owner = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<const char*>(&LoadLibraryA), &owner));
  ASSERT_GT(GetModuleFileNameA(owner, path, sizeof path), 0u);
  EXPECT_EQ(fs::path(path).filename(), "libwinport.so");
}

}  // namespace
}  // namespace winport
