// Test support: every GoogleTest executable linked with winport_testing runs in a fresh
// temporary prefix (WINPORT_PREFIX), removed when the tests end. Child processes inherit it.
#pragma once

#include <filesystem>
#include <string>

namespace winport::testing {

// The temporary prefix of this test process.
std::filesystem::path Prefix();

// A fresh empty directory inside the prefix (not under drive_c).
std::filesystem::path MakeTempDir(const std::string& stem = "t");

// The directory holding the running test executable (helper programs are built beside it).
std::filesystem::path ExecutableDir();

// build/bin and build/lib of the build tree the test runs from.
std::filesystem::path BinDir();
std::filesystem::path LibDir();

// The whole content of a file, or "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Runs a command line (CreateProcess's way) and waits up to a minute for it to end: its exit
// code, 998 when it did not end in time, 999 when it could not be started.
unsigned long RunAndWait(const std::string& commandLine);

}  // namespace winport::testing
