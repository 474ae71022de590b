// Case-blind search, which every page rewrite leans on.
#include "strutil.h"

#include <gtest/gtest.h>

namespace servala {
namespace {

TEST(FindNoCaseTest, EveryPositionAndEveryKindOfFirstCharacter) {
  const std::string page = "ab<%=Time%>x<!--#INCLUDE file=a--><%=time%>";
  // Openers start with a character without case; names with a letter.
  EXPECT_EQ(FindNoCase(page, "<%="), 2u);
  EXPECT_EQ(FindNoCase(page, "<%=", 3), 34u);
  EXPECT_EQ(FindNoCase(page, "<!--#include"), 12u);
  EXPECT_EQ(FindNoCase(page, "TIME"), 5u);
  EXPECT_EQ(FindNoCase(page, "time", 6), 37u);
  EXPECT_EQ(FindNoCase(page, "%>", 41), 41u);  // right at the end
  EXPECT_EQ(FindNoCase(page, "%>x", 41), std::string::npos);
  EXPECT_EQ(FindNoCase(page, "<%=", 36), std::string::npos);
  EXPECT_EQ(FindNoCase(page, "<%=", page.size() + 5), std::string::npos);
  EXPECT_EQ(FindNoCase("<%", "<%="), std::string::npos);
  EXPECT_EQ(FindNoCase(page, "", 4), 4u);
  // A partial match just before a real one is not taken for it.
  EXPECT_EQ(FindNoCase("<<%<%=", "<%="), 3u);
}

}  // namespace
}  // namespace servala
