#include "opener.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

#include "paths.h"
#include "shortcuts.h"

namespace trailmark {
namespace {

// "notepad.exe FILE" -> ("notepad.exe", "FILE"), without regard to case.
bool SplitProgram(const QString& target, const QStringList& names, QString& rest) {
  const QString trimmed = target.trimmed();
  const qsizetype space = trimmed.indexOf(' ');
  const QString program = space < 0 ? trimmed : trimmed.left(space);
  for (const QString& name : names) {
    if (program.compare(name, Qt::CaseInsensitive) == 0) {
      rest = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();
      return true;
    }
  }
  return false;
}

QString FirstOnPath(const QStringList& programs) {
  for (const QString& p : programs) {
    if (!QStandardPaths::findExecutable(p).isEmpty()) return p;
  }
  return {};
}

OpenAction Classify(const QString& target, bool followShortcut);

OpenAction ClassifyPath(const QString& hostPath, bool followShortcut) {
  const QFileInfo info(hostPath);
  if (!info.exists()) return {};
  if (info.isFile() && info.suffix().compare("url", Qt::CaseInsensitive) == 0) {
    if (!followShortcut) return {};
    const auto url = ReadShortcutUrl(hostPath);
    if (!url || url->isEmpty()) return {};
    const OpenAction inner = Classify(*url, false);
    // A shortcut names an address or a file, never a program or another shortcut.
    return inner.kind == OpenAction::kDefault ? inner : OpenAction{};
  }
  return {OpenAction::kDefault, info.absoluteFilePath()};
}

OpenAction Classify(const QString& target, bool followShortcut) {
  if (target.trimmed().isEmpty() || target.contains(QChar(0))) return {};

  QString rest;
  if (SplitProgram(target, {"notepad.exe", "notepad"}, rest)) {
    return {OpenAction::kTextEditor, rest.isEmpty() ? rest : HostPathOf(rest)};
  }
  if (SplitProgram(target, {"mspaint.exe", "mspaint"}, rest)) {
    return {OpenAction::kImageEditor, rest.isEmpty() ? rest : HostPathOf(rest)};
  }

  static const QRegularExpression scheme("^([A-Za-z][A-Za-z0-9+.-]+://|(mailto|news):)",
                                         QRegularExpression::CaseInsensitiveOption);
  static const QRegularExpression drive("^[A-Za-z]:");
  if (scheme.match(target).hasMatch() && !drive.match(target).hasMatch()) {
    const QUrl url(target, QUrl::TolerantMode);
    if (!url.isValid()) return {};
    if (url.isLocalFile()) return ClassifyPath(url.toLocalFile(), followShortcut);
    return {OpenAction::kDefault, url.toString(QUrl::FullyEncoded)};
  }

  const OpenAction path = ClassifyPath(HostPathOf(target), followShortcut);
  if (path.kind != OpenAction::kNothing) return path;

  // A bare host name with an optional port and path, as a browser's address box takes it.
  static const QRegularExpression host(
      "^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+(:[0-9]{1,5})?(/[^\\s]*)?$");
  if (host.match(target).hasMatch()) {
    const QUrl url("http://" + target, QUrl::StrictMode);
    if (url.isValid()) return {OpenAction::kDefault, url.toString(QUrl::FullyEncoded)};
  }
  return {};
}

}  // namespace

OpenAction ClassifyTarget(const QString& target) {
  return Classify(target, true);
}

bool LaunchAction(const OpenAction& action, const StartDetachedFn& start) {
  switch (action.kind) {
    case OpenAction::kNothing:
      return false;
    case OpenAction::kDefault:
      return start("xdg-open", {action.argument});
    case OpenAction::kTextEditor: {
      const QString editor = FirstOnPath({"gnome-text-editor", "gedit", "kate", "kwrite",
                                          "mousepad", "xed", "pluma", "featherpad"});
      if (!editor.isEmpty()) {
        return start(editor,
                     action.argument.isEmpty() ? QStringList{} : QStringList{action.argument});
      }
      return !action.argument.isEmpty() && start("xdg-open", {action.argument});
    }
    case OpenAction::kImageEditor: {
      const QString editor = FirstOnPath({"pinta", "kolourpaint", "drawing", "gimp"});
      if (!editor.isEmpty()) {
        return start(editor,
                     action.argument.isEmpty() ? QStringList{} : QStringList{action.argument});
      }
      return !action.argument.isEmpty() && start("xdg-open", {action.argument});
    }
  }
  return false;
}

ShowURL::ShowURL(StartDetachedFn start) : start_(std::move(start)) {
  if (!start_) {
    start_ = [](const QString& program, const QStringList& arguments) {
      if (QProcess::startDetached(program, arguments)) return true;
      // Without xdg-open, the toolkit's own desktop services may still manage.
      if (program == "xdg-open" && arguments.size() == 1) {
        const QString& a = arguments.front();
        return QDesktopServices::openUrl(QFileInfo(a).isAbsolute() ? QUrl::fromLocalFile(a)
                                                                   : QUrl(a));
      }
      return false;
    };
  }
}

bool ShowURL::Open() {
  const OpenAction action = ClassifyTarget(target_);
  if (LaunchAction(action, start_)) return true;
  qWarning("trailmark: cannot open \"%s\"", qUtf8Printable(target_));
  return false;
}

}  // namespace trailmark
