// Splitting a Windows command line into arguments, as a program's C runtime does it.
#include <string>
#include <string_view>
#include <vector>

#include "winport/process.h"

namespace winport {

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::size_t i = 0;
  while (i < line.size() && blank(line[i])) ++i;
  if (i == line.size()) return args;

  // The program name: up to the closing quote, or the first blank; backslashes as they stand.
  std::string program;
  if (line[i] == '"') {
    std::size_t close = line.find('"', i + 1);
    std::size_t end = close == std::string_view::npos ? line.size() : close;
    program.assign(line.substr(i + 1, end - i - 1));
    i = close == std::string_view::npos ? line.size() : close + 1;
  }
  while (i < line.size() && !blank(line[i])) program += line[i++];
  args.push_back(std::move(program));

  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i == line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size()) {
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++slashes;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2) {
          arg += '"';
          ++i;
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';  // "" inside quotes: a literal quote, still quoted
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      arg.append(slashes, '\\');
      if (i == line.size()) break;
      if (blank(line[i]) && !quoted) break;
      arg += line[i++];
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace winport
