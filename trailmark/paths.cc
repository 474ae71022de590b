#include "paths.h"

#include <winport/path.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace trailmark {

QStringList UserFiles() {
  return {"websites.dir", "memory.ctr"};
}

QString DirectoryFileUrl() {
  const QString over = qEnvironmentVariable(kDirectoryUrlVariable);
  return over.isEmpty() ? QString(kDirectoryFileUrl) : over;
}

QString HostPathOf(const QString& path) {
  const QByteArray utf8 = path.toUtf8();
  return QString::fromStdString(winport::HostPath(std::string_view(utf8.constData(), utf8.size())));
}

QString FindSharedFolder(const QStringList& candidates) {
  for (const QString& dir : candidates) {
    if (!dir.isEmpty() && QFileInfo(QDir(dir).filePath("help.html")).isFile()) {
      return QDir(dir).canonicalPath();
    }
  }
  return {};
}

QStringList SharedFolderCandidates(const QString& exeDir, const QStringList& systemDataDirs) {
  QStringList out{QDir(exeDir).filePath("../share/trailmark")};
  for (const QString& dir : systemDataDirs) out << QDir(dir).filePath("trailmark");
  out << QStringLiteral(TRAILMARK_INSTALL_DATADIR) << QStringLiteral(TRAILMARK_BUILD_DATADIR);
  return out;
}

QString PrepareUserFolder(const QString& dataHome, const QString& shared) {
  const QString folder = QDir(dataHome).filePath("trailmark");
  QDir().mkpath(folder);
  if (shared.isEmpty()) return folder;
  for (const QString& name : UserFiles()) {
    const QString target = QDir(folder).filePath(name);
    if (QFileInfo::exists(target)) continue;
    const QString from = QDir(shared).filePath(name);
    if (QFileInfo(from).isFile() && QFile::copy(from, target)) {
      // Installed files are read-only; the user's copy must not be.
      QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteOwner);
    }
  }
  return folder;
}

Folders ProgramFolders() {
  // The system data folders only: the user's own data folder is not where shipped files live.
  QStringList system = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
  system.removeAll(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
  Folders out;
  out.shared =
      FindSharedFolder(SharedFolderCandidates(QCoreApplication::applicationDirPath(), system));
  if (out.shared.isEmpty()) qWarning("trailmark: the program's shared files were not found");
  QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
  if (dataHome.isEmpty()) dataHome = QDir::homePath() + "/.local/share";
  out.user = PrepareUserFolder(dataHome, out.shared);
  return out;
}

}  // namespace trailmark
