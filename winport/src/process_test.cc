#include "winport/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sync_test_child.h"
#include "testing.h"
#include "winport/clock.h"
#include "winport/error.h"
#include "winport/handle.h"
#include "winport/path.h"
#include "winport/sync.h"
#include "winport/thread.h"

namespace winport {
namespace {

using test::ChildProgram;
using test::Finish;
using test::RunChild;
using test::StartChild;
using test::UniqueName;

BOOL Start(const char* application, std::string line, PROCESS_INFORMATION* info,
           const char* directory = nullptr) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  return CreateProcessA(application, line.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, directory, &startup,
                        info);
}

// Installs the helper as a program of the emulated machine, e.g. "c:\Orbilink\bin\diagview".
void Install(const std::string& winPath) {
  std::filesystem::path host = HostPath(winPath);
  std::filesystem::create_directories(host.parent_path());
  std::filesystem::copy_file(ChildProgram(), host,
                             std::filesystem::copy_options::overwrite_existing);
}

TEST(Process, ExitCodeAndWaitWithATimeLimit) {
  std::string name = UniqueName("go");
  HANDLE go = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(Start(nullptr, "\"" + ChildProgram() + "\" wait-event " + name, &info))
      << GetLastError();
  EXPECT_NE(info.dwProcessId, 0u);
  EXPECT_NE(info.dwProcessId, GetCurrentProcessId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 30), WAIT_TIMEOUT);
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 0u);
  // Reaped, not left a zombie.
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(info.dwProcessId)));
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);

  EXPECT_EQ(RunChild("exit 3"), 3u);
  EXPECT_EQ(RunChild("exit 255"), 255u);
  CloseHandle(go);
}

// A started program counts as ready for input once it says so or first waits for messages;
// one that never does ends the wait at its time limit or when it ends.
TEST(Process, InputIdleWaitsForTheChildToBeReady) {
  std::string name = UniqueName("go");
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  for (const char* command : {"idle-wait", "message-wait"}) {
    SCOPED_TRACE(command);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(nullptr, "\"" + ChildProgram() + "\" " + command + " " + name, &info));
    EXPECT_EQ(WaitForInputIdle(info.hProcess, 20000), 0u);
    // Still running: the wait ended because it became ready, not because it ended.
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForInputIdle(info.hProcess, 0), 0u);
    SetEvent(go);
    EXPECT_EQ(Finish(info.hProcess), 0u);
    CloseHandle(info.hThread);
    ResetEvent(go);
  }

  PROCESS_INFORMATION info{};
  ASSERT_TRUE(Start(nullptr, "\"" + ChildProgram() + "\" wait-event " + name, &info));
  EXPECT_EQ(WaitForInputIdle(info.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(go);
  EXPECT_EQ(WaitForInputIdle(info.hProcess, 20000), 0u);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0);
  EXPECT_EQ(Finish(info.hProcess), 0u);
  CloseHandle(info.hThread);
  EXPECT_EQ(WaitForInputIdle(go, 0), static_cast<DWORD>(WAIT_FAILED));
  // Not started by CreateProcessA: nobody waits, nothing happens.
  EXPECT_FALSE(ReportInputIdle());
  CloseHandle(go);
}

