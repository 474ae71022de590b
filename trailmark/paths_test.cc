#include "paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <filesystem>

#include "testing.h"

namespace trailmark {
namespace {

namespace fs = std::filesystem;

TEST(TrailmarkPathsTest, ProgramFolderIsSeededWhenTheExecutableDirectoryIsReadOnly) {
  const fs::path root = winport::testing::MakeTempDir();
  fs::create_directories(root / "usr/bin");
  fs::create_directories(root / "usr/share/trailmark");
  for (const char* name : {"websites.dir", "memory.ctr", "help.html", "about.gif"}) {
    QFile f(QString::fromStdString((root / "usr/share/trailmark" / name).string()));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("installed ") + name);
  }
  const QString exeDir = QString::fromStdString((root / "usr/bin").string());
  const QString dataHome = QString::fromStdString((root / "home").string());

  EXPECT_EQ(ResolveProgramFolder(exeDir, true, dataHome), exeDir);

  // The user's own memory file survives later starts.
  fs::create_directories(root / "home/trailmark");
  QFile own(QString::fromStdString((root / "home/trailmark/memory.ctr").string()));
  ASSERT_TRUE(own.open(QIODevice::WriteOnly));
  own.write("mine");
  own.close();

  const QString folder = ResolveProgramFolder(exeDir, false, dataHome);
  EXPECT_EQ(fs::path(folder.toStdString()), root / "home/trailmark");
  EXPECT_EQ(winport::testing::ReadFile(root / "home/trailmark/websites.dir"),
            "installed websites.dir");
  EXPECT_EQ(winport::testing::ReadFile(root / "home/trailmark/about.gif"), "installed about.gif");
  EXPECT_EQ(winport::testing::ReadFile(root / "home/trailmark/memory.ctr"), "mine");
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
