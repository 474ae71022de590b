#include "paths.h"

#include <winport/path.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace trailmark {

QStringList ProgramFiles() {
  return {"websites.dir", "memory.ctr", "help.html", "about.gif"};
}

QString DirectoryFileUrl() {
  const QString over = qEnvironmentVariable(kDirectoryUrlVariable);
  return over.isEmpty() ? QString(kDirectoryFileUrl) : over;
}

QString HostPathOf(const QString& path) {
  const QByteArray utf8 = path.toUtf8();
  return QString::fromStdString(winport::HostPath(std::string_view(utf8.constData(), utf8.size())));
}

QString ResolveProgramFolder(const QString& exeDir, bool exeDirWritable, const QString& dataHome) {
  if (exeDirWritable) return exeDir;
  const QString folder = QDir(dataHome).filePath("trailmark");
  QDir().mkpath(folder);
  const QStringList sources = {QDir(exeDir).filePath("../share/trailmark"), exeDir};
  for (const QString& name : ProgramFiles()) {
    const QString target = QDir(folder).filePath(name);
    if (QFileInfo::exists(target)) continue;
    for (const QString& source : sources) {
      const QString from = QDir(source).filePath(name);
      if (QFileInfo(from).isFile() && QFile::copy(from, target)) {
        // Installed files are read-only; the user's copy must not be.
        QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteOwner);
        break;
      }
    }
  }
  return folder;
}

QString ProgramFolder() {
  const QString exeDir = QCoreApplication::applicationDirPath();
  const bool writable = QFileInfo(exeDir).isWritable();
  QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
  if (dataHome.isEmpty()) dataHome = QDir::homePath() + "/.local/share";
  return ResolveProgramFolder(exeDir, writable, dataHome);
}

}  // namespace trailmark
