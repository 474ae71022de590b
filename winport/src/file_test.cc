#include "winport/file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "testing.h"
#include "winport/clock.h"
#include "winport/error.h"
#include "winport/handle.h"
#include "winport/path.h"
#include "winport/prefix.h"

namespace winport {
namespace {

namespace fs = std::filesystem;

fs::path DriveC() {
  return PrefixPath() / "drive_c";
}

std::string Slurp(HANDLE h) {
  std::string out;
  char buf[7];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  return out;
}

TEST(File, WriteReadSizeAndSeekRoundTrip) {
  HANDLE h = CreateFileA("c:\\rt.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  std::string data = "line one\r\nline two\0binary";
  data += std::string(5000, 'x');
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  EXPECT_EQ(written, data.size());
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(h, &high), data.size());
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
  EXPECT_EQ(Slurp(h), data);
  // At the end a read succeeds with no bytes.
  char c;
  DWORD n = 5;
  EXPECT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(h, -6, nullptr, FILE_END), data.size() - 6);
  EXPECT_EQ(SetFilePointer(h, -100000, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 4u);
  EXPECT_TRUE(FlushFileBuffers(h));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(testing::ReadFile(DriveC() / "rt.bin"), "line");
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(File, DispositionsAndTheirErrors) {
  auto open = [](const char* name, DWORD access, DWORD disposition) {
    return CreateFileA(name, access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  };
  EXPECT_EQ(open("c:\\d.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open("c:\\nodir\\d.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  HANDLE h = open("c:\\d.txt", GENERIC_WRITE, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  DWORD n;
  WriteFile(h, "abc", 3, &n, nullptr);
  char buf[4];
  EXPECT_FALSE(ReadFile(h, buf, 3, &n, nullptr));  // opened for writing only
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);

  h = open("C:\\D.TXT", GENERIC_READ, OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Slurp(h), "abc");
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);

  EXPECT_EQ(open("c:\\d.txt", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  h = open("c:\\d.txt", GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  WriteFile(h, "abc", 3, &n, nullptr);
  CloseHandle(h);
  h = open("c:\\d.txt", GENERIC_WRITE, TRUNCATE_EXISTING);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
  EXPECT_EQ(open("c:\\", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(File, TimesAttributesAndConversions) {
  // 2026-12-06 04:22:00 UTC, a Sunday.
  SYSTEMTIME st{2026, 12, 0, 6, 4, 22, 0, 250};
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  EXPECT_EQ(FileTimeToTime(ft), 1796530920);
  SYSTEMTIME back;
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
  EXPECT_EQ(back.wDayOfWeek, 0);
  EXPECT_EQ(back.wMilliseconds, 250);
  EXPECT_EQ(back.wHour, 4);
  FILETIME epoch = TimeToFileTime(0);
  EXPECT_EQ((static_cast<std::uint64_t>(epoch.dwHighDateTime) << 32) | epoch.dwLowDateTime,
            116444736000000000ull);
  SYSTEMTIME bad{2026, 2, 0, 30, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));

  std::time_t before = std::time(nullptr);
  HANDLE h = CreateFileA("c:\\t.dat", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME created, written;
  ASSERT_TRUE(GetFileTime(h, &created, nullptr, &written));
  EXPECT_GE(FileTimeToTime(created), before - 1);
  EXPECT_LE(FileTimeToTime(created), std::time(nullptr) + 1);
  // An old last-write time (what report ages are measured by) survives a reopen.
  FILETIME old = TimeToFileTime(1000000000);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &old));
  CloseHandle(h);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExA("C:\\T.DAT", GetFileExInfoStandard, &data));
  EXPECT_EQ(FileTimeToTime(data.ftLastWriteTime), 1000000000);
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_GE(FileTimeToTime(data.ftCreationTime), before - 1);

  EXPECT_EQ(GetFileAttributesA("c:\\"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA("c:\\none\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(SetFileAttributesA("c:\\t.dat", FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(GetFileAttributesA("c:\\t.dat") & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(DeleteFileA("c:\\t.dat"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetFileAttributesA("c:\\t.dat", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileA("c:\\t.dat"));
}

TEST(File, DirectoriesMovesCopiesAndDeletes) {
  EXPECT_FALSE(CreateDirectoryA("c:\\a\\b", nullptr));  // one level only
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(CreateDirectoryA("c:\\A", nullptr));
  EXPECT_FALSE(CreateDirectoryA("c:\\a", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CreateDirectoryA("c:\\a\\B", nullptr));
  EXPECT_TRUE(fs::is_directory(DriveC() / "A/B"));

  std::FILE* f = OpenHostFile("c:\\a\\b\\one.txt", "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("first", f);
  std::fclose(f);
  FILETIME old = TimeToFileTime(1500000000);
  HANDLE h = CreateFileA("c:\\a\\b\\one.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  SetFileTime(h, nullptr, nullptr, &old);
  CloseHandle(h);

  ASSERT_TRUE(CopyFileA("c:\\a\\b\\one.txt", "c:\\a\\two.txt", TRUE));
  EXPECT_EQ(testing::ReadFile(DriveC() / "A/two.txt"), "first");
  WIN32_FILE_ATTRIBUTE_DATA data;
  GetFileAttributesExA("c:\\a\\two.txt", GetFileExInfoStandard, &data);
  EXPECT_EQ(FileTimeToTime(data.ftLastWriteTime), 1500000000);  // a copy keeps it
  EXPECT_FALSE(CopyFileA("c:\\a\\b\\one.txt", "c:\\a\\TWO.txt", TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  EXPECT_FALSE(MoveFileA("c:\\a\\b\\one.txt", "c:\\a\\two.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(MoveFileExA("c:\\a\\b\\one.txt", "c:\\a\\two.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(fs::exists(DriveC() / "A/B/one.txt"));
  ASSERT_TRUE(MoveFileA("c:\\a\\two.txt", "c:\\a\\Two.TXT"));  // a change of case only
  EXPECT_TRUE(fs::exists(DriveC() / "A/Two.TXT"));
  EXPECT_FALSE(fs::exists(DriveC() / "A/two.txt"));
  EXPECT_FALSE(MoveFileA("c:\\a\\missing", "c:\\a\\x"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_FALSE(RemoveDirectoryA("c:\\a"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(DeleteFileA("c:\\a\\b"));
  EXPECT_TRUE(DeleteFileA("c:\\a\\two.txt"));
  EXPECT_FALSE(DeleteFileA("c:\\a\\two.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryA("c:\\a\\b"));
  EXPECT_TRUE(RemoveDirectoryA("c:\\a"));
}

TEST(File, CurrentDirectoryAndFullPaths) {
  fs::path old = fs::current_path();
  ASSERT_TRUE(CreateDirectoryA("c:\\Cwd", nullptr));
  ASSERT_TRUE(SetCurrentDirectoryA("C:\\CWD"));
  char buf[MAX_PATH];
  EXPECT_EQ(GetCurrentDirectoryA(3, buf), 7u);  // size needed with the NUL
  ASSERT_EQ(GetCurrentDirectoryA(sizeof buf, buf), 6u);
  EXPECT_STREQ(buf, "C:\\Cwd");
  char* part = nullptr;
  ASSERT_GT(GetFullPathNameA("x\\..\\y.txt", sizeof buf, buf, &part), 0u);
  EXPECT_STREQ(buf, "C:\\Cwd\\y.txt");
  EXPECT_STREQ(part, "y.txt");
  HANDLE h = CreateFileA("rel.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_TRUE(fs::exists(DriveC() / "Cwd/rel.txt"));
  EXPECT_FALSE(SetCurrentDirectoryA("c:\\nowhere"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  fs::current_path(old);

  char temp[MAX_PATH];
  UINT u1 = GetTempFileNameA("c:\\cwd", "hr", 0, temp);
  ASSERT_NE(u1, 0u);
  EXPECT_TRUE(fs::exists(HostPath(temp)));
  char temp2[MAX_PATH];
  ASSERT_NE(GetTempFileNameA("c:\\cwd", "hr", 0, temp2), 0u);
  EXPECT_STRNE(temp, temp2);
}

TEST(File, ParallelWritersThroughSeparateHandlesKeepTheirBytes) {
  constexpr int kThreads = 4, kRecords = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      std::string name = "c:\\par" + std::to_string(t) + ".txt";
      HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      for (int i = 0; i < kRecords; ++i) {
        DWORD n;
        WriteFile(h, "0123456789", 10, &n, nullptr);
      }
      CloseHandle(h);
    });
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(fs::file_size(DriveC() / ("par" + std::to_string(t) + ".txt")), 10u * kRecords);
}

}  // namespace
}  // namespace winport
