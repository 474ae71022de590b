#include "core/TraceLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/Win.h"
#include "testing.h"

namespace {

namespace fs = std::filesystem;
using winport::testing::MakeTempDir;
using winport::testing::ReadFile;

// A fresh log: closed, named, with `lines` as a lowered limit (so the counter starts at 1).
void Configure(const fs::path& file, DWORD lines, int level) {
  CTraceLog::Close();
  CTraceLog::Init(false);
  ASSERT_EQ(CTraceLog::SetTraceFileName(file.c_str()), 1);
  CTraceLog::SetTraceFileLen(0xFFFFFFFF);
  CTraceLog::SetTraceFileLen(lines);
  CTraceLog::SetTraceLevel(level);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class TraceLogTest : public ::testing::Test {
 protected:
  void TearDown() override { CTraceLog::Close(); }
  fs::path dir_ = MakeTempDir("trace");
};

TEST_F(TraceLogTest, MainLinesCarryCounterDateTimeAndClass) {
  fs::path file = dir_ / "HRDLL.log";
  Configure(file, 1000, 8);
  LogInfoF("StopVitalisDLL called %d", 5);
  LogError("CThing::Do - failed", 0);
  LogErrorF("%s", "plain");
  CTraceLog::Close();

  auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 3u);
  const std::string stamp = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)";
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(\[1\]:)" + stamp + R"(: Info->StopVitalisDLL called 5)")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1],
                               std::regex(R"(\[2\]:)" + stamp + R"(: Error->CThing::Do - failed)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\[3\]:)" + stamp + R"(: Error->plain)")))
      << lines[2];
}

TEST_F(TraceLogTest, LevelsGateInformationAndErrorLines) {
  fs::path errorsOnly = dir_ / "errors.log";
  Configure(errorsOnly, 1000, 2);
  LogInfoF("info at 2");
  LogInfo("info at 2", 0);
  LogLineInfo("short info at 2");
  LogErrorF("error at 2");
  CTraceLog::Close();
  std::string text = ReadFile(errorsOnly);
  EXPECT_EQ(text.find("info at 2"), std::string::npos);
  EXPECT_NE(text.find("Error->error at 2"), std::string::npos);

  // Level 1 (the registry default) writes nothing, so no file appears at all.
  fs::path silent = dir_ / "silent.log";
  Configure(silent, 1000, 1);
  LogErrorF("error at 1");
  LogError("error at 1", 5);
  LogLineError("short error at 1");
  CTraceLog::Close();
  EXPECT_FALSE(fs::exists(silent));
  EXPECT_FALSE(fs::exists(dir_ / "silent.log.txt"));
}

TEST_F(TraceLogTest, SystemErrorCodeAddsItsTextOrReplacesTheLine) {
  fs::path file = dir_ / "codes.log";
  Configure(file, 1000, 8);
  LogError("CreateFile", 2);            // ERROR_FILE_NOT_FOUND has a text
  LogError("Mystery call", 0x7ABCDEF);  // no text for this one
  CTraceLog::Close();
  auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(Error->CreateFile failed\. .+ \(0x2\)$)")))
      << lines[0];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"(Error->GetLastError returned NULL$)")))
      << lines[1];
  EXPECT_EQ(lines[1].find("Mystery"), std::string::npos);
}

TEST_F(TraceLogTest, WrapsToTheStartAtTheLineLimitLeavingOldTails) {
  fs::path file = dir_ / "wrap.log";
  Configure(file, 10, 8);
  for (int i = 1; i <= 9; ++i) LogInfoF("a fairly long line number %d", i);
  std::string before = ReadFile(file);
  LogInfoF("ten");
  std::string after = ReadFile(file);

  // The tenth line went over the first in place: same size, the rest untouched.
  EXPECT_EQ(after.size(), before.size());
  EXPECT_EQ(after.rfind("[10]:", 0), 0u) << after;
  EXPECT_EQ(after.find("[1]:"), std::string::npos);
  std::size_t tenEnd = after.find('\n') + 1;
  std::size_t firstEnd = before.find('\n') + 1;
  // Behind the newest line stays the tail of the old first line, then lines 2 to 9.
  EXPECT_EQ(after.substr(tenEnd, firstEnd - tenEnd), before.substr(tenEnd, firstEnd - tenEnd));
  EXPECT_EQ(after.substr(firstEnd), before.substr(firstEnd));
  EXPECT_NE(after.find("[9]:"), std::string::npos);

  // The eleventh line follows the tenth.
  LogInfoF("eleven");
  std::string next = ReadFile(file);
  auto lines = Lines(next);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[1].find("[11]:"), std::string::npos);
  EXPECT_NE(lines[1].find("Info->eleven"), std::string::npos);
}

