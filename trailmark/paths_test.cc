#include "paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <filesystem>

#include "testing.h"

namespace trailmark {
namespace {

namespace fs = std::filesystem;

void Put(const fs::path& p, const QByteArray& bytes) {
  fs::create_directories(p.parent_path());
  QFile f(QString::fromStdString(p.string()));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

QString Q(const fs::path& p) {
  return QString::fromStdString(p.string());
}

TEST(TrailmarkPathsTest, SharedFilesAreFoundBesideTheProgramOrInTheSystemFolders) {
  const fs::path root = winport::testing::MakeTempDir();
  Put(root / "opt/tm/share/trailmark/help.html", "installed");
  Put(root / "usr/share/trailmark/help.html", "system");
  fs::create_directories(root / "opt/tm/bin");
  fs::create_directories(root / "home/bin");

  // An installation finds its own share folder first.
  const QStringList system = {Q(root / "usr/local/share"), Q(root / "usr/share")};
  EXPECT_EQ(FindSharedFolder(SharedFolderCandidates(Q(root / "opt/tm/bin"), system)),
            Q(root / "opt/tm/share/trailmark"));
  // A copy in a folder of its own finds the system's.
  EXPECT_EQ(FindSharedFolder(SharedFolderCandidates(Q(root / "home/bin"), system)),
            Q(root / "usr/share/trailmark"));
  // A folder without the help page is not the shared folder.
  fs::create_directories(root / "empty/share/trailmark");
  EXPECT_EQ(FindSharedFolder({Q(root / "empty/share/trailmark"), Q(root / "nowhere")}), "");
}

TEST(TrailmarkPathsTest, UserFolderIsSeededOnceAndKeepsTheUsersFiles) {
  const fs::path root = winport::testing::MakeTempDir();
  for (const char* name : {"websites.dir", "memory.ctr", "help.html", "about.gif"})
    Put(root / "share" / name, QByteArray("installed ") + name);
  fs::permissions(root / "share/websites.dir", fs::perms::owner_read);
  Put(root / "data/trailmark/memory.ctr", "mine");

  const QString folder = PrepareUserFolder(Q(root / "data"), Q(root / "share"));
  EXPECT_EQ(fs::path(folder.toStdString()), root / "data/trailmark");
  EXPECT_EQ(winport::testing::ReadFile(root / "data/trailmark/websites.dir"),
            "installed websites.dir");
  EXPECT_EQ(winport::testing::ReadFile(root / "data/trailmark/memory.ctr"), "mine");
  // Only the user's files are copied; the user's copy can be written.
  EXPECT_FALSE(fs::exists(root / "data/trailmark/help.html"));
  EXPECT_TRUE((fs::status(root / "data/trailmark/websites.dir").permissions() &
               fs::perms::owner_write) != fs::perms::none);

  // Without shipped files the folder is still made.
  EXPECT_EQ(fs::path(PrepareUserFolder(Q(root / "other"), "").toStdString()),
            root / "other/trailmark");
  EXPECT_TRUE(fs::is_directory(root / "other/trailmark"));
}

TEST(TrailmarkPathsTest, DirectoryFileUrlCanBePointedElsewhere) {
  qunsetenv(kDirectoryUrlVariable);
  EXPECT_EQ(DirectoryFileUrl(), kDirectoryFileUrl);
  qputenv(kDirectoryUrlVariable, "http://127.0.0.1:8080/websites.txt");
  EXPECT_EQ(DirectoryFileUrl(), "http://127.0.0.1:8080/websites.txt");
  qunsetenv(kDirectoryUrlVariable);
}

}  // namespace
}  // namespace trailmark
