#include "diag/IrqLog.h"

#include <cctype>
#include <cstring>

namespace {

// The next non-empty line, cut to kIrqLogLineMax characters, without its line end.
bool NextLine(std::FILE* log, std::string* line) {
  for (;;) {
    line->clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(log)) != EOF) {
      any = true;
      if (c == '\n') break;
      if (line->size() < kIrqLogLineMax) line->push_back(static_cast<char>(c));
    }
    if (!any) return false;
    while (!line->empty() && (line->back() == '\r' || line->back() == '\n')) line->pop_back();
    if (!line->empty()) return true;
    if (c == EOF) return false;
  }
}

// The line's first token: up to the first tab, carriage return or line feed.
std::string FirstToken(const std::string& line) {
  return line.substr(0, line.find_first_of("\t\r\n"));
}

// From the line's first decimal digit to its end.
std::string NumberOf(const std::string& line) {
  for (std::size_t i = 0; i < line.size(); ++i)
    if (std::isdigit(static_cast<unsigned char>(line[i]))) return line.substr(i);
  return "";
}

// Between the first "(" and the next ")"; false when there is no such pair.
bool IrqOf(const std::string& line, std::string* irq) {
  std::size_t open = line.find('(');
  if (open == std::string::npos) return false;
  std::size_t close = line.find(')', open + 1);
  if (close == std::string::npos) return false;
  *irq = line.substr(open + 1, close - open - 1);
  return true;
}

}  // namespace

void ScanIrqLog(std::FILE* log, const char* adapterVendorId, IrqLogScan* scan) {
  const std::string adapterOpening = std::string("Vendor ID ") + adapterVendorId;
  std::vector<IrqLogDevice> others;
  std::string line;
  bool more = NextLine(log, &line);
  while (more) {
    const std::string token = FirstToken(line);
    if (token.find("Vendor ID") == std::string::npos) {
      more = NextLine(log, &line);
      continue;
    }
    const bool adapter = token == adapterOpening;
    IrqLogDevice device{NumberOf(line), "", ""};
    // The block's two further lines; a line that opens a block begins a new one.
    std::string second;
    std::string third;
    if (!NextLine(log, &second)) break;
    if (FirstToken(second).find("Vendor ID") != std::string::npos) {
      line = second;
      continue;
    }
    if (!NextLine(log, &third)) break;
    if (FirstToken(third).find("Vendor ID") != std::string::npos) {
      line = third;
      continue;
    }
    device.deviceId = NumberOf(second);
    const bool hasIrq = IrqOf(third, &device.irq);
    if (adapter) {
      if (device.deviceId == "0002" && hasIrq) {
        scan->adapterIrqFound = true;
        scan->adapterIrq = device.irq;
      }
    } else if (hasIrq) {
      others.push_back(device);
    }
    more = NextLine(log, &line);
  }
  if (!scan->adapterIrqFound) return;
  for (const IrqLogDevice& d : others)
    if (d.irq == scan->adapterIrq) scan->conflicts.push_back(d);
}
