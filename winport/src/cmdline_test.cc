#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winport/process.h"

namespace winport {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsAsTheCRuntimeDoes) {
  struct Case {
    const char* line;
    Args args;
  } cases[] = {
      {R"(c:\Orbilink\bin\diagview.exe /SHOWWCPROPS)",
       {R"(c:\Orbilink\bin\diagview.exe)", "/SHOWWCPROPS"}},
      {"  prog   a\tb  ", {"prog", "a", "b"}},
      {R"("c:\Program Files\x.exe" "two words" "")",
       {R"(c:\Program Files\x.exe)", "two words", ""}},
      // The program name keeps its backslashes, even before a quote.
      {R"("c:\dir\"x.exe a)", {R"(c:\dir\x.exe)", "a"}},
      {R"(p a\\b a\"b a\\\"b a\\"b c" d)", {"p", R"(a\\b)", R"(a"b)", R"(a\"b)", R"(a\b c)", "d"}},
      {R"(p "c:\dir\\" next)", {"p", R"(c:\dir\)", "next"}},
      {R"(p "a""b" x""y "unterminated arg)", {"p", R"(a"b)", "xy", "unterminated arg"}},
      {R"(p trailing\)", {"p", R"(trailing\)"}},
      {"", {}},
      {"   ", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

}  // namespace
}  // namespace winport
