#include "core/UsabilitySlotClient.h"

#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/mailslot.h>

#include <string>
#include <vector>

#include "core/DAKDllMain.h"
#include "core/Win.h"
#include "testing.h"

namespace {

std::vector<BYTE> ReadOne(HANDLE slot) {
  DWORD next = 0;
  DWORD count = 0;
  EXPECT_TRUE(GetMailslotInfo(slot, nullptr, &next, &count, nullptr));
  if (next == MAILSLOT_NO_MESSAGE) return {};
  std::vector<BYTE> bytes(next);
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(slot, bytes.data(), next, &read, nullptr));
  bytes.resize(read);
  return bytes;
}

TEST(UsabilitySlotClientTest, GenericRecordIsLaidOutWithFullLengthsAndZeros) {
  HANDLE slot = CreateMailslotA(kUsabilitySlotName, 0, 0, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  CUsabilitySlotClient client;
  ASSERT_EQ(client.SendGeneric("DiagCorrections", "AdapterCorrAction", "Successful"), 0u);
  EXPECT_EQ(client.GetBytesWritten(), 16u + 16 + 18 + 11);

  const BYTE expected[] = {5,   0,   0,   0,   16,  0,   0,   0,   'D', 'i', 'a', 'g', 'C',
                           'o', 'r', 'r', 'e', 'c', 't', 'i', 'o', 'n', 's', 0,   18,  0,
                           0,   0,   'A', 'd', 'a', 'p', 't', 'e', 'r', 'C', 'o', 'r', 'r',
                           'A', 'c', 't', 'i', 'o', 'n', 0,   11,  0,   0,   0,   'S', 'u',
                           'c', 'c', 'e', 's', 's', 'f', 'u', 'l', 0};
  EXPECT_EQ(ReadOne(slot), std::vector<BYTE>(std::begin(expected), std::end(expected)));

  // Empty strings still carry their zero.
  ASSERT_EQ(client.SendGeneric("", "", ""), 0u);
  EXPECT_EQ(ReadOne(slot),
            (std::vector<BYTE>{5, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
  CloseHandle(slot);
}

TEST(UsabilitySlotClientTest, WritesFailWithoutAReaderAndReopenOnceOneExists) {
  CUsabilitySlotClient client;
  EXPECT_NE(client.Open(), 0u);
  const BYTE record[] = {4, 0, 0, 0, 2, 0, 0, 0};
  EXPECT_NE(client.Write(record, sizeof record), 0u);
  EXPECT_EQ(client.Close(), 0u);

  HANDLE slot = CreateMailslotA(kUsabilitySlotName, 0, 0, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  EXPECT_EQ(client.Write(record, sizeof record), 0u);
  EXPECT_EQ(ReadOne(slot), std::vector<BYTE>(std::begin(record), std::end(record)));
  CloseHandle(slot);
}

}  // namespace
