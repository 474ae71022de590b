// The failed-test text of the control's StatusAvailable event ("id,code;" items) as rows a
// user can read: the test, its status code with the code's name, and a plain line.
#pragma once

#include <string>
#include <vector>

struct FailedTest {
  int id = 0;
  int code = 0;
  std::string testName;  // "Adapter", "TCP/IP", ...
  std::string codeName;  // "DTS_NEED_AUTOSETUP"; "" for a code the application does not know
  std::string advice;    // one plain sentence for the user
};

// Items that are not two decimal numbers are skipped.
std::vector<FailedTest> ParseFailedTests(const std::string& text);

std::string TestDisplayName(int id);
// The status code's name, or "" when unknown.
std::string StatusCodeName(int code);
std::string PlainAdvice(int id, int code);
