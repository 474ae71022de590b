// The failure paths of the writes that must never damage what is already stored: a profile
// file is rewritten through a temporary file and a rename, the registry through SQLite. Each
// case fails one step for real (a file size limit, an immutable folder or file, a lock held
// by another connection) and then checks that the old content is intact and still usable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"
#include "winport/error.h"
#include "winport/prefix.h"
#include "winport/profile.h"
#include "winport/registry.h"
#include "winport/unique_fd.h"

namespace winport {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Files or folders whose name starts with `stem` in `dir` (a left-over temporary file).
int CountStartingWith(const fs::path& dir, const std::string& stem) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind(stem, 0) == 0) ++n;
  return n;
}

// Marks a file or folder immutable for as long as it lives: not even root may change it.
class Immutable {
 public:
  explicit Immutable(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ && ::ioctl(fd_.get(), FS_IOC_GETFLAGS, &old_) == 0) {
      int flags = old_ | FS_IMMUTABLE_FL;
      set_ = ::ioctl(fd_.get(), FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~Immutable() {
    if (set_) ::ioctl(fd_.get(), FS_IOC_SETFLAGS, &old_);
  }
  bool set() const { return set_; }

 private:
  UniqueFd fd_;
  int old_ = 0;
  bool set_ = false;
};

// A file size limit for this process while it lives (writes past it fail with EFBIG).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limit{bytes, old_.rlim_max};
    ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old_); }
  bool ok() const { return ok_; }

 private:
  rlimit old_{};
  bool ok_ = false;
};

class ProfileSafeWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = PrefixPath() / "drive_c" / "safe";
    fs::create_directories(dir_);
    ASSERT_TRUE(WritePrivateProfileStringA("Report", "Count", "7", file_.c_str()));
    before_ = Slurp(host_);
    ASSERT_FALSE(before_.empty());
  }

  // The write failed, said why, and left the file and its folder as they were.
  void ExpectUntouched(BOOL written) {
    EXPECT_FALSE(written);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(Slurp(host_), before_);
    EXPECT_EQ(CountStartingWith(dir_, ".r.ini."), 0);
    char value[16] = {};
    GetPrivateProfileStringA("Report", "Count", "", value, sizeof value, file_.c_str());
    EXPECT_STREQ(value, "7");
    // Nothing is stuck: the same write works once the cause has gone.
    EXPECT_TRUE(WritePrivateProfileStringA("Report", "Extra", big_.c_str(), file_.c_str()));
  }

  fs::path dir_;
  std::string file_ = "c:\\safe\\r.ini";
  fs::path host_ = PrefixPath() / "drive_c" / "safe" / "r.ini";
  std::string before_;
  std::string big_ = std::string(4096, 'x');
};

TEST_F(ProfileSafeWrite, ATemporaryFileThatCannotBeWrittenLeavesTheFileAsItWas) {
  BOOL written;
  {
    FileSizeLimit limit(before_.size() + 16);
    ASSERT_TRUE(limit.ok());
    written = WritePrivateProfileStringA("Report", "Extra", big_.c_str(), file_.c_str());
  }
  ExpectUntouched(written);
}

TEST_F(ProfileSafeWrite, AFolderThatTakesNoTemporaryFileLeavesTheFileAsItWas) {
  BOOL written;
  {
    Immutable folder(dir_);
    if (!folder.set()) GTEST_SKIP() << "the file system or this user cannot make files immutable";
    written = WritePrivateProfileStringA("Report", "Extra", big_.c_str(), file_.c_str());
  }
  ExpectUntouched(written);
}

TEST_F(ProfileSafeWrite, AFailedRenameLeavesTheFileAsItWasAndNoTemporaryBehind) {
  BOOL written;
  {
    Immutable file(host_);
    if (!file.set()) GTEST_SKIP() << "the file system or this user cannot make files immutable";
    written = WritePrivateProfileStringA("Report", "Extra", big_.c_str(), file_.c_str());
  }
  ExpectUntouched(written);
}

class RegistrySafeWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(Set("Stored", "kept"), ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(key_); }

  LONG Set(const char* name, const std::string& data) {
    return RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1));
  }

  // The stored value, read on a thread of its own (a fresh connection to the store).
  static std::string ReadStored(const char* name = "Stored") {
    std::string out = "<missing>";
    std::thread([&] {
      HKEY key = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
      char buffer[64] = {};
      DWORD size = sizeof buffer;
      if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
          ERROR_SUCCESS)
        out = buffer;
      RegCloseKey(key);
    }).join();
    return out;
  }

  static constexpr const char* kKey = "SOFTWARE\\Tessaline\\SafeWrite";
  HKEY key_ = nullptr;
};

TEST_F(RegistrySafeWrite, AFullDiskFailsTheWriteAndKeepsWhatIsStored) {
  LONG rc;
  {
    FileSizeLimit limit(64 * 1024);
    ASSERT_TRUE(limit.ok());
    rc = Set("Large", std::string(1 << 20, 'x'));
  }
  EXPECT_NE(rc, ERROR_SUCCESS);
  EXPECT_TRUE(rc == ERROR_DISK_FULL || rc == ERROR_CANTWRITE) << rc;
  EXPECT_EQ(ReadStored(), "kept");
  EXPECT_EQ(ReadStored("Large"), "<missing>");
  EXPECT_EQ(Set("After", "ok"), ERROR_SUCCESS);
  EXPECT_EQ(ReadStored("After"), "ok");
}

TEST_F(RegistrySafeWrite, ALockedDatabaseFailsTheWriteAndKeepsWhatIsStored) {
  // Another process's connection holds the write lock for the whole call.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((PrefixPath() / "registry.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  LONG rc = Set("Stored", "changed");
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);

  EXPECT_EQ(rc, static_cast<LONG>(ERROR_CANTWRITE));
  EXPECT_EQ(ReadStored(), "kept");
  EXPECT_EQ(Set("Stored", "changed"), ERROR_SUCCESS);
  EXPECT_EQ(ReadStored(), "changed");
}

TEST_F(RegistrySafeWrite, AReadOnlyStoreRefusesTheWriteAndKeepsWhatIsStored) {
  LONG rc = ERROR_SUCCESS;
  {
    Immutable store(PrefixPath() / "registry.db");
    if (!store.set()) GTEST_SKIP() << "the file system or this user cannot make files immutable";
    // A connection made now (a new thread's) can only read the store.
    std::thread([&] {
      HKEY key = nullptr;
      rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key);
      if (rc != ERROR_SUCCESS) return;
      std::string data = "changed";
      rc = RegSetValueExA(key, "Stored", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1));
      RegCloseKey(key);
    }).join();
  }
  EXPECT_NE(rc, ERROR_SUCCESS);
  EXPECT_EQ(ReadStored(), "kept");
  EXPECT_EQ(Set("Stored", "changed"), ERROR_SUCCESS);
  EXPECT_EQ(ReadStored(), "changed");
}

}  // namespace
}  // namespace winport
