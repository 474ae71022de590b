// Kept path look-ups against the real file system: every change made on disk before a refresh
// is seen by the look-ups after it.
#include "path_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "servala_testing.h"
#include "testing.h"

namespace servala {
namespace {

namespace fs = std::filesystem;

using testing::WriteFile;

// Overwrites the file's bytes in place through `p` (same file, same size when `text` is).
void Overwrite(const fs::path& p, const std::string& text) {
  const int fd = ::open(p.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  ::close(fd);
}

FileIdentity IdentityOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return FileIdentity::Of(st);
}

class PathWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = winport::testing::MakeTempDir("watch");
    root_ = base_ / "www" / "html";
    fs::create_directories(root_);
    if (!paths_.Watching()) GTEST_SKIP() << "no change reports on this system";
  }
  // The identity the kept look-up gives for `name` after a refresh, or a zero one for none.
  FileIdentity Look(const std::string& name) {
    paths_.Refresh();
    auto r = paths_.Resolve(root_.string(), name, false);
    return r ? r->id : FileIdentity{};
  }
  // The same, expecting the path of the answer.
  std::string PathOf(const std::string& name) {
    paths_.Refresh();
    auto r = paths_.Resolve(root_.string(), name, false);
    return r ? r->path : "(none)";
  }

  fs::path base_, root_;
  PathWatch paths_;
};

TEST_F(PathWatchTest, EditsReplacementsAndRemovalsAreSeen) {
  WriteFile(root_ / "a.txt", "one");
  const FileIdentity first = Look("a.txt");
  EXPECT_EQ(first, IdentityOf(root_ / "a.txt"));
  EXPECT_EQ(paths_.Kept(), 1u);
  EXPECT_EQ(Look("A.TXT"), first);  // names in another case are kept answers of their own

  Overwrite(root_ / "a.txt", "two");
  EXPECT_EQ(Look("a.txt"), IdentityOf(root_ / "a.txt"));
  WriteFile(root_ / "new.txt", "three");
  fs::rename(root_ / "new.txt", root_ / "a.txt");
  EXPECT_EQ(Look("a.txt"), IdentityOf(root_ / "a.txt"));
  EXPECT_EQ(Look("A.TXT"), IdentityOf(root_ / "a.txt"));
  // A name in another case made beside it is what an exact request finds from now on.
  Look("A.txt");
  WriteFile(root_ / "A.txt", "upper");
  EXPECT_EQ(PathOf("A.txt"), (root_ / "A.txt").string());
  fs::remove(root_ / "a.txt");
  fs::remove(root_ / "A.txt");
  EXPECT_EQ(PathOf("a.txt"), "(none)");

  // Changes elsewhere in the same folders do not drop what is kept.
  WriteFile(root_ / "b.txt", "b");
  Look("b.txt");
  WriteFile(root_ / "unrelated.txt", "u");
  WriteFile(base_ / "other", "o");
  paths_.Refresh();
  EXPECT_EQ(paths_.Kept(), 1u);
}

TEST_F(PathWatchTest, RenamedFoldersAndSwappedLinksAreSeen) {
  WriteFile(root_ / "d" / "x.txt", "d");
  WriteFile(root_ / "e" / "x.txt", "e");
  EXPECT_EQ(Look("d/x.txt"), IdentityOf(root_ / "d" / "x.txt"));
  fs::rename(root_ / "d", root_ / "gone");
  fs::rename(root_ / "e", root_ / "d");
  EXPECT_EQ(Look("d/x.txt"), IdentityOf(root_ / "d" / "x.txt"));

  // A folder above the root moved away and another put in its place.
  EXPECT_EQ(Look("d/x.txt"), IdentityOf(root_ / "d" / "x.txt"));
  fs::rename(base_ / "www", base_ / "old");
  WriteFile(root_ / "d" / "x.txt", "new root");
  EXPECT_EQ(Look("d/x.txt"), IdentityOf(root_ / "d" / "x.txt"));

  // A link to a folder swapped for another, as tools do it: a new link renamed over the old.
  WriteFile(root_ / "real1" / "y.txt", "1");
  WriteFile(root_ / "real2" / "y.txt", "2");
  fs::create_directory_symlink("real1", root_ / "link");
  EXPECT_EQ(Look("link/y.txt"), IdentityOf(root_ / "real1" / "y.txt"));
  fs::create_directory_symlink("real2", root_ / "link.new");
  fs::rename(root_ / "link.new", root_ / "link");
  EXPECT_EQ(Look("link/y.txt"), IdentityOf(root_ / "real2" / "y.txt"));

  // A link inside the folder a link leads to, changed to lead out of the root: refused.
  const fs::path outside = winport::testing::MakeTempDir("outside");
  WriteFile(outside / "y.txt", "outside");
  fs::create_directory_symlink(root_ / "real1", root_ / "real2" / "inner");
  EXPECT_EQ(Look("link/inner/y.txt"), IdentityOf(root_ / "real1" / "y.txt"));
  fs::remove(root_ / "real2" / "inner");
  fs::create_directory_symlink(outside, root_ / "real2" / "inner");
  EXPECT_EQ(PathOf("link/inner/y.txt"), "(none)");
}

TEST_F(PathWatchTest, AnEditThroughAnotherLinkOfTheFileIsSeen) {
  const fs::path elsewhere = winport::testing::MakeTempDir("elsewhere");
  WriteFile(elsewhere / "h.txt", "one");
  fs::create_hard_link(elsewhere / "h.txt", root_ / "h.txt");
  const FileIdentity first = Look("h.txt");
  Overwrite(elsewhere / "h.txt", "two");
  const FileIdentity now = IdentityOf(root_ / "h.txt");
  ASSERT_FALSE(now == first);
  EXPECT_EQ(Look("h.txt"), now);
}

TEST_F(PathWatchTest, AFullReportQueueDropsEverything) {
  int limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit <= 0 || limit > (1 << 20)) GTEST_SKIP() << "report queue limit " << limit;
  WriteFile(root_ / "a.txt", "one");
  WriteFile(root_ / "n1", "");
  WriteFile(root_ / "n2", "");
  const FileIdentity first = Look("a.txt");
  // Reports about other names, more than the queue holds (the two names take turns, as the same
  // report twice in a row counts once); the edit's own report is then lost.
  for (int i = 0; i <= limit / 2 + 1; ++i) {
    ASSERT_EQ(::chmod((root_ / "n1").c_str(), i % 2 ? 0600 : 0644), 0);
    ASSERT_EQ(::chmod((root_ / "n2").c_str(), i % 2 ? 0600 : 0644), 0);
  }
  Overwrite(root_ / "a.txt", "two");
  const FileIdentity now = IdentityOf(root_ / "a.txt");
  ASSERT_FALSE(now == first);
  EXPECT_EQ(Look("a.txt"), now);
}

}  // namespace
}  // namespace servala
