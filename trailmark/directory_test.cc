#include "directory.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <random>

#include "testing.h"

namespace trailmark {
namespace {

class TrailmarkDirectoryTest : public ::testing::Test {
 protected:
  QString Write(const QByteArray& bytes) {
    const QString path =
        QString::fromStdString((winport::testing::MakeTempDir() / "websites.dir").string());
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
  }
};

TEST_F(TrailmarkDirectoryTest, LfRecordsMatchWholeKeywordWithoutRegardToCase) {
  const QString path = Write(
      "News\nhttp://news.example.com/\nNews site\n"
      "Mail\nhttp://mail.example.com/\nMail site\n"
      "mail\nhttp://second.example.com/\nA later duplicate\n");
  for (const char* typed : {"news", "NEWS", "nEwS"}) {
    const auto r = LookupDirectory(path, typed);
    EXPECT_EQ(r.result, DirectoryLookup::kFound) << typed;
    EXPECT_EQ(r.target, "http://news.example.com/");
  }
  // The first matching record wins.
  EXPECT_EQ(LookupDirectory(path, "MAIL").target, "http://mail.example.com/");
  // Whole texts only: no trimming, no prefix matches.
  for (const char* typed : {"news ", " news", "new", "newsx", "News site"}) {
    EXPECT_EQ(LookupDirectory(path, typed).result, DirectoryLookup::kNotFound) << typed;
  }
}

TEST_F(TrailmarkDirectoryTest, ListInputItems) {
  // A quoted item keeps its commas and drops what follows its closing quote; an item ending on a
  // record boundary lets the next item start afresh after CR LF.
  const QString path = Write(
      "\"shop\nhttp://example.com/a,b\nGoods, wares\n\"junk\r\n"
      "wiki\nhttp://wiki.example.com/\nWiki\n\r\n"
      "docs\nhttp://docs.example.com/\nDocs\n");
  EXPECT_EQ(LookupDirectory(path, "shop").target, "http://example.com/a,b");
  EXPECT_EQ(LookupDirectory(path, "wiki").target, "http://wiki.example.com/");
  EXPECT_EQ(LookupDirectory(path, "docs").target, "http://docs.example.com/");
  EXPECT_EQ(LookupDirectory(path, "junk").result, DirectoryLookup::kNotFound);

  // Without quotes a comma ends the item in the middle of a record: the record is cut.
  const QString unquoted = Write("shop\nhttp://example.com/a,b\nGoods\n");
  EXPECT_EQ(LookupDirectory(unquoted, "shop").result, DirectoryLookup::kError);
}

TEST_F(TrailmarkDirectoryTest, CrLfLinesAndCutRecordsAreErrors) {
  // Each CR LF line becomes its own item without a line feed.
  EXPECT_EQ(LookupDirectory(Write("news\r\nhttp://news.example.com/\r\nNews\r\n"), "news").result,
            DirectoryLookup::kError);

  const QString cut = Write("a\nhttp://a.example.com/\nA\nb\nhttp://b.example.com/");
  EXPECT_EQ(LookupDirectory(cut, "a").target, "http://a.example.com/");
  EXPECT_EQ(LookupDirectory(cut, "b").result, DirectoryLookup::kError);
  EXPECT_EQ(LookupDirectory(cut, "c").result, DirectoryLookup::kError);

  // A last record whose unused third line lacks its line feed is whole.
  EXPECT_EQ(LookupDirectory(Write("a\nhttp://a.example.com/\nA"), "z").result,
            DirectoryLookup::kNotFound);
  EXPECT_EQ(LookupDirectory(Write(""), "a").result, DirectoryLookup::kNotFound);
  EXPECT_EQ(LookupDirectory("/nonexistent/websites.dir", "a").result, DirectoryLookup::kError);
}

TEST_F(TrailmarkDirectoryTest, AnyContentEndsWithoutCrashOrHang) {
  // A 10 MB line without a line feed, then one followed by real records.
  const QByteArray big(10 * 1024 * 1024, 'x');
  EXPECT_EQ(LookupDirectory(Write(big), "x").result, DirectoryLookup::kError);
  const auto r = LookupDirectory(Write(big + "\nt\nd\nkey\nhttp://k.example.com/\nK\n"), "KEY");
  EXPECT_EQ(r.result, DirectoryLookup::kFound);
  EXPECT_EQ(r.target, "http://k.example.com/");
  // A keyword as long as the line is compared, not cut to a prefix.
  EXPECT_EQ(LookupDirectory(Write(big + "\nt\nd\n"), QString(64, 'x')).result,
            DirectoryLookup::kNotFound);

  // Binary content, NULs and unbalanced quotes included.
  std::mt19937 rng(7);
  QByteArray noise(1 << 20, '\0');
  for (auto& c : noise) c = static_cast<char>(rng());
  noise.prepend("\"\0\n", 3);
  const auto n = LookupDirectory(Write(noise), "news");
  EXPECT_NE(n.result, DirectoryLookup::kFound);
}

TEST_F(TrailmarkDirectoryTest, OnlyWhatTheLookUpReadsIsADirectoryFile) {
  EXPECT_TRUE(IsDirectoryFile(Write("news\nhttp://news.example.com/\nNews\n")));
  // Items between commas, and quoted items, each of whole records.
  EXPECT_TRUE(IsDirectoryFile(Write("a\nt\n\n,\"b\nt,u\nd\n\"\r\nc\nt\nd\n")));

  EXPECT_FALSE(IsDirectoryFile(Write("")));
  EXPECT_FALSE(IsDirectoryFile(Write(",\r\n")));              // items, but no record
  EXPECT_FALSE(IsDirectoryFile(Write("news\nhttp://x/\n")));  // cut short
  EXPECT_FALSE(IsDirectoryFile(Write("news\r\nhttp://x/\r\nNews\r\n")));
  EXPECT_FALSE(IsDirectoryFile(Write("<html><body>Sign in to the network</body></html>")));
  EXPECT_FALSE(IsDirectoryFile("/nonexistent/websites.dir"));
}

}  // namespace
}  // namespace trailmark