TEST_F(TraceLogTest, LoweringTheLimitEmptiesTheFileAndRestartsTheCounter) {
  fs::path file = dir_ / "lower.log";
  Configure(file, 1000, 8);
  LogInfoF("one");
  LogInfoF("two");
  LogInfoF("three");
  EXPECT_NE(ReadFile(file).find("[3]:"), std::string::npos);

  CTraceLog::SetTraceFileLen(500);
  EXPECT_EQ(ReadFile(file), "");
  LogInfoF("again");
  auto lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("[1]:", 0), 0u) << lines[0];

  // Raising it keeps file and counter.
  CTraceLog::SetTraceFileLen(2000);
  LogInfoF("more");
  EXPECT_EQ(Lines(ReadFile(file)).size(), 2u);
  EXPECT_EQ(CTraceLog::GetTraceFileLen(), 2000u);
}

TEST_F(TraceLogTest, ShortFormWriterOpensTheTxtFileWhichTheMainWriterThenShares) {
  fs::path file = dir_ / "HRDLL.log";
  Configure(file, 1000, 8);
  LogLine("ProxyBag::~ProxyBag");
  LogInfoF("main line");
  CTraceLog::Close();

  EXPECT_FALSE(fs::exists(file));
  auto lines = Lines(ReadFile(dir_ / "HRDLL.log.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(     \d\d:\d\d:\d\d ProxyBag::~ProxyBag)")))
      << lines[0];
  EXPECT_NE(lines[1].find("Info->main line"), std::string::npos);
}

TEST_F(TraceLogTest, ReopeningAfterCloseStartsAFreshFile) {
  fs::path file = dir_ / "reopen.log";
  Configure(file, 1000, 8);
  LogInfoF("first run");
  CTraceLog::Close();
  LogInfoF("second run");  // recreates the lock itself
  CTraceLog::Close();
  std::string text = ReadFile(file);
  EXPECT_EQ(text.find("first run"), std::string::npos);
  EXPECT_NE(text.find("second run"), std::string::npos);
}

TEST_F(TraceLogTest, UnwritableFileAndBadNamesAreHarmless) {
  Configure(dir_ / "missing-dir" / "x.log", 1000, 8);
  LogInfoF("goes nowhere");
  LogError("goes nowhere", 2);
  LogLine("goes nowhere");
  EXPECT_FALSE(CTraceLog::CheckForTraceFile());
  EXPECT_FALSE(fs::exists(dir_ / "missing-dir"));

  char name[MAX_PATH];
  CTraceLog::GetTraceFileName(name, sizeof name);
  EXPECT_EQ(CTraceLog::SetTraceFileName(""), -1);
  EXPECT_EQ(CTraceLog::SetTraceFileName(std::string(260, 'x').c_str()), -1);
  char after[MAX_PATH];
  CTraceLog::GetTraceFileName(after, sizeof after);
  EXPECT_STREQ(name, after);
  EXPECT_EQ(CTraceLog::SetTraceFileName(std::string(259, 'x').c_str()), 1);
}

TEST_F(TraceLogTest, ClosingWhileOtherThreadsWriteLosesNoLineShape) {
  // Workers log for the whole run while the host closes and reopens the log under them, as
  // StopVitalisDLL may while a worker given up on still writes its last lines.
  fs::path file = dir_ / "busy.log";
  Configure(file, 1000000, 8);
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([w] {
      for (int i = 0; i < kLines; ++i) {
        if (i % 2 == 0) {
          LogInfoF("writer %d line %d", w, i);
        } else {
          LogLine("short line");
        }
      }
    });
  }
  for (int i = 0; i < 50; ++i) {
    CTraceLog::Close();
    CTraceLog::Init(false);
  }
  for (auto& t : writers) t.join();
  CTraceLog::Close();

  // Each reopening started a fresh file (the main writer's, or the short-form writer's ".txt"
  // when it came first); what they hold now are whole lines of either writer.
  std::size_t lines = 0;
  const std::regex shape(R"((\[\d+\]:\d\d/\d\d/\d\d \d\d:\d\d:\d\d: Info->writer \d line \d+)|)"
                         R"(( {5}\d\d:\d\d:\d\d short line))");
  for (const fs::path& written : {file, fs::path(file.string() + ".txt")}) {
    if (!fs::exists(written)) continue;
    for (const std::string& line : Lines(ReadFile(written))) {
      ++lines;
      EXPECT_TRUE(std::regex_match(line, shape)) << line;
    }
  }
  EXPECT_GT(lines, 0u);
}

TEST_F(TraceLogTest, FatalWritesItsLinesAndEndsTheProcessWithAFailure) {
  fs::path file = dir_ / "fatal.log";
  Configure(file, 1000, 8);
  EXPECT_EXIT(CTraceLog::Fatal("ProxyBag::Add - out of memory"), ::testing::ExitedWithCode(1), "");
  std::string text = ReadFile(fs::path(file.string() + ".txt"));
  EXPECT_NE(text.find("ProxyBag::Add - out of memory\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Service\tname is not specified\n"), std::string::npos) << text;
}

}  // namespace
