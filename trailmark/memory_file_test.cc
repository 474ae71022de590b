#include "memory_file.h"

#include <gtest/gtest.h>

#include <QFile>

#include "testing.h"

namespace trailmark {
namespace {

QString Write(const QByteArray& bytes) {
  const QString path =
      QString::fromStdString((winport::testing::MakeTempDir() / "memory.ctr").string());
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
  return path;
}

TEST(TrailmarkMemoryFileTest, TenLinesEndedByCrOrCrLf) {
  // CR LF, a lone CR, an empty line, a lone LF kept inside its line, an unended last line;
  // lines after the tenth are ignored.
  const auto tips =
      ReadMemoryFile(Write("zero\r\none\rtwo\r\n\r\nfour\nstill four\r\nfive\r\nsix\r\nseven\r\n"
                           "eight\r\nnine\r\neleven\r\n"));
  ASSERT_TRUE(tips);
  const HotButtonTips want = {"zero", "one", "two",   "",      "four\nstill four",
                              "five", "six", "seven", "eight", "nine"};
  EXPECT_EQ(*tips, want);

  const auto unended = ReadMemoryFile(Write("0\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9"));
  ASSERT_TRUE(unended);
  EXPECT_EQ((*unended)[9], "9");
}

TEST(TrailmarkMemoryFileTest, FewerThanTenLinesIsAnError) {
  EXPECT_FALSE(ReadMemoryFile(Write("0\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n")));
  // Line feeds alone do not end lines.
  EXPECT_FALSE(ReadMemoryFile(Write("0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n")));
  EXPECT_FALSE(ReadMemoryFile(Write("")));
  EXPECT_FALSE(ReadMemoryFile("/nonexistent/memory.ctr"));
}

TEST(TrailmarkMemoryFileTest, LinesLongerThanAnAddressAreRefused) {
  const QByteArray longest(kMaxMemoryLine, 'x');
  QByteArray nine;
  for (int i = 1; i < 10; ++i) nine += QByteArray::number(i) + "\r\n";
  const auto fits = ReadMemoryFile(Write(longest + "\r\n" + nine));
  ASSERT_TRUE(fits);
  EXPECT_EQ((*fits)[0].size(), kMaxMemoryLine);
  EXPECT_FALSE(ReadMemoryFile(Write(longest + "x\r\n" + nine)));
  EXPECT_FALSE(ReadMemoryFile(Write(nine + longest + "x")));  // the tenth, unended
  // An eleventh line is not read at all.
  EXPECT_TRUE(ReadMemoryFile(Write(longest + "\r\n" + nine + longest + longest)));

  HotButtonTips tips;
  tips[4] = QString(kMaxMemoryLine / 2 + 1, QChar(0xE9));  // two bytes each
  const QString path = Write("old");
  EXPECT_FALSE(WriteMemoryFile(path, tips));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "old");
}

TEST(TrailmarkMemoryFileTest, WriteThenReadRoundTrip) {
  const QString path = Write("old");
  const HotButtonTips tips = {"", "news", "", "http://www.example.com/a,b", "", "ünïcode", "",
                              "", "?",    ""};
  ASSERT_TRUE(WriteMemoryFile(path, tips));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(),
            QByteArray("\r\nnews\r\n\r\nhttp://www.example.com/a,b\r\n\r\n\xc3\xbcn\xc3\xaf"
                       "code\r\n\r\n\r\n?\r\n\r\n"));
  EXPECT_EQ(ReadMemoryFile(path), tips);

  EXPECT_FALSE(WriteMemoryFile("/nonexistent/dir/memory.ctr", tips));
}

}  // namespace
}  // namespace trailmark
