// Statistics records: bucket rule, driver record copy and difference, dial-out list.
#include "stats/StatsRecords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

TEST(SqfStats, BucketRule) {
  const std::pair<WORD, unsigned> cases[] = {{0, 0},   {49, 0},   {50, 1},    {59, 1},    {60, 2},
                                             {139, 9}, {140, 10}, {1000, 10}, {65535, 10}};
  for (const auto& [sqf, bucket] : cases) EXPECT_EQ(SQF_STATS::BucketOf(sqf), bucket) << sqf;
}

TEST(VesddStats, CopyAndDifference) {
  VESDD_STATS base, latest;
  base.dwCRCErrors = 10;
  base.dwMegaBytesReceived = 100;
  base.dwHeartBeat = 0xFFFFFFF0u;
  base.dwLowOnBuffers = 1;
  base.dwFErrors = 2;
  base.dwFramesProcessed = 999;
  latest.dwCRCErrors = 5;  // the driver's counter wrapped
  latest.dwMegaBytesReceived = 150;
  latest.dwHeartBeat = 0x10;
  latest.dwLowOnBuffers = 4;
  latest.dwFErrors = 2;
  latest.dwFramesProcessed = 1234;
  latest.dwMulticastAdds = 7;
  latest.dwDriverOpMode = 2;
  std::strcpy(latest.szSiteID, "SITE1");
  std::strcpy(latest.szAddressStats, "a\nb\nc\n");

  VESDD_STATS delta = GenerateDelta(latest, base);
  EXPECT_EQ(delta.dwCRCErrors, 0xFFFFFFFBu);
  EXPECT_EQ(delta.dwMegaBytesReceived, 50u);
  EXPECT_EQ(delta.dwHeartBeat, 0x20u);
  EXPECT_EQ(delta.dwLowOnBuffers, 3u);
  EXPECT_EQ(delta.dwFErrors, 0u);
  EXPECT_EQ(delta.dwFramesProcessed, 1234u);
  EXPECT_EQ(delta.dwMulticastAdds, 7u);
  EXPECT_EQ(delta.dwDriverOpMode, 2u);
  EXPECT_STREQ(delta.szSiteID, "SITE1");
  EXPECT_STREQ(delta.szAddressStats, "a\nb\nc\n");
  EXPECT_STREQ(delta.szSerialNumber, "N.A.");
}

ZN_NODE Node(const char* number, DWORD busy, DWORD attempts) {
  ZN_NODE node;
  node.SetPhoneNumber(number);
  node.dwBusy = busy;
  node.dwAttempts = attempts;
  return node;
}

std::string PopNumbers(ZN_LIST& list) {
  std::string order;
  while (list.Count() > 0) order += list.PopFront().szPhoneNumber;
  return order;
}

TEST(DialOutList, AddMergesByExactNumber) {
  ZN_LIST list;
  list.Add(Node("555", 1, 0));
  list.Add(Node("555", 0, 1));
  list.Add(Node("555 ", 0, 1));
  EXPECT_EQ(list.Count(), 2u);
  // New numbers go to the front.
  ZN_NODE first = list.PopFront();
  EXPECT_STREQ(first.szPhoneNumber, "555 ");
  ZN_NODE merged = list.PopFront();
  EXPECT_EQ(merged.dwBusy, 1u);
  EXPECT_EQ(merged.dwAttempts, 1u);
  ZN_NODE empty = list.PopFront();
  EXPECT_EQ(empty.szPhoneNumber[0], '\0');
  EXPECT_EQ(empty.Total(), 0u);
}

TEST(DialOutList, SortLargestFirstWithTies) {
  ZN_LIST list;
  // Added at the front, so the list reads D C B A.
  list.Add(Node("A", 1, 0));
  list.Add(Node("B", 1, 1));
  list.Add(Node("C", 0, 2));
  list.Add(Node("D", 0, 1));
  list.Sort();
  // C overtakes the head D; B ties with the head C and goes behind it; A ties with D and,
  // coming later, goes in front of it.
  EXPECT_EQ(PopNumbers(list), "CBAD");

  ZN_LIST ties;
  ties.Add(Node("X", 1, 0));
  ties.Add(Node("Y", 1, 0));
  ties.Add(Node("Z", 1, 0));  // list reads Z Y X
  ties.Sort();
  EXPECT_EQ(PopNumbers(ties), "ZXY");
}

TEST(DialOutList, PeekTopLeavesTheListAlone) {
  ZN_LIST list;
  list.Add(Node("1", 5, 0));
  list.Add(Node("2", 9, 0));
  list.Add(Node("3", 1, 0));
  list.Add(Node("4", 7, 0));
  ZN_NODE top[3];
  EXPECT_EQ(list.PeekTop(top, 3), 3u);
  EXPECT_STREQ(top[0].szPhoneNumber, "2");
  EXPECT_STREQ(top[1].szPhoneNumber, "4");
  EXPECT_STREQ(top[2].szPhoneNumber, "1");
  EXPECT_EQ(list.Count(), 4u);
  ZN_NODE two[3];
  ZN_LIST small;
  small.Add(Node("9", 1, 1));
  EXPECT_EQ(small.PeekTop(two, 3), 1u);
  EXPECT_EQ(two[1].szPhoneNumber[0], '\0');
}

TEST(DialOutList, LongPhoneNumberIsCutTo19Characters) {
  ZN_NODE node = Node("0123456789012345678901234567890", 1, 0);
  EXPECT_EQ(std::strlen(node.szPhoneNumber), 19u);
  EXPECT_EQ(std::string(node.szPhoneNumber), "0123456789012345678");
  // Two long numbers that agree in their first 19 characters count as one.
  ZN_LIST list;
  list.Add(node);
  list.Add(Node("0123456789012345678999", 0, 1));
  EXPECT_EQ(list.Count(), 1u);
}

}  // namespace
