#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "testing.h"
#include "winport/clock.h"
#include "winport/error.h"
#include "winport/file.h"
#include "winport/handle.h"
#include "winport/prefix.h"

namespace winport {
namespace {

namespace fs = std::filesystem;

// Every name a search yields, in order; empty with the error when there is none.
std::vector<std::string> Search(const char* pattern, DWORD* error = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern, &data);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return names;
  }
  do names.push_back(data.cFileName);
  while (FindNextFileA(h, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(h));
  return names;
}

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = PrefixPath() / "drive_c" / "Reports";
    fs::create_directories(dir_ / "Sub");
    for (const char* name : {"HR2026120604.ini", "hr2026120705.INI", "HR1.ini", "HRX.txt", "notes",
                             "HR2026120604.ini.bak"}) {
      std::FILE* f = std::fopen((dir_ / name).c_str(), "w");
      std::fputs(name, f);
      std::fclose(f);
    }
  }
  fs::path dir_;
};

TEST_F(FindTest, StarAndQuestionMarkMatchWithoutRegardToCase) {
  EXPECT_EQ(Search("c:\\reports\\hr*.ini"),
            (std::vector<std::string>{"HR1.ini", "HR2026120604.ini", "hr2026120705.INI"}));
  EXPECT_EQ(Search("C:\\REPORTS\\HR??????????.INI"),
            (std::vector<std::string>{"HR2026120604.ini", "hr2026120705.INI"}));
  EXPECT_EQ(Search("c:\\reports\\*.txt"), std::vector<std::string>{"HRX.txt"});
  EXPECT_EQ(Search("c:\\reports\\NOTES"), std::vector<std::string>{"notes"});
  EXPECT_EQ(Search("c:\\reports\\notes.*"), std::vector<std::string>{"notes"});
}

TEST_F(FindTest, WholeDirectoryListsDotEntriesExceptAtADriveRoot) {
  std::vector<std::string> all = Search("c:\\reports\\*.*");
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(all[0], ".");
  EXPECT_EQ(all[1], "..");
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).count("Sub"), 1u);
  for (const std::string& n : Search("c:\\*")) {
    EXPECT_NE(n, ".");
    EXPECT_NE(n, "..");
  }
}

TEST_F(FindTest, EntriesCarrySizesAttributesAndTimes) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA("c:\\reports\\hr1.INI", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "HR1.ini");
  EXPECT_EQ(data.nFileSizeLow, 7u);
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NEAR(static_cast<double>(FileTimeToTime(data.ftLastWriteTime)),
              static_cast<double>(std::time(nullptr)), 5);
  EXPECT_LE(FileTimeToTime(data.ftCreationTime), FileTimeToTime(data.ftLastWriteTime) + 1);
  FindClose(h);
  h = FindFirstFileA("c:\\reports\\sub", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  FindClose(h);
}

TEST_F(FindTest, NoMatchMissingDirectoryAndBadHandles) {
  DWORD error = 0;
  EXPECT_TRUE(Search("c:\\reports\\*.dat", &error).empty());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Search("c:\\nowhere\\*.ini", &error).empty());
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
  WIN32_FIND_DATAA data;
  EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // A search taken before a file appears does not change; a new one sees it.
  HANDLE h = FindFirstFileA("c:\\reports\\HR*.ini", &data);
  std::fclose(std::fopen((dir_ / "HR0.ini").c_str(), "w"));
  int n = 1;
  while (FindNextFileA(h, &data)) ++n;
  EXPECT_EQ(n, 3);
  EXPECT_TRUE(CloseHandle(h));  // CloseHandle ends a search too
  EXPECT_EQ(Search("c:\\reports\\HR*.ini").size(), 4u);
}

}  // namespace
}  // namespace winport
