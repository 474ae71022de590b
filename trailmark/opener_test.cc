#include "opener.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <filesystem>

#include "mci.h"
#include "testing.h"

namespace trailmark {
namespace {

namespace fs = std::filesystem;

QString Q(const fs::path& p) {
  return QString::fromStdString(p.string());
}

void WriteFile(const fs::path& p, const QByteArray& bytes) {
  fs::create_directories(p.parent_path());
  QFile f(Q(p));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

TEST(TrailmarkOpenerTest, WebAddressesFilesFoldersAndShortcuts) {
  const fs::path favorites = winport::testing::Prefix() / "drive_c/windows/favorites";
  fs::create_directories(favorites / "keywords");
  WriteFile(favorites / "keywords/news.url",
            "[InternetShortcut]\r\nURL=http://news.example.com/\r\n");
  WriteFile(favorites / "keywords/broken.url", "[InternetShortcut]\r\n");
  WriteFile(favorites / "keywords/loop.url",
            "[InternetShortcut]\r\nURL=c:\\windows\\favorites\\keywords\\loop.url\r\n");

  const struct {
    QString target;
    OpenAction::Kind kind;
    QString argument;
  } cases[] = {
      {"http://www.example.com/", OpenAction::kDefault, "http://www.example.com/"},
      {"HTTPS://www.example.com/a b", OpenAction::kDefault, "https://www.example.com/a%20b"},
      {"www.example.com", OpenAction::kDefault, "http://www.example.com"},
      {"example.org:8080/x", OpenAction::kDefault, "http://example.org:8080/x"},
      {"mailto:someone@example.com", OpenAction::kDefault, "mailto:someone@example.com"},
      {"c:\\windows\\favorites\\", OpenAction::kDefault, Q(favorites)},
      {"C:\\WINDOWS\\Favorites\\Keywords\\NEWS.URL", OpenAction::kDefault,
       "http://news.example.com/"},
      {"c:\\windows\\favorites\\keywords\\broken.url", OpenAction::kNothing, ""},
      {"c:\\windows\\favorites\\keywords\\loop.url", OpenAction::kNothing, ""},
      {"c:\\windows\\favorites\\missing.txt", OpenAction::kNothing, ""},
      {"notepad.exe c:\\trail mark/websites.dir", OpenAction::kTextEditor,
       Q(winport::testing::Prefix() / "drive_c/trail mark/websites.dir")},
      {"mspaint", OpenAction::kImageEditor, ""},
      {"gaffe", OpenAction::kNothing, ""},
      {"*.zip", OpenAction::kNothing, ""},
      {"", OpenAction::kNothing, ""},
      {"news ", OpenAction::kNothing, ""},
  };
  for (const auto& c : cases) {
    const OpenAction a = ClassifyTarget(c.target);
    EXPECT_EQ(a.kind, c.kind) << c.target.toStdString();
    EXPECT_EQ(a.argument, c.argument) << c.target.toStdString();
  }
}

TEST(TrailmarkOpenerTest, TargetTravelsAsOneArgumentWithoutAShell) {
  const fs::path odd = winport::testing::MakeTempDir() / "a b; echo $(id) 'x'.txt";
  WriteFile(odd, "text");
  std::vector<std::pair<QString, QStringList>> started;
  ShowURL opener([&](const QString& program, const QStringList& args) {
    started.emplace_back(program, args);
    return true;
  });
  opener.SetTarget(Q(odd));
  EXPECT_TRUE(opener.Open());
  opener.SetTarget("gaffe");  // nothing to open: nothing started, and the caller is told
  EXPECT_FALSE(opener.Open());
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].first, "xdg-open");
  EXPECT_EQ(started[0].second, QStringList{Q(odd)});
}

TEST(TrailmarkMciTest, CommandsAndTheirFailures) {
  EXPECT_EQ(ParseMciCommand("play ").error, "The command requires a parameter. Please supply one.");
  EXPECT_EQ(ParseMciCommand("rewind x.mid").error, "The driver cannot recognize the command.");
  const MciCommand quoted = ParseMciCommand("PLAY \"c:\\my music\\song.mp3\"");
  EXPECT_EQ(quoted.verb, "play");
  EXPECT_EQ(quoted.file, Q(winport::testing::Prefix() / "drive_c/my music/song.mp3"));

  QStringList shown;
  Mci mci([&](const QString& text) { shown << text; });
  EXPECT_FALSE(mci.mciExecute("play "));
  EXPECT_FALSE(mci.mciExecute("play /nonexistent/song.mp3"));
  EXPECT_FALSE(mci.mciExecute("pause /nonexistent/song.mp3"));
  EXPECT_EQ(shown, (QStringList{"The command requires a parameter. Please supply one.",
                                "The file cannot be found. Make sure the path and filename are "
                                "correct.",
                                "The device is not open or is not recognized by MCI."}));

  // Without a sound output no player is made: a failure, not a crash.
  const fs::path song = winport::testing::MakeTempDir() / "song.wav";
  WriteFile(song, "RIFF");
  shown.clear();
  Mci silent([&](const QString& text) { shown << text; }, [] { return false; });
  EXPECT_FALSE(silent.mciExecute("play " + Q(song)));
  EXPECT_FALSE(silent.mciExecute("stop " + Q(song)));
  EXPECT_EQ(shown, (QStringList{"There is no sound output device on this system. Make sure one "
                                "is installed and working.",
                                "The device is not open or is not recognized by MCI."}));
}

}  // namespace
}  // namespace trailmark
