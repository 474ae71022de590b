#include "shortcuts.h"

#include <QFile>
#include <QSaveFile>

#include "paths.h"

namespace trailmark {

std::optional<bool> CreateInternetShortCut(const QString& targetUrl, const QString& fullPath) {
  QSaveFile file(HostPathOf(fullPath));
  if (!file.open(QIODevice::WriteOnly)) return std::nullopt;
  file.write("[InternetShortcut]\r\n");
  file.write("URL=" + targetUrl.toUtf8() + "\r\n");
  if (!file.commit()) return std::nullopt;
  return true;
}

std::optional<QString> ReadShortcutUrl(const QString& hostPath) {
  QFile file(hostPath);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  // A shortcut is a few short lines; a longer line is not one of its keys.
  constexpr qint64 kMaxLine = 64 * 1024;
  while (!file.atEnd()) {
    QByteArray line = file.readLine(kMaxLine);
    if (line.isEmpty()) break;
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    if (line.size() >= 4 && line.left(4).toUpper() == "URL=") {
      return QString::fromUtf8(line.mid(4)).trimmed();
    }
  }
  return std::nullopt;
}

std::optional<QString> KeywordShortcutPath(const QString& keyword) {
  if (keyword.contains('\\') || keyword.contains('/') || keyword.contains(QChar(0)) ||
      keyword == "." || keyword == "..") {
    return std::nullopt;
  }
  return HostPathOf(QString(kKeywordFolder) + keyword + ".url");
}

}  // namespace trailmark
