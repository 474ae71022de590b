// Host-name look-up through the system resolver, with names that need no network.
#include "winport/netdb.h"

#include <gtest/gtest.h>

#include "winport/error.h"

namespace {

TEST(NetDb, NamesThatResolveAndNamesThatDoNot) {
  std::vector<std::string> local = winport::GetHostByName("localhost");
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(local.front().rfind("127.", 0), 0u) << local.front();

  // A dotted address resolves to itself, as gethostbyname's does.
  EXPECT_EQ(winport::GetHostByName("10.1.2.3"), std::vector<std::string>{"10.1.2.3"});

  // A name under .invalid never resolves; neither does an empty or null name.
  for (const char* name : {"no-such-host.invalid", "", static_cast<const char*>(nullptr)}) {
    winport::SetLastError(0);
    EXPECT_TRUE(winport::GetHostByName(name).empty()) << (name ? name : "(null)");
    EXPECT_NE(winport::GetLastError(), 0u);
  }
}

}  // namespace
