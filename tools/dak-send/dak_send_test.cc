// dak-send's records, byte for byte, as read from a mailslot of the test's own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <winport/handle.h>
#include <winport/mailslot.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testing.h"

namespace {

using winport::CloseHandle;
using winport::CreateMailslotA;
using winport::DWORD;
using winport::GetMailslotInfo;
using winport::HANDLE;
using winport::INVALID_HANDLE_VALUE;
using winport::MAILSLOT_NO_MESSAGE;
using winport::ReadFile;

int DakSend(const std::string& arguments) {
  std::string command =
      (winport::testing::BinDir() / "dak-send").string() + " " + arguments + " 2>/dev/null";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class DakSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slot_ = CreateMailslotA("\\\\.\\mailslot\\DAKUsabilitySlot", 0, 0, nullptr);
    ASSERT_NE(slot_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { CloseHandle(slot_); }

  std::vector<std::uint8_t> Next() {
    DWORD next = 0;
    DWORD count = 0;
    EXPECT_TRUE(GetMailslotInfo(slot_, nullptr, &next, &count, nullptr));
    if (next == MAILSLOT_NO_MESSAGE) return {};
    std::vector<std::uint8_t> bytes(next);
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(slot_, bytes.data(), next, &read, nullptr));
    return bytes;
  }
  static std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
  }

  HANDLE slot_ = nullptr;
};

TEST_F(DakSendTest, FixedRecordsMatchTheirLayouts) {
  ASSERT_EQ(DakSend("runningtime stop --time 1700000000"), 0);
  EXPECT_EQ(Next(), (std::vector<std::uint8_t>{0, 0, 0, 0, 0x00, 0xF1, 0x53, 0x65, 1, 0, 0, 0}));

  ASSERT_EQ(DakSend("znstatus 5551234 attempt"), 0);
  auto zn = Next();
  ASSERT_EQ(zn.size(), 264u);
  EXPECT_EQ(U32(zn, 0), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(zn.data() + 4), "5551234");
  EXPECT_EQ(U32(zn, 260), 1u);

  ASSERT_EQ(DakSend("newscast 4294967301 1 2 3 4"), 0);
  EXPECT_EQ(Next(), (std::vector<std::uint8_t>{3, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0,
                                               1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0}));

  ASSERT_EQ(DakSend("connstate connected"), 0);
  EXPECT_EQ(Next(), (std::vector<std::uint8_t>{4, 0, 0, 0, 2, 0, 0, 0}));
  ASSERT_EQ(DakSend("delwcprops"), 0);
  EXPECT_EQ(Next(), (std::vector<std::uint8_t>{7, 0, 0, 0}));
  ASSERT_EQ(DakSend("adapterstate"), 0);
  EXPECT_EQ(Next(), (std::vector<std::uint8_t>{8, 0, 0, 0}));
  ASSERT_EQ(DakSend("raw '05 00 ff'"), 0);
  EXPECT_EQ(Next(), (std::vector<std::uint8_t>{5, 0, 0xFF}));
  ASSERT_EQ(DakSend("generic S K V1"), 0);
  EXPECT_EQ(Next(), (std::vector<std::uint8_t>{5, 0, 0,   0, 2, 0, 0, 0, 'S', 0,   2, 0,
                                               0, 0, 'K', 0, 3, 0, 0, 0, 'V', '1', 0}));
}

TEST_F(DakSendTest, PackageDeliveryRecordPlacesEveryField) {
  ASSERT_EQ(
      DakSend("pd --status 7 --size 123456 --reason 2 --loads 3 --client CLI --provider PRV "
              "--description 'a package' --topic TOP --mask 1f --status-byte -2 --fsd 10 --frd 20"),
      0);
  auto pd = Next();
  ASSERT_EQ(pd.size(), 584u);
  EXPECT_EQ(U32(pd, 0), 2u);
  EXPECT_EQ(U32(pd, 4), 10u);
  EXPECT_EQ(U32(pd, 8), 20u);
  EXPECT_EQ(U32(pd, 12), 7u);
  EXPECT_EQ(pd[16] | pd[17] << 8, 2);
  EXPECT_EQ(U32(pd, 20), 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(pd.data() + 24), "CLI");
  EXPECT_STREQ(reinterpret_cast<const char*>(pd.data() + 35), "PRV");
  EXPECT_STREQ(reinterpret_cast<const char*>(pd.data() + 46), "a package");
  EXPECT_STREQ(reinterpret_cast<const char*>(pd.data() + 558), "TOP");
  EXPECT_EQ(U32(pd, 572), 0x1Fu);
  EXPECT_EQ(static_cast<std::int8_t>(pd[576]), -2);
  EXPECT_EQ(U32(pd, 580), 123456u);
}

TEST_F(DakSendTest, BadArgumentsWriteNothing) {
  EXPECT_EQ(DakSend("pd --client 12345678901 --status 1"), 2);  // 11 characters do not fit
  EXPECT_EQ(DakSend("pd --size 5"), 2);                         // no status
  EXPECT_EQ(DakSend("runningtime pause"), 2);
  EXPECT_EQ(DakSend("raw 0"), 2);
  EXPECT_EQ(DakSend("bogus"), 2);
  EXPECT_EQ(Next(), std::vector<std::uint8_t>{});
}

TEST(DakSendNoSlotTest, MissingMailslotExitsOne) {
  EXPECT_EQ(DakSend("connstate 1"), 1);
}

}  // namespace