TEST(Process, TerminateSetsTheExitCode) {
  HANDLE child = StartChild("block");
  ASSERT_NE(child, nullptr);
  EXPECT_TRUE(TerminateProcess(child, 77));
  EXPECT_EQ(WaitForSingleObject(child, 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(child, &code);
  EXPECT_EQ(code, 77u);
  EXPECT_FALSE(TerminateProcess(child, 1));  // it has ended
  CloseHandle(child);
  EXPECT_FALSE(TerminateProcess(child, 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Process, ArgumentsArriveAsTheCommandLineQuotesThem) {
  std::string out = (winport::testing::MakeTempDir("args") / "args").string();
  EXPECT_EQ(RunChild("args " + out + R"( plain "two words" "" a\"b "c:\dir\\" x""y)"), 0u);
  using namespace std::string_literals;
  EXPECT_EQ(winport::testing::ReadFile(out), "plain\0two words\0\0a\"b\0c:\\dir\\\0xy\0"s);
}

TEST(Process, ProgramsAreFoundThroughThePathMapping) {
  Install(R"(c:\Orbilink\bin\diagview)");
  Install(R"(c:\Program Files\Orbilink\irqcheck.exe)");
  PROCESS_INFORMATION info{};
  // With or without ".exe", in any case, and unquoted with a blank in the path.
  for (const char* line :
       {R"(c:\Orbilink\bin\diagview.exe exit 5)", R"(C:\ORBILINK\BIN\DIAGVIEW exit 5)",
        R"(c:\Program Files\Orbilink\irqcheck.exe exit 5)",
        R"("c:\Program Files\Orbilink\irqcheck.exe" exit 5)"}) {
    ASSERT_TRUE(Start(nullptr, line, &info)) << line << ": " << GetLastError();
    CloseHandle(info.hThread);
    EXPECT_EQ(Finish(info.hProcess), 5u) << line;
  }
  // The application name names the program; the command line gives the arguments.
  ASSERT_TRUE(Start(R"(c:\Orbilink\bin\diagview.exe)", "diagview exit 6", &info));
  CloseHandle(info.hThread);
  EXPECT_EQ(Finish(info.hProcess), 6u);
  // A plain name is also looked for on PATH.
  ASSERT_TRUE(Start(nullptr, "false.exe", &info));
  CloseHandle(info.hThread);
  EXPECT_EQ(Finish(info.hProcess), 1u);
}

TEST(Process, ChildrenShareThePrefixClockAndDirectory) {
  std::filesystem::path dir = winport::testing::MakeTempDir("env");
  std::string offsetFile = (dir / "offset").string();
  std::string prefixFile = (dir / "prefix").string();
  std::string cwdFile = (dir / "cwd").string();
  SetClockOffset(-86400);
  EXPECT_EQ(RunChild("env " + offsetFile + " WINPORT_TIME_OFFSET"), 0u);
  SetClockOffset(0);
  EXPECT_EQ(winport::testing::ReadFile(offsetFile), "-86400");
  EXPECT_EQ(RunChild("env " + prefixFile + " WINPORT_PREFIX"), 0u);
  EXPECT_EQ(std::filesystem::path(winport::testing::ReadFile(prefixFile)),
            winport::testing::Prefix());

  std::filesystem::create_directories(HostPath(R"(c:\Work)"));
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(Start(nullptr, "\"" + ChildProgram() + "\" cwd " + cwdFile, &info, R"(C:\work)"));
  CloseHandle(info.hThread);
  EXPECT_EQ(Finish(info.hProcess), 0u);
  EXPECT_EQ(std::filesystem::path(winport::testing::ReadFile(cwdFile)),
            std::filesystem::canonical(HostPath(R"(c:\Work)")));
}

TEST(Process, StartsThatCannotHappenReportWhy) {
  PROCESS_INFORMATION info{};
  EXPECT_FALSE(Start(nullptr, R"(c:\Orbilink\bin\missing.exe /X)", &info));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Start(nullptr, "no-such-program-anywhere", &info));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Start(nullptr, "", &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Start(nullptr, "\"" + ChildProgram() + "\" exit 0", &info, R"(c:\nowhere)"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  std::filesystem::path plain = HostPath(R"(c:\data\notes.exe)");
  std::filesystem::create_directories(plain.parent_path());
  std::ofstream(plain) << "not a program";
  EXPECT_FALSE(Start(nullptr, R"(c:\data\notes.exe)", &info));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  EXPECT_EQ(WinExec(R"(c:\Orbilink\bin\missing.exe /X)", SW_SHOWNORMAL), ERROR_FILE_NOT_FOUND);
  EXPECT_GT(WinExec("true", SW_HIDE), 31u);
}

}  // namespace
}  // namespace winport
