// The transmission bag: slots, growth, iteration, and report files kept oldest first.
#include "reports/ProxyBag.h"

#include <gtest/gtest.h>
#include <winport/file.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/TraceLog.h"
#include "testing.h"
#include "testing/Files_testing.h"
#include "testing/Registry_testing.h"

namespace {

namespace fs = std::filesystem;
using vitalis_testing::Count;
using winport::testing::MakeTempDir;
using winport::testing::ReadFile;

class ProxyBagTest : public ::testing::Test {
 protected:
  void SetUp() override { vitalis_testing::TraceTo(trace_); }
  void TearDown() override { CTraceLog::Close(); }

  std::string Trace() {
    std::string text = vitalis_testing::ReadTrace(trace_);
    return text.empty() ? ReadFile(trace_.string() + ".txt") : text;
  }

  fs::path dir_ = MakeTempDir("bag");
  fs::path trace_ = dir_ / "bag.log";
};

TEST_F(ProxyBagTest, EleventhItemGrowsTheBagByFiftyOnce) {
  int items[12] = {};
  ProxyBag bag(10);
  for (int i = 0; i < 11; ++i) bag.Put(&items[i]);
  EXPECT_EQ(bag.GetCapacity(), 60);
  EXPECT_EQ(bag.GetCount(), 11);
  bag.BeginIteration();
  std::vector<void*> seen;
  while (void* item = bag.Next()) seen.push_back(item);
  bag.EndIteration();
  ASSERT_EQ(seen.size(), 11u);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(seen[i], &items[i]) << i;  // slot 10 holds the 11th
  EXPECT_EQ(Count(Trace(), "ProxyBag::Put full error, reconfiguring the Proxybag size"), 1);
}

TEST_F(ProxyBagTest, GetRemoveAndNextFollowSlotOrder) {
  int a = 0, b = 0, c = 0, stranger = 0;
  ProxyBag bag(10);
  EXPECT_EQ(bag.Get(), nullptr);
  bag.Put(&a);
  bag.Put(&b);

  bag.BeginIteration();
  EXPECT_EQ(bag.Next(), &a);
  EXPECT_EQ(bag.Next(), &b);
  EXPECT_EQ(bag.Next(), nullptr);
  bag.EndIteration();

  EXPECT_EQ(bag.Remove(&stranger), nullptr);
  EXPECT_EQ(bag.GetCount(), 2);
  EXPECT_EQ(bag.Get(), &a);
  bag.Put(&c);  // refills slot 0
  EXPECT_EQ(bag.Remove(&b), &b);
  EXPECT_EQ(bag.Remove(&b), nullptr);
  EXPECT_EQ(bag.Get(), &c);
  EXPECT_EQ(bag.Get(), nullptr);
  EXPECT_EQ(bag.GetCount(), 0);
}

TEST_F(ProxyBagTest, IterationHoldsOtherThreadsOffUntilItEnds) {
  int a = 0, b = 0;
  ProxyBag bag(10);
  bag.Put(&a);
  bag.BeginIteration();
  std::thread other([&] { bag.Put(&b); });
  // The same thread may still use the bag inside its own iteration.
  EXPECT_EQ(bag.Next(), &a);
  EXPECT_EQ(bag.Get(), &a);
  EXPECT_EQ(bag.GetCount(), 0);  // the other thread's Put is still waiting
  bag.EndIteration();
  other.join();
  EXPECT_EQ(bag.GetCount(), 1);
  EXPECT_EQ(bag.Get(), &b);
}

class FileTxTest : public ProxyBagTest {
 protected:
  std::string Make(const std::string& name) {
    return vitalis_testing::MakeFileAfter(dir_, name, name, &last_);
  }
  std::vector<std::string> Order(CFileTx& bag) {
    std::vector<std::string> order;
    bag.BeginIteration();
    while (void* item = bag.Next()) order.push_back(fs::path(static_cast<char*>(item)).filename());
    bag.EndIteration();
    return order;
  }
  FILETIME last_{};
};

TEST_F(FileTxTest, PathsAreKeptOldestFirstAndTiesGoAfter) {
  std::string t1 = Make("HR1.ini"), t2 = Make("HR2.ini"), t3 = Make("HR3.ini");
  // A hard link shares its inode, so its creation time equals HR2's exactly.
  fs::create_hard_link(t2, dir_ / "HR2b.ini");
  std::string t2b = (dir_ / "HR2b.ini").string();
  std::vector<std::string> buffers = {t2, t1, t3, t2b};

  CFileTx bag(10);
  for (auto& name : buffers) EXPECT_TRUE(bag.Put(name.data()));
  EXPECT_EQ(Order(bag), (std::vector<std::string>{"HR1.ini", "HR2.ini", "HR2b.ini", "HR3.ini"}));
  EXPECT_EQ(bag.GetFileCount(), 4);

  std::string missing = (dir_ / "HR9.ini").string();
  EXPECT_FALSE(bag.Put(missing.data()));
  EXPECT_EQ(bag.GetFileCount(), 4);
  EXPECT_EQ(bag.GetCount(), 4);
  EXPECT_NE(Trace().find("CFileTx::Put - tried to put a file that returns INVALID_HANDLE_VALUE "
                         "file name = " +
                         missing),
            std::string::npos);
}

TEST_F(FileTxTest, FullBagGrowsWhetherTheNewFileIsOldestOrNewest) {
  std::vector<std::string> files;
  for (int i = 0; i < 13; ++i) files.push_back(Make("HR" + std::to_string(100 + i) + ".ini"));
  CFileTx bag(10);
  // Ten newest first in creation order, then the oldest (insertion into a full bag) and the
  // newest two (appending to a full bag, then to a grown one).
  for (int i = 1; i <= 10; ++i) EXPECT_TRUE(bag.Put(files[i].data()));
  EXPECT_TRUE(bag.Put(files[0].data()));
  EXPECT_EQ(bag.GetCapacity(), 60);
  EXPECT_TRUE(bag.Put(files[12].data()));
  EXPECT_TRUE(bag.Put(files[11].data()));
  EXPECT_EQ(bag.GetCapacity(), 60);
  std::vector<std::string> expected;
  for (int i = 0; i < 13; ++i) expected.push_back("HR" + std::to_string(100 + i) + ".ini");
  EXPECT_EQ(Order(bag), expected);
  EXPECT_EQ(bag.GetFileCount(), 13);
}

TEST_F(FileTxTest, StoredPathThatCannotBeDatedIsPassedOver) {
  std::string t1 = Make("HR1.ini");
  std::string never = (dir_ / "HR0.ini").string();
  CFileTx bag(10);
  bag.ProxyBag::Put(never.data());  // stored as it stands, as the plain bag does
  EXPECT_TRUE(bag.Put(t1.data()));
  // The stored path cannot be dated, so the new one is not placed before it.
  EXPECT_EQ(Order(bag), (std::vector<std::string>{"HR0.ini", "HR1.ini"}));
  EXPECT_NE(Trace().find("CFileTx::Put - tried to put a file that returns INVALID_HANDLE_VALUE " +
                         never + " which was read from the bag"),
            std::string::npos);
}

TEST_F(FileTxTest, InsertionIntoABagWithAGapLosesNothing) {
  std::string t1 = Make("HR1.ini"), t2 = Make("HR2.ini"), t3 = Make("HR3.ini"),
              t4 = Make("HR4.ini");
  CFileTx bag(10);
  for (auto* name : {&t2, &t3, &t4}) EXPECT_TRUE(bag.Put(name->data()));
  EXPECT_EQ(bag.Remove(t3.data()), t3.data());
  EXPECT_TRUE(bag.Put(t1.data()));
  EXPECT_EQ(Order(bag), (std::vector<std::string>{"HR1.ini", "HR2.ini", "HR4.ini"}));
  EXPECT_EQ(bag.GetFileCount(), 3);
}

}  // namespace
