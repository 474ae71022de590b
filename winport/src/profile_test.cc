#include "winport/profile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"
#include "winport/error.h"
#include "winport/prefix.h"

namespace winport {
namespace {

namespace fs = std::filesystem;

fs::path Host(const char* name) {
  return PrefixPath() / "drive_c" / name;
}

void Put(const char* name, const std::string& content) {
  std::ofstream(Host(name), std::ios::binary) << content;
}

std::string Get(const char* section, const char* key, const char* file, DWORD size = 256,
                const char* def = "dflt") {
  std::vector<char> buf(size + 1, '#');
  DWORD n = GetPrivateProfileStringA(section, key, def, buf.data(), size, file);
  return std::string(buf.data(), n);
}

TEST(Profile, SequenceOfWritesGivesTheExactLayout) {
  const char* f = "c:\\seq.ini";
  ASSERT_TRUE(WritePrivateProfileStringA("A", "k1", "v1", f));
  EXPECT_EQ(testing::ReadFile(Host("seq.ini")), "[A]\r\nk1=v1\r\n");
  ASSERT_TRUE(WritePrivateProfileStringA("B", "x", "1", f));
  ASSERT_TRUE(WritePrivateProfileStringA("a", "K2", "v2", f));
  ASSERT_TRUE(WritePrivateProfileStringA("A", "K1", "new value", f));
  EXPECT_EQ(testing::ReadFile(Host("seq.ini")),
            "[A]\r\nk1=new value\r\nK2=v2\r\n\r\n[B]\r\nx=1\r\n");
  ASSERT_TRUE(WritePrivateProfileStringA("B", "X", nullptr, f));
  ASSERT_TRUE(WritePrivateProfileStringA("b", "y", "", f));
  ASSERT_TRUE(WritePrivateProfileStringA("Number  of Acquisition Loss ", "SQF0_49", "3", f));
  EXPECT_EQ(testing::ReadFile(Host("seq.ini")),
            "[A]\r\nk1=new value\r\nK2=v2\r\n\r\n[B]\r\ny=\r\n\r\n"
            "[Number  of Acquisition Loss ]\r\nSQF0_49=3\r\n");
  ASSERT_TRUE(WritePrivateProfileStringA("a", nullptr, nullptr, f));
  ASSERT_TRUE(WritePrivateProfileStringA("Number  of Acquisition Loss", nullptr, nullptr, f));
  EXPECT_EQ(testing::ReadFile(Host("seq.ini")), "[B]\r\ny=\r\n\r\n");
  ASSERT_TRUE(WritePrivateProfileStringA("C", "z", "9", f));
  EXPECT_EQ(testing::ReadFile(Host("seq.ini")), "[B]\r\ny=\r\n\r\n[C]\r\nz=9\r\n");
  // Deleting what is not there changes nothing and creates no file.
  ASSERT_TRUE(WritePrivateProfileStringA("Q", "k", nullptr, "c:\\never.ini"));
  EXPECT_FALSE(fs::exists(Host("never.ini")));
}

TEST(Profile, ValueEndingInALineFeedKeepsItsLineWhole) {
  const char* f = "c:\\lf.ini";
  ASSERT_TRUE(WritePrivateProfileStringA("S", "t1", "Sun Dec 06 04:22:00 2026\n", f));
  ASSERT_TRUE(WritePrivateProfileStringA("S", "n", "1", f));
  ASSERT_TRUE(WritePrivateProfileStringA("S", "t2", "Mon Dec 07 00:00:00 2026\n", f));
  ASSERT_TRUE(WritePrivateProfileStringA("T", "x", "y", f));
  EXPECT_EQ(testing::ReadFile(Host("lf.ini")),
            "[S]\r\nt1=Sun Dec 06 04:22:00 2026\n\r\nn=1\r\n"
            "t2=Mon Dec 07 00:00:00 2026\n\r\n\r\n[T]\r\nx=y\r\n");
  EXPECT_EQ(Get("S", "t1", f), "Sun Dec 06 04:22:00 2026");
  // Replaced in place, the key takes the new value's bytes.
  ASSERT_TRUE(WritePrivateProfileStringA("s", "T1", "later", f));
  EXPECT_EQ(testing::ReadFile(Host("lf.ini")),
            "[S]\r\nt1=later\r\nn=1\r\n"
            "t2=Mon Dec 07 00:00:00 2026\n\r\n\r\n[T]\r\nx=y\r\n");
}

TEST(Profile, ForeignFileKeepsItsOtherLinesByteForByte) {
  const std::string original =
      "; written by hand\n"
      "[Main]\n"
      "  Name = Old Value \n"
      "; comment in main\n"
      "odd line without equals\n"
      "\n"
      "[Other]\n"
      "A=1\n"
      "[main]\n"
      "Name=Second";  // no line end at the very end
  Put("foreign.ini", original);
  const char* f = "C:\\FOREIGN.INI";
  EXPECT_EQ(Get("MAIN", "name", f), "Old Value");
  ASSERT_TRUE(WritePrivateProfileStringA("MAIN", "name", "New", f));
  ASSERT_TRUE(WritePrivateProfileStringA("Main", "Added", "yes", f));
  ASSERT_TRUE(WritePrivateProfileStringA("Other", "B", "2", f));
  ASSERT_TRUE(WritePrivateProfileStringA("New", "k", "v", f));
  EXPECT_EQ(testing::ReadFile(Host("foreign.ini")),
            "; written by hand\n"
            "[Main]\n"
            "  Name =New\r\n"
            "Added=yes\r\n"
            "; comment in main\n"
            "odd line without equals\n"
            "\n"
            "[Other]\n"
            "A=1\n"
            "B=2\r\n"
            "[main]\n"
            "Name=Second\r\n"
            "\r\n"
            "[New]\r\n"
            "k=v\r\n");
  // The first of two sections of one name is the one read and written.
  EXPECT_EQ(Get("main", "NAME", f), "New");
}

TEST(Profile, ReadsTrimUnquoteTruncateAndFallBack) {
  Put("r.ini",
      "[S]\r\nplain=  some text\t\r\nquoted=\" padded \"\r\nhalf=\"open\r\nempty=\r\n"
      "num= 42abc\r\nneg=-7\r\nbad=x\r\n[T]\r\n[U]\r\nk=1\r\n");
  const char* f = "c:\\r.ini";
  EXPECT_EQ(Get("s", "PLAIN", f), "some text");
  EXPECT_EQ(Get("S", "quoted", f), " padded ");
  EXPECT_EQ(Get("S", "half", f), "\"open");
  EXPECT_EQ(Get("S", "empty", f), "");
  EXPECT_EQ(Get("S", "plain", f, 5), "some");  // size - 1 characters
  EXPECT_EQ(Get("S", "missing", f), "dflt");
  EXPECT_EQ(Get("S", "missing", f, 256, "trailing   "), "trailing");
  EXPECT_EQ(Get("S", "missing", f, 3, "default"), "de");
  EXPECT_EQ(Get("Nope", "plain", f), "dflt");
  EXPECT_EQ(Get("S", "plain", "c:\\no-such.ini"), "dflt");
  EXPECT_EQ(Get("S", "plain", "c:\\no-dir\\x.ini"), "dflt");

  EXPECT_EQ(Get("S", nullptr, f), std::string("plain\0quoted\0half\0empty\0num\0neg\0bad\0", 36));
  EXPECT_EQ(Get(nullptr, nullptr, f), std::string("S\0T\0U\0", 6));
  // A list that does not fit is cut and ends in two NULs; size - 2 comes back.
  char buf[8];
  EXPECT_EQ(GetPrivateProfileStringA("S", nullptr, "", buf, sizeof buf, f), 6u);
  EXPECT_EQ(std::string(buf, 8),
            std::string("plain\0q\0\0", 8).substr(0, 6) + std::string(2, '\0'));
  EXPECT_EQ(GetPrivateProfileSectionNamesA(buf, sizeof buf, f), 6u);
  EXPECT_EQ(std::string(buf, 7), std::string("S\0T\0U\0\0", 7));
  EXPECT_EQ(GetPrivateProfileSectionA("u", buf, sizeof buf, f), 4u);
  EXPECT_EQ(std::string(buf, 5), std::string("k=1\0\0", 5));
  EXPECT_EQ(GetPrivateProfileSectionA("T", buf, sizeof buf, f), 0u);
  EXPECT_EQ(buf[0], '\0');

  EXPECT_EQ(GetPrivateProfileIntA("S", "num", 5, f), 42u);
  EXPECT_EQ(static_cast<INT>(GetPrivateProfileIntA("S", "neg", 5, f)), -7);
  EXPECT_EQ(GetPrivateProfileIntA("S", "bad", 5, f), 0u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "empty", 5, f), 5u);
  EXPECT_EQ(GetPrivateProfileIntA("S", "missing", 5, f), 5u);
}

TEST(Profile, MalformedFilesGiveDefaultsAndSurviveWrites) {
  std::string binary("\0\x01\xff[\0=\x7f\r\r\n", 10);
  binary += std::string(1 << 20, 'z');  // one huge line without a line end
  Put("bad.ini", binary);
  const char* f = "c:\\bad.ini";
  EXPECT_EQ(Get("S", "k", f), "dflt");
  EXPECT_EQ(Get(nullptr, nullptr, f), "");
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", f));
  EXPECT_EQ(testing::ReadFile(Host("bad.ini")), binary + "\r\n\r\n[S]\r\nk=v\r\n");
  EXPECT_EQ(Get("S", "k", f), "v");

  Put("open.ini", "[unterminated\r\nk=1\r\n");
  EXPECT_EQ(Get("unterminated", "k", "c:\\open.ini"), "1");

  EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", "c:\\no-dir\\x.ini"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "k", "v", f));
}

TEST(Profile, BareNamesLiveInTheWindowsDirectoryAndSectionsAreReplaced) {
  ASSERT_TRUE(WritePrivateProfileStringA("Sec", "a", "1", "orbidiag.ini"));
  ASSERT_TRUE(WritePrivateProfileStringA("Sec", "b", "2", "orbidiag.ini"));
  ASSERT_TRUE(WritePrivateProfileStringA("Next", "c", "3", "orbidiag.ini"));
  EXPECT_EQ(testing::ReadFile(PrefixPath() / "drive_c/windows/orbidiag.ini"),
            "[Sec]\r\na=1\r\nb=2\r\n\r\n[Next]\r\nc=3\r\n");
  ASSERT_TRUE(WritePrivateProfileSectionA("sec", "x=9\0y=8\0", "orbidiag.ini"));
  EXPECT_EQ(testing::ReadFile(PrefixPath() / "drive_c/windows/orbidiag.ini"),
            "[Sec]\r\nx=9\r\ny=8\r\n\r\n[Next]\r\nc=3\r\n");
}

// Writers in many threads and in a second process: no update is lost, and a reader never
// sees a file that is not whole.
TEST(Profile, ConcurrentWritersLoseNothing) {
  const char* f = "c:\\busy.ini";
  constexpr int kThreads = 3, kKeys = 40;
  ASSERT_TRUE(WritePrivateProfileStringA("Header", "anchor", "1", f));
  // The second process is started before any other thread of this one.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = true;
    for (int i = 0; i < kKeys; ++i)
      ok &= WritePrivateProfileStringA("Child", ("k" + std::to_string(i)).c_str(), "c", f) != 0;
    _exit(ok ? 0 : 1);
  }
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      std::string content = testing::ReadFile(Host("busy.ini"));
      if (content.rfind("[Header]\r\n", 0) != 0 || content.size() < 2 ||
          content.compare(content.size() - 2, 2, "\r\n") != 0)
        ++torn;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([t, f] {
      std::string section = "T" + std::to_string(t);
      for (int i = 0; i < kKeys; ++i)
        WritePrivateProfileStringA(section.c_str(), ("k" + std::to_string(i)).c_str(), "v", f);
    });
  for (auto& w : writers) w.join();
  int status = 0;
  waitpid(child, &status, 0);
  done = true;
  reader.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(torn, 0);
  for (const char* section : {"T0", "T1", "T2", "Child"})
    for (int i = 0; i < kKeys; ++i)
      EXPECT_NE(Get(section, ("k" + std::to_string(i)).c_str(), f), "dflt") << section << " k" << i;
  // Only the file itself is left: no temporary files.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(PrefixPath() / "drive_c"))
    entries += e.path().filename().string().find("busy") != std::string::npos;
  EXPECT_EQ(entries, 1);
}

}  // namespace
}  // namespace winport
