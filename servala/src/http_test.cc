// The request handler on its own: status texts, error pages, headers, page rewriting, includes
// and content types.
#include "servala/http.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <winport/clock.h>
#include <winport/registry.h>

#include <ctime>
#include <fstream>

#include "file_cache.h"
#include "paths.h"
#include "servala/status.h"
#include "servala/util.h"
#include "servala_testing.h"
#include "strutil.h"
#include "testing.h"

namespace servala {
namespace {

namespace fs = std::filesystem;

using testing::WriteFile;

// 2026-12-06 20:05:09 local time, a Sunday.
std::time_t FixedTime() {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_hour = 20;
  t.tm_min = 5;
  t.tm_sec = 9;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

std::string Body(const std::string& reply) {
  const auto p = reply.find("\r\n\r\n");
  return p == std::string::npos ? "" : reply.substr(p + 4);
}

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winport::SetNow(FixedTime());
    root_ = winport::testing::MakeTempDir("site") / "html";
    fs::create_directories(root_);
    h_.VirtualPath = root_.string();
    h_.ServerSoftware = "Test/1.0";
    h_.ServerPort = "8080";
    h_.Types = &types_;
    h_.Names = &names_;
    h_.Context.RemoteAddr = "127.0.0.1";
  }
  std::string Serve(const std::string& name, const std::string& text) {
    WriteFile(root_ / name, text);
    return h_.ServeFile((root_ / name).string(), "200", h_.Context, false);
  }
  fs::path root_;
  ContentTypeCache types_;
  HostNames names_;
  cls_HTTP h_;
};

TEST(StatusTest, TablesInBothDirections) {
  EXPECT_EQ(GetStatusText("200"), "OK");
  EXPECT_EQ(GetStatusText("302"), "Moved Temporarily");
  EXPECT_EQ(GetStatusText("503"), "Service Unavailable");
  EXPECT_EQ(GetStatusText("418"), "Undefined Status Code");
  EXPECT_EQ(GetStatusText("ok"), "Undefined Status Code");
  EXPECT_EQ(GetStatusCode("Not Found"), "404");
  EXPECT_EQ(GetStatusCode("not found"), "299");
  EXPECT_EQ(GetStatusCode("Teapot"), "299");
}

TEST(StatusTest, ErrorPages) {
  cls_ErrorFiles pages;
  EXPECT_EQ(pages.GetErrorPage("404"),
            "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
            "charset=iso-8859-1\"><title>HTTP Error 404</title></head><body "
            "bgcolor=\"#FFFFFF\"><p><font color=\"#FF0000\" face=\"Arial\"><strong>HTTP 404: "
            "File Not Found</strong></font></p><dl><dt><font face=\"Arial\">Sorry, the requested "
            "page does not exist on this server.</font></dt><dt><font face=\"Arial\">It is "
            "possible you typed the address incorrectly or that the page no longer exists. "
            "</font></dt></dl></body></html>");
  EXPECT_EQ(pages.GetErrorPage("999"), pages.GetErrorPage("501"));
  EXPECT_NE(pages.GetErrorPage("304").find("<dl><dt>&nbsp;</dt><dt>&nbsp;</dt></dl>"),
            std::string::npos);
  EXPECT_NE(pages.GetErrorPage("ServerTooBusy").find("handle you request.</dt><dt>&nbsp;</dt>"),
            std::string::npos);
  // The page sent on the reserved slot has the single description line.
  const std::string busy = cls_HTTP().BuildTooBusyPage();
  EXPECT_NE(busy.find("<title>Error: Server Too Busy</title>"), std::string::npos);
  EXPECT_NE(busy.find("handle you request.</dt></dl></body></html>"), std::string::npos);
}

TEST_F(HttpTest, HeaderLines) {
  EXPECT_EQ(h_.BuildHeader("200", 12, "text/html", true),
            "HTTP/1.0 200 OK\r\nServer: Test/1.0\r\nDate: Sun, 06 Dec 2026 08:05:09PM\r\n"
            "Content-Length: 12\r\nContent-Type: text/html\r\n\r\n");
  EXPECT_EQ(h_.BuildHeader("299", 0, "  ", false),
            "HTTP/1.0 299 Undefined Status Code\r\nServer: Test/1.0\r\n"
            "Date: Sun, 06 Dec 2026 08:05:09PM\r\n");
}

TEST_F(HttpTest, ErrorReplies) {
  const std::string page = cls_ErrorFiles().GetErrorPage("404");
  EXPECT_EQ(h_.BuildErrorReply("404", false, true),
            h_.BuildHeader("200", static_cast<long long>(page.size()), "text/html", true) + page);
  EXPECT_EQ(h_.BuildErrorReply("404", false, false), h_.BuildHeader("404", 0, "text/html", true));
}

TEST_F(HttpTest, FileGetsExactLengthAndContentType) {
  std::string body("abc\0def\n", 8);
  WriteFile(root_ / "data.bin", body);
  const std::string reply = h_.ServeFile((root_ / "data.bin").string(), "200", h_.Context);
  EXPECT_NE(reply.find("Content-Length: 8\r\n"), std::string::npos);
  EXPECT_NE(reply.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
  EXPECT_EQ(reply.substr(reply.size() - 8), body);
  EXPECT_EQ(h_.ServeFile((root_ / "none.txt").string(), "200", h_.Context), "");
  // An empty file says so, or clients would read on to the end of the connection.
  WriteFile(root_ / "empty.txt", "");
  const std::string empty = h_.ServeFile((root_ / "empty.txt").string(), "200", h_.Context);
  EXPECT_NE(empty.find("\r\nContent-Length: 0\r\nContent-Type: text/plain\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(Body(empty), "");
}

TEST_F(HttpTest, LargeFilesStayInTheFileAndOnlyTheFileLookedUpIsServed) {
  const fs::path big = root_ / "big.bin";
  WriteFile(big, std::string(FileCache::kMaxEntryBytes + 1, 'b'));
  struct stat st {};
  ASSERT_EQ(::stat(big.c_str(), &st), 0);
  HttpReply reply = h_.ServeFileReply(big.string(), FileIdentity::Of(st), "200", h_.Context, false);
  EXPECT_TRUE(reply.file);
  EXPECT_EQ(reply.fileLength, static_cast<off_t>(FileCache::kMaxEntryBytes + 1));
  EXPECT_NE(reply.text.find("Content-Length: " + std::to_string(FileCache::kMaxEntryBytes + 1) +
                            "\r\nContent-Type: application/octet-stream\r\n\r\n"),
            std::string::npos);
  EXPECT_EQ(Body(reply.text), "");
  HttpReply head = h_.ServeFileReply(big.string(), FileIdentity::Of(st), "200", h_.Context, true);
  EXPECT_FALSE(head.file);
  EXPECT_EQ(head.text, reply.text);

  // The path now names another file, or a FIFO: nothing is served, and nothing waits.
  fs::remove(big);
  WriteFile(big, "other");
  EXPECT_EQ(h_.ServeFileReply(big.string(), FileIdentity::Of(st), "200", h_.Context, false).text,
            "");
  fs::remove(big);
  ASSERT_EQ(::mkfifo(big.c_str(), 0600), 0);
  HttpReply fifo = h_.ServeFileReply(big.string(), FileIdentity::Of(st), "200", h_.Context, false);
  EXPECT_EQ(fifo.text, "");
  EXPECT_FALSE(fifo.file);
}

TEST_F(HttpTest, ContentTypeFromRegistryThenBuiltInTable) {
  using namespace winport;
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".zzq", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const char type[] = "application/x-zzq";
  ASSERT_EQ(RegSetValueExA(key, "Content Type", 0, REG_SZ, reinterpret_cast<const BYTE*>(type),
                           sizeof type),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(h_.ContentTypeFor("a.ZZQ"), "application/x-zzq");
  EXPECT_EQ(h_.ContentTypeFor("page.html"), "text/html");   // the host's MIME table
  EXPECT_EQ(h_.ContentTypeFor("notes.wtx"), "text/plain");  // only the built-in table
  EXPECT_EQ(h_.ContentTypeFor("x.qqqq"), "");
  EXPECT_EQ(h_.ContentTypeFor("noext"), "");
}

TEST_F(HttpTest, DirectivesAreCompactedEvenWithoutIncludes) {
  h_.SSIEnable = false;
  EXPECT_EQ(Serve("a.html", "<p><!--#echo var=\"DATE_GMT\" --><!--# x -->< % <% = \"a\" %></p>"),
            "<p><!--#echovar=DATE_GMT--><!--#x-->< % <%=a%></p>");
  // Not an HTML page: left as it is.
  EXPECT_EQ(Serve("a.txt", "<!--#echo var=\"DATE_GMT\" -->"), "<!--#echo var=\"DATE_GMT\" -->");
}

TEST_F(HttpTest, ServerVariables) {
  h_.SSIEnable = true;
  std::tm lt = winport::LocalTime(FixedTime());
  char gmt[64];
  std::strftime(gmt, sizeof gmt, "%a, %d %b %Y %H:%M:%S GMT", &lt);
  EXPECT_EQ(Serve("v.html",
                  "<!--#echo var=\"DATE_GMT\" -->|<%=REMOTE_ADDR%>|<%=remote_addr%>|"
                  "<%=Request.ServerVariables(\"SERVER_PORT\")%>|"
                  "<%=Request.QueryString(\"a\")%>|<%=DATE%>|<%=TIME%>|<%=DAY_OF_WEEK%>"),
            std::string(gmt) + "|127.0.0.1||8080||12/06/2026|08:05:09PM|Sunday");
  // A function tag stops its kind: the later short tag stays, unless the same tag came before
  // it, as every occurrence of a tag found is replaced.
  EXPECT_EQ(Serve("f.html", "<%=SERVER_PORT%><%=Function x%><%=TIME%>"),
            "8080<%=Functionx%><%=TIME%>");
  EXPECT_EQ(Serve("g.html", "<%=TIME%>,<%=Function x%>,<%=TIME%>,<%=time%>"),
            "08:05:09PM,<%=Functionx%>,08:05:09PM,<%=time%>");
}

TEST_F(HttpTest, RequestValuesAreEscaped) {
  h_.SSIEnable = true;
  h_.Context.UserAgent = "<script>alert(\"x\")</script>&'";
  h_.Context.Target = "/v.html?<b>";
  h_.ServerSoftware = "<Own>";
  EXPECT_EQ(Serve("v.html", "<%=HTTP_USER_AGENT%>|<%=DOCUMENT_URI%>|<%=SERVER_SOFTWARE%>"),
            "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;|/v.html?&lt;b&gt;|<Own>");
}

TEST_F(HttpTest, RemoteHostIsLookedUpOffTheLoop) {
  h_.SSIEnable = true;
  // Until the name is known the page shows the address; then the name.
  EXPECT_EQ(Serve("h.html", "<%=REMOTE_HOST%>"), "127.0.0.1");
  names_.WaitIdle();
  h_.Context.RemoteHostLooked = false;
  const std::string name = HtmlEscape(cls_WinSock().HostNameFromAddress("127.0.0.1"));
  EXPECT_EQ(Serve("h.html", "<%=REMOTE_HOST%>"), name);
  // Stopping ends the worker and keeps what is known; the next new address starts another.
  names_.Stop();
  h_.Context.RemoteHostLooked = false;
  EXPECT_EQ(Serve("h.html", "<%=REMOTE_HOST%>"), name);
  h_.Context.RemoteAddr = "127.0.0.2";
  h_.Context.RemoteHostLooked = false;
  EXPECT_EQ(Serve("h.html", "<%=REMOTE_HOST%>"), "127.0.0.2");
  names_.WaitIdle();
  h_.Context.RemoteHostLooked = false;
  EXPECT_EQ(Serve("h.html", "<%=REMOTE_HOST%>"),
            HtmlEscape(cls_WinSock().HostNameFromAddress("127.0.0.2")));
  // Without a place to look names up, the page shows the address.
  h_.Names = nullptr;
  h_.Context.RemoteHostLooked = false;
  EXPECT_EQ(Serve("h.html", "<%=REMOTE_HOST%>"), "127.0.0.2");
}

TEST_F(HttpTest, Includes) {
  h_.SSIEnable = true;
  WriteFile(root_.parent_path() / "up.txt", "ABOVE");
  WriteFile(root_ / "up.txt", "INSIDE");
  WriteFile(root_ / "inner.html", "[<%=SERVER_PORT%><!--#include virtual=\"leaf.txt\" -->]");
  WriteFile(root_ / "leaf.txt", "leaf");
  EXPECT_EQ(Serve("i.html",
                  "<!--#include virtual=\"../up.txt\" -->,<!--#include file=\"../up.txt\" -->,"
                  "<!--#include file=\"/INNER.html\" -->,<!--#include virtual=\"gone.txt\" -->"),
            "INSIDE,ABOVE,[8080leaf],<!--#includevirtual=gone.txt-->");
  // One step above the root is all an include file name may take.
  const fs::path twoUp = root_.parent_path().parent_path() / "twoup.txt";
  WriteFile(twoUp, "TWO UP");
  EXPECT_EQ(Serve("k.html",
                  "<!--#include file=\"../../twoup.txt\" -->,"
                  "<!--#include file=\"../html/../../twoup.txt\" -->"),
            "<!--#includefile=../../twoup.txt-->,<!--#includefile=../html/../../twoup.txt-->");
  fs::remove(twoUp);
  // Without SSI the directives are only compacted.
  h_.SSIEnable = false;
  EXPECT_EQ(Serve("j.html", "<!--#include file=\"leaf.txt\" -->"), "<!--#includefile=leaf.txt-->");
}

TEST_F(HttpTest, SelfIncludeStopsAtTheNestingBound) {
  h_.SSIEnable = true;
  const std::string page = Serve("self.html", "x<!--#include file=\"self.html\" -->");
  EXPECT_EQ(page, std::string(17, 'x') + "<!--#includefile=self.html-->");
}

TEST_F(HttpTest, IncludeBudgetIsPerPageNotPerHandler) {
  // A slot's handler serves page after page; each page gets the whole include budget.
  h_.SSIEnable = true;
  WriteFile(root_ / "leaf.txt", "L");
  WriteFile(root_ / "two.html",
            "<!--#include file=\"leaf.txt\" --><!--#include file=\"leaf.txt\" -->");
  for (int i = 0; i < 600; ++i)
    ASSERT_EQ(h_.ServeFile((root_ / "two.html").string(), "200", h_.Context, false), "LL") << i;
}

// Kept files: with the clock well past the files' times, copies are kept and used, and every
// change that gives the file another identity is seen at once.
class KeptFileTest : public HttpTest {
 protected:
  void SetUp() override {
    HttpTest::SetUp();
    h_.Files = &files_;
    h_.SSIEnable = true;
  }
  std::string Get(const std::string& name) {
    const std::string path = (root_ / name).string();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "(none)";
    winport::SetNow(std::time(nullptr) + 60);
    return h_.ServeFile(path, FileIdentity::Of(st), "200", h_.Context, false);
  }
  FileCache files_;
};

TEST_F(KeptFileTest, ChangesAreSeenAndCopiesServed) {
  WriteFile(root_ / "leaf.txt", "one");
  WriteFile(root_ / "page.html", "[<!--#include file=\"leaf.txt\" -->|<%=SERVER_PORT%>]");
  EXPECT_EQ(Get("page.html"), "[one|8080]");
  EXPECT_EQ(files_.Count(), 2u);
  // Server variables are worked out on every request, never kept.
  h_.ServerPort = "9090";
  EXPECT_EQ(Get("page.html"), "[one|9090]");

  // Rewritten in place with another length; replaced by a rename with the same length.
  WriteFile(root_ / "leaf.txt", "three");
  EXPECT_EQ(Get("page.html"), "[three|9090]");
  WriteFile(root_ / "new.txt", "THREE");
  fs::rename(root_ / "new.txt", root_ / "leaf.txt");
  EXPECT_EQ(Get("page.html"), "[THREE|9090]");
  fs::remove(root_ / "leaf.txt");
  EXPECT_EQ(Get("page.html"), "[<!--#includefile=leaf.txt-->|9090]");

  // A copy is used only for the identity it was read with: a stale identity reads afresh.
  WriteFile(root_ / "leaf.txt", "x");
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "leaf.txt").c_str(), &st), 0);
  FileIdentity old = FileIdentity::Of(st);
  old.size += 1;
  EXPECT_EQ(h_.ServeFile((root_ / "leaf.txt").string(), old, "200", h_.Context, false), "x");
}

TEST_F(KeptFileTest, FreshlyChangedFilesAreNotKept) {
  WriteFile(root_ / "a.txt", "a");
  const std::string path = (root_ / "a.txt").string();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  winport::SetNow(std::time(nullptr));
  EXPECT_EQ(h_.ServeFile(path, FileIdentity::Of(st), "200", h_.Context, false), "a");
  EXPECT_EQ(files_.Count(), 0u);
}

TEST(FileCacheTest, BoundedByEntryAndTotalSizeLeastRecentlyUsedFirst) {
  FileCache cache;
  const std::time_t now = std::time(nullptr);
  FileIdentity id;
  id.size = 1;
  auto file = [](std::size_t n) {
    return std::make_shared<CachedFile>(CachedFile{std::string(n, 'x'), ""});
  };
  cache.Store("/big", id, file(FileCache::kMaxEntryBytes), now);
  EXPECT_EQ(cache.Count(), 0u);
  const std::size_t each = FileCache::kMaxEntryBytes / 2;
  const std::size_t fit = FileCache::kMaxTotalBytes / (each + 2);
  for (std::size_t i = 0; i < fit; ++i) cache.Store("/" + std::to_string(i), id, file(each), now);
  EXPECT_EQ(cache.Count(), fit);
  ASSERT_NE(cache.Find("/0", id), nullptr);  // now the most recently used
  cache.Store("/more", id, file(each), now);
  EXPECT_LE(cache.TotalBytes(), FileCache::kMaxTotalBytes);
  EXPECT_NE(cache.Find("/0", id), nullptr);
  EXPECT_EQ(cache.Find("/1", id), nullptr);
  EXPECT_NE(cache.Find("/more", id), nullptr);
  // Another identity drops the entry.
  FileIdentity other = id;
  other.inode = 7;
  EXPECT_EQ(cache.Find("/more", other), nullptr);
  EXPECT_EQ(cache.Find("/more", id), nullptr);
}

TEST(ReadRegularFileTest, WholeFilesOnlyRegularOnes) {
  const fs::path dir = winport::testing::MakeTempDir("read");
  std::string big(100000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  WriteFile(dir / "big.bin", big);
  WriteFile(dir / "empty", "");
  std::string out;
  FileIdentity id;
  ASSERT_TRUE(ReadRegularFile((dir / "big.bin").string(), out, id));
  EXPECT_EQ(out, big);
  EXPECT_EQ(id.size, 100000);
  ASSERT_TRUE(ReadRegularFile((dir / "empty").string(), out, id));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(ReadRegularFile(dir.string(), out, id));
  EXPECT_FALSE(ReadRegularFile((dir / "none").string(), out, id));
  EXPECT_FALSE(ReadRegularFile("/dev/null", out, id));
  // A FIFO is refused at once, not waited on for a writer.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ReadRegularFile((dir / "fifo").string(), out, id));
}

TEST(FolderListingTest, NamesInAnotherCaseFollowTheFolder) {
  const fs::path dir = winport::testing::MakeTempDir("listing");
  WriteFile(dir / "Sub" / "One.txt", "1");
  // The clock well past the folder's times, so that its listing is kept.
  winport::SetNow(std::time(nullptr) + 60);
  auto one = ResolveUnder(dir.string(), "SUB/ONE.TXT", false);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->path, (dir / "Sub" / "One.txt").string());
  EXPECT_FALSE(ResolveUnder(dir.string(), "SUB/TWO.TXT", false));
  // Names added and removed since are seen at once.
  WriteFile(dir / "Sub" / "Two.txt", "2");
  auto two = ResolveUnder(dir.string(), "sub/two.TXT", false);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->path, (dir / "Sub" / "Two.txt").string());
  fs::remove(dir / "Sub" / "One.txt");
  EXPECT_FALSE(ResolveUnder(dir.string(), "SUB/ONE.TXT", false));
  fs::rename(dir / "Sub" / "Two.txt", dir / "Sub" / "one.TXT");
  auto renamed = ResolveUnder(dir.string(), "SUB/ONE.TXT", false);
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->path, (dir / "Sub" / "one.TXT").string());
  winport::SetClockOffset(0);
}

