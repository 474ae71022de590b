#include "shortcuts.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <filesystem>

#include "testing.h"

namespace trailmark {
namespace {

namespace fs = std::filesystem;

TEST(TrailmarkShortcutsTest, CreateInternetShortCutWritesTwoCrLfLines) {
  fs::create_directories(winport::testing::Prefix() / "drive_c/windows/favorites/keywords");
  const auto result =
      CreateInternetShortCut("http://www.example.org/", "c:\\windows\\favorites\\keywords\\ex.url");
  ASSERT_TRUE(result);
  EXPECT_TRUE(*result);
  const fs::path file = winport::testing::Prefix() / "drive_c/windows/favorites/keywords/ex.url";
  EXPECT_EQ(winport::testing::ReadFile(file),
            "[InternetShortcut]\r\nURL=http://www.example.org/\r\n");

  // Replaces what was there.
  ASSERT_TRUE(CreateInternetShortCut("x", QString::fromStdString(file.string())));
  EXPECT_EQ(winport::testing::ReadFile(file), "[InternetShortcut]\r\nURL=x\r\n");
}

TEST(TrailmarkShortcutsTest, CreateInternetShortCutIntoMissingFolderWritesNothing) {
  EXPECT_FALSE(CreateInternetShortCut("http://www.example.org/", "c:\\nowhere\\ex.url"));
  EXPECT_FALSE(fs::exists(winport::testing::Prefix() / "drive_c/nowhere"));
}

TEST(TrailmarkShortcutsTest, ReadShortcutUrl) {
  const fs::path dir = winport::testing::MakeTempDir();
  auto write = [&](const char* name, const QByteArray& bytes) {
    QFile f(QString::fromStdString((dir / name).string()));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return f.fileName();
  };
  EXPECT_EQ(ReadShortcutUrl(write("a.url", "[InternetShortcut]\r\nURL=http://a.example.com/\r\n")),
            "http://a.example.com/");
  EXPECT_EQ(ReadShortcutUrl(write("b.url", "[InternetShortcut]\nIconIndex=0\nurl=http://b/")),
            "http://b/");
  EXPECT_FALSE(ReadShortcutUrl(write("c.url", "[InternetShortcut]\r\nIconIndex=0\r\n")));
  EXPECT_FALSE(ReadShortcutUrl(write("d.url", QByteArray(3 * 1024 * 1024, '\0'))));
  EXPECT_FALSE(ReadShortcutUrl(QString::fromStdString((dir / "missing.url").string())));
}

TEST(TrailmarkShortcutsTest, KeywordShortcutPathStaysInTheKeywordFolder) {
  const auto path = KeywordShortcutPath("News");
  ASSERT_TRUE(path);
  EXPECT_EQ(fs::path(path->toStdString()),
            winport::testing::Prefix() / "drive_c/windows/favorites/keywords/News.url");
  for (const char* bad : {"..\\..\\secret", "a/b", "..", "."})
    EXPECT_FALSE(KeywordShortcutPath(bad)) << bad;
}

}  // namespace
}  // namespace trailmark
