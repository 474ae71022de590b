// The upload run against a real health-reporting server process (or a raw socket where the
// exact bytes matter): what goes on the wire, which answers delete a file, time-outs, a server
// that dies, and a shutdown in the middle of a run.
#include "reports/Reports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

#include "reports/ReportsFixture_testing.h"

namespace {

namespace fs = std::filesystem;
using vitalis_testing::Count;
using vitalis_testing::Has;

// One-connection server in the test: reads one request whole (by its Content-Length), then
// answers `answer` and keeps the connection open until told to finish.
class RawServer {
 public:
  explicit RawServer(std::string answer, bool closeAfter = false, bool readNothing = false)
      : m_answer(std::move(answer)), m_bCloseAfter(closeAfter), m_bReadNothing(readNothing) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listener, 4);
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_nPort = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~RawServer() {
    ::shutdown(m_listener, SHUT_RDWR);
    ::close(m_listener);
    if (m_client >= 0) ::shutdown(m_client, SHUT_RDWR);
    m_thread.join();
    if (m_client >= 0) ::close(m_client);
  }
  int Port() const { return m_nPort; }
  // Waits until the answer went out; the request's bytes.
  std::string WaitForRequest() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait_for(hold, std::chrono::seconds(60), [&] { return m_answered; });
    return m_request;
  }

 private:
  void Serve() {
    m_client = ::accept(m_listener, nullptr, nullptr);
    if (m_client < 0) return;
    if (m_bReadNothing) {
      // Takes the first MiB (the client is sending by then), then reads no more.
      char chunk[65536];
      for (std::size_t got = 0; got < (1u << 20);) {
        ssize_t n = ::recv(m_client, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      std::lock_guard<std::mutex> hold(m_lock);
      m_answered = true;
      m_changed.notify_all();
      return;
    }
    std::string data;
    char buffer[65536];
    std::size_t total = std::string::npos;
    while (total == std::string::npos || data.size() < total) {
      ssize_t n = ::recv(m_client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
      std::size_t end = data.find("\r\n\r\n");
      std::size_t at = data.find("Content-Length:");
      if (total == std::string::npos && end != std::string::npos && at != std::string::npos)
        total = end + 4 + std::stoul(data.substr(at + 15));
    }
    ::send(m_client, m_answer.data(), m_answer.size(), MSG_NOSIGNAL);
    if (m_bCloseAfter) ::shutdown(m_client, SHUT_WR);
    std::lock_guard<std::mutex> hold(m_lock);
    m_request = data;
    m_answered = true;
    m_changed.notify_all();
  }

  std::string m_answer;
  bool m_bCloseAfter;
  bool m_bReadNothing;
  int m_listener = -1;
  int m_client = -1;
  int m_nPort = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::string m_request;
  bool m_answered = false;
};

class UploadTest : public ReportsTest {
 protected:
  std::string CurrentPath() {
    char path[MAX_PATH];
    store.GetCurrentReportPath(path, sizeof path);
    return Host(path);
  }
};

TEST_F(UploadTest, FilesGoOldestFirstThenTheCurrentOneAndAcceptedOnesAreDeleted) {
  HrServer server({});
  UseServer(server.Port());
  // Created in this order, named against it: the order sent is the creation order.
  std::vector<std::string> contents = {"[Report 1]\r\nA=1\r\n", "[Report 1]\r\nB=2\r\n",
                                       "[Report 1]\r\nC=3\r\n"};
  std::string c = MakeReport("HR2026010103.ini", contents[0]);
  std::string a = MakeReport("HR2026010101.ini", contents[1]);
  std::string b = MakeReport("HR2026010102.ini", contents[2]);
  std::string current = MakeReport(fs::path(CurrentPath()).filename(), "[Report 1]\r\nNow=1\r\n");
  Configure();

  ASSERT_TRUE(reports.Start());
  EXPECT_EQ(navigator.WaitForSent(), 0);
  WaitForRun();

  for (auto& path : {a, b, c, current}) EXPECT_FALSE(fs::exists(path)) << path;
  auto stored = server.Stored();
  ASSERT_EQ(stored.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(winport::testing::ReadFile(stored[i]), contents[i]);
  EXPECT_EQ(winport::testing::ReadFile(stored[3]), "[Report 1]\r\nNow=1\r\n");
  EXPECT_EQ(stored[0].parent_path().filename(), "N.A.");
  // The store went on in a new file so that the old current one could go.
  EXPECT_NE(CurrentPath(), current);
}

TEST_F(UploadTest, WireBytesAndPacketsOfTheLargestTransmissionUnit) {
  RawServer server("HTTP/1.0 202 Accepted\r\n");
  UseServer(server.Port());
  SetHealthReport("MaxTxUnit", 10240);
  SetHealthReport("ReportsTracing", 1);
  std::string content;
  for (int i = 0; content.size() < 25000; ++i) content += "Key" + std::to_string(i) + "=1\r\n";
  content.resize(25000);
  std::string path = MakeReport("HR2026010101.ini", content);
  Configure();

  ASSERT_TRUE(reports.Start());
  std::string request = server.WaitForRequest();
  EXPECT_EQ(navigator.WaitForSent(), 0);
  WaitForRun();

  const std::string body = "BODY 03 N.A. \r";
  EXPECT_EQ(request,
            "PUT Request-URI HTTP/1.0\r\nContent-Length:" + std::to_string(body.size() + 25002) +
                "\r\n\r\n" + body + content + "\r\n");
  EXPECT_FALSE(fs::exists(path));
  // The backup keeps the last packet: the 4520 bytes left after two full units, and CR LF.
  EXPECT_EQ(winport::testing::ReadFile(Host("c:\\Orbilink\\Vitalis\\ReportsBkupDir\\file   0.txt")),
            content.substr(20480) + "\r\n");
  std::string trace = Trace();
  EXPECT_EQ(Count(trace, "bytes sent = 10240, actual bytes = 10240"), 2);
  EXPECT_EQ(Count(trace, "bytes sent = 4522, actual bytes = 4520"), 1);
}

TEST_F(UploadTest, OnlyAStatus202DeletesAndUnansweredFilesWaitForTheirTimeOut) {
  fs::path script = winport::testing::MakeTempDir("script") / "replies";
  std::ofstream(script) << "202\n400\n500\ngarbage\nlong\n";
  HrServer server({"--script", script.string()});
  UseServer(server.Port());
  std::string empty = MakeReport("HR2026010100.ini", "");
  std::vector<std::string> files;
  for (int i = 1; i <= 5; ++i)
    files.push_back(MakeReport("HR202601010" + std::to_string(i) + ".ini",
                               "[Report 1]\r\nN=" + std::to_string(i) + "\r\n"));
  Configure();

  ASSERT_TRUE(reports.Start());
  ASSERT_FALSE(server.WaitForLine("status=", 5).empty());
  // 500, the invalid line and the over-long line leave their files waiting for the answer
  // time-out: move the clock past it.
  EXPECT_EQ(navigator.WaitForSentMovingClock(CReports::kAnswerTimeout + 1), 0);
  WaitForRun();

  EXPECT_FALSE(fs::exists(files[0]));
  for (int i = 1; i < 5; ++i) EXPECT_TRUE(fs::exists(files[i])) << files[i];
  EXPECT_TRUE(fs::exists(empty));
  std::string trace = Trace();
  EXPECT_TRUE(Has(trace, "file size is 0, not transmitting for this file"));
  EXPECT_TRUE(Has(trace, "CReports::Run-server received incomplete data - will retransmit"));
  EXPECT_TRUE(Has(trace, "invalid response recd from HR server"));
  EXPECT_TRUE(Has(trace, "Error while reading response line from server, size being exceeded"));
  EXPECT_EQ(Count(trace, "-- closing socket"), 3);
}

TEST_F(UploadTest, ServerKilledInTheMiddleOfARunLeavesEveryUnacceptedFile) {
  fs::path script = winport::testing::MakeTempDir("script") / "replies";
  std::ofstream(script) << "202\n";
  HrServer server({"--script", script.string(), "--reply", "none"});
  UseServer(server.Port());
  std::vector<std::string> files;
  for (int i = 1; i <= 4; ++i)
    files.push_back(MakeReport("HR202601010" + std::to_string(i) + ".ini", "[R]\r\nN=1\r\n"));
  Configure();

  ASSERT_TRUE(reports.Start());
  ASSERT_FALSE(server.WaitForLine("status=", 4).empty());
  server.Kill(SIGKILL);
  EXPECT_EQ(navigator.WaitForSent(), 0);
  WaitForRun();

  EXPECT_FALSE(fs::exists(files[0]));
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(fs::exists(files[i])) << files[i];
  EXPECT_EQ(Count(Trace(), "CReports::Run-server socket error - will retransmit next time"), 3);
}

// Answers without a whole first line of status 202 delete nothing: one that stalls half way
// (given up after the answer time-out), one cut short before its line ends, and a 202 that
// comes only after another status.
TEST_F(UploadTest, OnlyAWholeFirstAnswerLineOf202DeletesTheFile) {
  const struct {
    const char* answer;
    bool closeAfter;
    bool socketError;
  } answers[] = {
      {"HTTP/1.0 20", false, true},
      {"HTTP/1.0 202 Accepted", true, true},
      {"HTTP/1.0 500 Server Error\r\nHTTP/1.0 202 Accepted\r\n", false, false},
  };
  for (const auto& a : answers) {
    SCOPED_TRACE(a.answer);
    RawServer server(a.answer, a.closeAfter);
    UseServer(server.Port());
    std::string path = MakeReport("HR2026010101.ini", "[R]\r\nN=1\r\n");
    Configure();
    ASSERT_TRUE(reports.Start());
    server.WaitForRequest();
    EXPECT_EQ(navigator.WaitForSentMovingClock(CReports::kAnswerTimeout + 1), 0);
    WaitForRun();
    EXPECT_TRUE(fs::exists(path));
    if (a.socketError) {
      EXPECT_TRUE(Has(Trace(), "CReports::Run-server socket error - will retransmit next time"));
    }
  }
}

TEST_F(UploadTest, ShutdownInTheMiddleOfARunEndsItWithCodeOne) {
  fs::path script = winport::testing::MakeTempDir("script") / "replies";
  std::ofstream(script) << "202\n";
  HrServer server({"--script", script.string(), "--reply", "none"});
  UseServer(server.Port());
  std::vector<std::string> files;
  for (int i = 1; i <= 3; ++i)
    files.push_back(MakeReport("HR202601010" + std::to_string(i) + ".ini", "[R]\r\nN=1\r\n"));
  Configure();

  ASSERT_TRUE(reports.Start());
  ASSERT_FALSE(server.WaitForLine("status=", 3).empty());
  reports.OnShutDown();
  EXPECT_EQ(navigator.WaitForSent(), 1);
  WaitForRun();

  // The first file's acceptance may or may not have been read before the stop; the others
  // were never accepted.
  EXPECT_TRUE(fs::exists(files[1]));
  EXPECT_TRUE(fs::exists(files[2]));
  EXPECT_TRUE(Has(Trace(), "CReports::Run - shutdown message received aborting op."));
}

TEST_F(UploadTest, ShutdownWhileThePeerStopsReadingEndsTheRun) {
  RawServer server("", false, true);
  UseServer(server.Port());
  SetHealthReport("MaxTxUnit", 1 << 20);
  // Far more than the two ends' socket buffers hold.
  std::string path = MakeReport("HR2026010101.ini", std::string(32 << 20, 'x'));
  Configure();

  ASSERT_TRUE(reports.Start());
  server.WaitForRequest();
  reports.OnShutDown();
  // The run is stuck on a full connection: only the shutdown poll before each write ends it.
  EXPECT_EQ(navigator.WaitForSent(), 1);
  WaitForRun();
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(UploadTest, NoServerAddressEndsTheRunAtItsStart) {
  std::string path = MakeReport("HR2026010101.ini", "[R]\r\nN=1\r\n");
  Configure();
  EXPECT_FALSE(reports.Start());
  EXPECT_EQ(navigator.WaitForSent(), 1);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_TRUE(Has(Trace(), "CReports::InitializeReportsThread - Invalid ip - not sending reports"));
}

TEST_F(UploadTest, CurrentFileGoesAloneAlwaysAndAfterOthersOnlyWhenOldEnough) {
  HrServer server({});
  UseServer(server.Port());
  // By the real clock every file is new: the current one is not ready to go.
  winport::SetNow(std::time(nullptr));
  std::string current = MakeReport(fs::path(CurrentPath()).filename(), "[R]\r\nCur=1\r\n");
  std::string older = MakeReport("HR2026010101.ini", "[R]\r\nOld=1\r\n");
  Configure();

  ASSERT_TRUE(reports.Start());
  EXPECT_EQ(navigator.WaitForSent(), 0);
  WaitForRun();
  EXPECT_FALSE(fs::exists(older));
  EXPECT_TRUE(fs::exists(current));
  EXPECT_EQ(CurrentPath(), current);

  // Alone, it goes without being asked about.
  ASSERT_TRUE(reports.Start());
  EXPECT_EQ(navigator.WaitForSent(), 0);
  WaitForRun();
  EXPECT_FALSE(fs::exists(current));
  EXPECT_EQ(server.Stored().size(), 2u);
}

TEST(ReportsResponse, StatusIsTheNumberAfterTheFirstBlank) {
  EXPECT_EQ(CTestReports::parseResponseForStatus("HTTP/1.0 202 Accepted\r"), 202);
  EXPECT_EQ(CTestReports::parseResponseForStatus("HTTP/1.0 20231 x"), 2023);
  EXPECT_EQ(CTestReports::parseResponseForStatus("HTTP/1.0 x"), 0);
  EXPECT_EQ(CTestReports::parseResponseForStatus("HTTP/1.0 "), -1);
  EXPECT_EQ(CTestReports::parseResponseForStatus("HTTP/1.0"), -1);
}

}  // namespace