TEST(FolderListingTest, MissesInManySmallFoldersDoNotPushOutALargeFolder) {
  const fs::path dir = winport::testing::MakeTempDir("listings");
  for (int i = 0; i < 50; ++i) WriteFile(dir / "Big" / ("f" + std::to_string(i)), "");
  for (int i = 0; i < 100; ++i) WriteFile(dir / ("s" + std::to_string(i)) / "x", "");
  winport::SetNow(std::time(nullptr) + 60);
  EXPECT_FALSE(ResolveUnder(dir.string(), "Big/NOPE", false));
  const std::size_t taken = FolderListingsTakenForTesting();
  // More small folders than listings are kept, each read once for a miss.
  for (int i = 0; i < 100; ++i)
    EXPECT_FALSE(ResolveUnder(dir.string(), "s" + std::to_string(i) + "/NOPE", false));
  EXPECT_EQ(FolderListingsTakenForTesting(), taken + 100);
  // The large folder's listing is still kept: its next miss reads nothing.
  EXPECT_FALSE(ResolveUnder(dir.string(), "Big/NOPE", false));
  EXPECT_TRUE(ResolveUnder(dir.string(), "Big/F7", false));
  EXPECT_EQ(FolderListingsTakenForTesting(), taken + 100);
  winport::SetClockOffset(0);
}

}  // namespace
}  // namespace servala
