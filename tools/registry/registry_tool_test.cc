// Drives build/bin/registry as a user would, in the test's prefix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "testing.h"
#include "winport/registry.h"

extern char** environ;

namespace {

struct Result {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

std::string Drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

Result RunTool(std::vector<std::string> args) {
  args.insert(args.begin(), (winport::testing::BinDir() / "registry").string());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Standard error goes to a file so that neither pipe can fill up while the other is read.
  auto errFile = winport::testing::MakeTempDir("err") / "stderr";
  int out[2];
  Result r;
  if (pipe(out) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return r;
  }
  r.out = Drain(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = winport::testing::ReadFile(errFile);
  return r;
}

const std::string kKey = "HKLM\\SOFTWARE\\Tessaline\\Orbilink";

TEST(RegistryTool, SetQueryDeleteWithExitStatus) {
  EXPECT_EQ(RunTool({"set", kKey, "TraceLevel", "--dword", "0x1f"}).status, 0);
  EXPECT_EQ(RunTool({"set", kKey, "DllTraceFileName", "--sz", "c:\\Orbilink\\trace.txt"}).status,
            0);
  EXPECT_EQ(RunTool({"set", kKey, "Servers", "--multi-sz", "a", "b c"}).status, 0);
  EXPECT_EQ(RunTool({"set", kKey, "Blob", "--binary", "00ff10"}).status, 0);
  EXPECT_EQ(RunTool({"set", kKey, "Root", "--expand-sz", "%SystemRoot%"}).status, 0);

  EXPECT_EQ(RunTool({"query", kKey, "tracelevel"}).out, "31\n");
  EXPECT_EQ(
      RunTool({"query", "HKEY_LOCAL_MACHINE\\software\\tessaline\\orbilink", "DllTraceFileName"})
          .out,
      "c:\\Orbilink\\trace.txt\n");
  EXPECT_EQ(RunTool({"query", kKey, "Servers"}).out, "a\nb c\n");
  EXPECT_EQ(RunTool({"query", kKey, "Blob"}).out, "00 ff 10\n");

  // What the tool wrote is what the API reads.
  winport::HKEY h = nullptr;
  ASSERT_EQ(winport::RegOpenKeyExA(winport::HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink", 0,
                                   winport::KEY_READ, &h),
            winport::ERROR_SUCCESS);
  winport::DWORD type = 0, v = 0, cb = sizeof v;
  ASSERT_EQ(winport::RegQueryValueExA(h, "TraceLevel", nullptr, &type,
                                      reinterpret_cast<winport::BYTE*>(&v), &cb),
            winport::ERROR_SUCCESS);
  EXPECT_EQ(type, winport::REG_DWORD);
  EXPECT_EQ(v, 31u);
  winport::RegCloseKey(h);

  Result missing = RunTool({"query", kKey, "NoSuchValue"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("NoSuchValue"), std::string::npos) << missing.err;
  EXPECT_EQ(RunTool({"query", kKey + "\\NoSuchKey"}).status, 1);
  EXPECT_EQ(RunTool({"delete", kKey, "Blob"}).status, 0);
  EXPECT_EQ(RunTool({"delete", kKey, "Blob"}).status, 1);
  EXPECT_EQ(RunTool({"set", kKey + "\\Sub\\Deeper", "x", "--sz", "y"}).status, 0);
  EXPECT_EQ(RunTool({"delete", kKey + "\\Sub"}).status, 0);  // with everything below it
  EXPECT_EQ(RunTool({"query", kKey + "\\Sub"}).status, 1);

  // Bad usage.
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"set", kKey, "X", "--dword", "12abc"},
           {"set", kKey, "X", "--dword", "4294967296"},
           {"set", kKey, "X", "--binary", "0g"},
           {"set", kKey, "X", "--qword", "1"},
           {"query", "HKXX\\Software"},
           {"delete", "HKLM"},
       })
    EXPECT_EQ(RunTool(bad).status, 2) << (bad.empty() ? "" : bad[0]);
  EXPECT_EQ(RunTool({"set", "HKLM\\HARDWARE\\X", "v", "--sz", "x"}).status,
            2);  // generated, read-only
}

TEST(RegistryTool, ExportAndImportRoundTrip) {
  ASSERT_EQ(
      RunTool({"set", "HKCU\\Software\\ToolTrip", "Name \"with\" \\odd", "--sz", "ünïcode \\ \""})
          .status,
      0);
  ASSERT_EQ(RunTool({"set", "HKCU\\Software\\ToolTrip\\Child", "n", "--dword", "7"}).status, 0);
  Result exported = RunTool({"export", "HKCU\\Software\\ToolTrip"});
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(
      exported.out.rfind(
          "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\ToolTrip]\r\n",
          0),
      0u)
      << exported.out;

  auto dir = winport::testing::MakeTempDir("reg");
  std::ofstream(dir / "trip.reg", std::ios::binary) << exported.out;
  ASSERT_EQ(RunTool({"delete", "HKCU\\Software\\ToolTrip"}).status, 0);
  ASSERT_EQ(RunTool({"query", "HKCU\\Software\\ToolTrip"}).status, 1);
  Result imported = RunTool({"import", (dir / "trip.reg").string()});
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(RunTool({"export", "HKCU\\Software\\ToolTrip"}).out, exported.out);

  // The whole registry: stored keys only, so it imports again as it stands.
  Result all = RunTool({"export"});
  ASSERT_EQ(all.status, 0);
  EXPECT_NE(
      all.out.find("[HKEY_CURRENT_USER\\Software\\ToolTrip\\Child]\r\n\"n\"=dword:00000007\r\n"),
      std::string::npos);
  EXPECT_EQ(all.out.find("CentralProcessor"), std::string::npos);
  std::ofstream(dir / "all.reg", std::ios::binary) << all.out;
  EXPECT_EQ(RunTool({"import", (dir / "all.reg").string()}).status, 0);

  // A damaged file: status 2, the line named, nothing applied.
  std::ofstream(dir / "bad.reg", std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                                      "[HKCU\\Software\\ToolBad]\r\n"
                                                      "\"a\"=dword:00000001\r\n"
                                                      "\"b\"=dword:xyz\r\n";
  Result bad = RunTool({"import", (dir / "bad.reg").string()});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("line 5"), std::string::npos) << bad.err;
  EXPECT_EQ(RunTool({"query", "HKCU\\Software\\ToolBad"}).status, 1);
  EXPECT_EQ(RunTool({"import", (dir / "missing.reg").string()}).status, 2);
}

}  // namespace
