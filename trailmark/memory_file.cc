#include "memory_file.h"

#include <QFile>
#include <QSaveFile>

namespace trailmark {

std::optional<HotButtonTips> ReadMemoryFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;

  HotButtonTips tips;
  int line = 0;
  QByteArray current;
  bool inLine = false;   // bytes of the current line were seen (or it was started)
  bool afterCr = false;  // the previous byte ended a line with CR; an LF now belongs to it
  char c;
  while (line < kHotButtonCount && file.getChar(&c)) {
    if (afterCr) {
      afterCr = false;
      if (c == '\n') continue;
    }
    if (c == '\r') {
      tips[line++] = QString::fromUtf8(current);
      current.clear();
      inLine = false;
      afterCr = true;
      continue;
    }
    if (current.size() == kMaxMemoryLine) return std::nullopt;
    current.append(c);
    inLine = true;
  }
  if (line < kHotButtonCount && inLine) tips[line++] = QString::fromUtf8(current);
  if (line < kHotButtonCount) return std::nullopt;
  return tips;
}

bool WriteMemoryFile(const QString& path, const HotButtonTips& tips) {
  for (const QString& tip : tips) {
    if (tip.toUtf8().size() > kMaxMemoryLine) return false;
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  for (const QString& tip : tips) {
    file.write(tip.toUtf8());
    file.write("\r\n");
  }
  return file.commit();
}

}  // namespace trailmark
