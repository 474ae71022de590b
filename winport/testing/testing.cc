#include "testing.h"

#include <winport/handle.h>
#include <winport/process.h>
#include <winport/sync.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace winport::testing {
namespace {

std::filesystem::path g_prefix;
std::atomic<int> g_counter{0};

}  // namespace

std::filesystem::path Prefix() { return g_prefix; }

std::filesystem::path MakeTempDir(const std::string& stem) {
  std::filesystem::path p = g_prefix / ("tmp-" + stem + "-" + std::to_string(g_counter++));
  std::filesystem::create_directories(p);
  return p;
}

std::filesystem::path ExecutableDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::filesystem::path BinDir() { return ExecutableDir().parent_path() / "bin"; }
std::filesystem::path LibDir() { return ExecutableDir().parent_path() / "lib"; }

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

unsigned long RunAndWait(const std::string& commandLine) {
  std::string line = commandLine;
  winport::STARTUPINFOA startup{};
  winport::PROCESS_INFORMATION process{};
  if (!winport::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
    return 999;
  winport::DWORD code = 998;
  if (winport::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
    winport::GetExitCodeProcess(process.hProcess, &code);
  winport::CloseHandle(process.hProcess);
  winport::CloseHandle(process.hThread);
  return code;
}

}  // namespace winport::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char tmpl[] = "/tmp/winport-test-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) {
    perror("mkdtemp");
    return 2;
  }
  winport::testing::g_prefix = dir;
  setenv("WINPORT_PREFIX", dir, 1);
  unsetenv("WINPORT_TIME_OFFSET");
  int rc = RUN_ALL_TESTS();
  if (!std::getenv("WINPORT_KEEP_PREFIX")) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return rc;
}
