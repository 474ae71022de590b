#include "winport/path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "testing.h"
#include "winport/prefix.h"

namespace winport {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& p) {
  fs::create_directories(p.parent_path());
  FILE* f = std::fopen(p.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
}

TEST(HostPath, MapsDrivesSlashesAndPosixPaths) {
  fs::path c = PrefixPath() / "drive_c";
  EXPECT_EQ(HostPath("c:\\Vitalis\\HR2026120604.ini"), (c / "Vitalis/HR2026120604.ini").string());
  EXPECT_EQ(HostPath("D:\\data"), (PrefixPath() / "drive_d/data").string());
  EXPECT_EQ(HostPath("c:"), c.string());
  EXPECT_EQ(HostPath("C:\\a\\.\\b\\..\\..\\..\\x.txt"), (c / "x.txt").string());
  EXPECT_EQ(HostPath("/usr/lib"), "/usr/lib");
  EXPECT_EQ(HostPath(""), "");
  // The Windows directory is there from the start, whatever the spelling.
  EXPECT_EQ(HostPath("C:\\WINDOWS\\System32"), (c / "windows/system32").string());
}

TEST(HostPath, ResolvesExistingComponentsWithoutRegardToCase) {
  fs::path c = PrefixPath() / "drive_c";
  Touch(c / "Orbilink/Bin/DiagView.exe");
  EXPECT_EQ(HostPath("C:\\ORBILINK\\bin\\diagview.EXE"),
            (c / "Orbilink/Bin/DiagView.exe").string());
  // A missing tail keeps the caller's spelling below the last component that exists.
  EXPECT_EQ(HostPath("c:\\orbilink\\BIN\\New\\File.TXT"),
            (c / "Orbilink/Bin/New/File.TXT").string());
  // An exact match wins over one that differs only in case.
  Touch(c / "Orbilink/bin/x");
  EXPECT_EQ(HostPath("c:\\Orbilink\\bin\\x"), (c / "Orbilink/bin/x").string());
}

TEST(HostPath, CacheFollowsRenamesAndDeletions) {
  fs::path c = PrefixPath() / "drive_c";
  Touch(c / "Cache/Report.ini");
  EXPECT_EQ(HostPath("c:\\cache\\REPORT.INI"), (c / "Cache/Report.ini").string());
  fs::rename(c / "Cache/Report.ini", c / "Cache/rePort.ini");
  EXPECT_EQ(HostPath("c:\\cache\\REPORT.INI"), (c / "Cache/rePort.ini").string());
  fs::rename(c / "Cache", c / "CACHE2");
  EXPECT_EQ(HostPath("c:\\cache2\\report.ini"), (c / "CACHE2/rePort.ini").string());
  fs::remove(c / "CACHE2/rePort.ini");
  EXPECT_EQ(HostPath("c:\\cache2\\REPORT.INI"), (c / "CACHE2/REPORT.INI").string());
}

TEST(HostPath, RelativePathsAndCurrentDriveFollowTheCurrentDirectory) {
  fs::path c = PrefixPath() / "drive_c";
  fs::path d = PrefixPath() / "drive_d";
  fs::create_directories(c / "Work");
  fs::create_directories(d / "Other");
  fs::path old = fs::current_path();
  fs::current_path(c / "Work");
  EXPECT_EQ(HostPath("sub\\f.txt"), (c / "Work/sub/f.txt").string());
  EXPECT_EQ(HostPath("..\\work\\g"), (c / "Work/g").string());
  EXPECT_EQ(HostPath("\\Root.txt"), (c / "Root.txt").string());
  fs::current_path(d / "Other");
  EXPECT_EQ(HostPath("\\Root.txt"), (d / "Root.txt").string());
  fs::current_path(old);
}

TEST(WindowsPath, GivesDriveFormInsideThePrefixAndRoundTrips) {
  fs::path c = PrefixPath() / "drive_c";
  EXPECT_EQ(WindowsPath(c / "Vitalis/x.ini"), "C:\\Vitalis\\x.ini");
  EXPECT_EQ(WindowsPath(c), "C:\\");
  EXPECT_EQ(WindowsPath(PrefixPath() / "drive_cx/y"), (PrefixPath() / "drive_cx/y").string());
  EXPECT_EQ(WindowsPath("/etc/hosts"), "/etc/hosts");
  Touch(c / "Round/Trip.txt");
  EXPECT_EQ(HostPath(WindowsPath(c / "Round/Trip.txt")), (c / "Round/Trip.txt").string());
}

}  // namespace
}  // namespace winport
