#include "controls.h"

#include <winport/process.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMessageBox>
#include <QMovie>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include "http_control.h"
#include "mci.h"
#include "opener.h"
#include "paths.h"

namespace trailmark {
namespace {

// "Text|*.txt|All|*.*" or a bare pattern such as "*.zip" -> the toolkit's filter form.
QString QtFilter(const QString& filter) {
  if (filter.isEmpty()) return {};
  const QStringList pieces = filter.split('|');
  if (pieces.size() == 1) return pieces.front() + " (" + pieces.front() + ")";
  QStringList out;
  for (qsizetype i = 0; i + 1 < pieces.size(); i += 2) {
    QString patterns = pieces[i + 1];
    patterns.replace(';', ' ');
    out << pieces[i] + " (" + patterns + ")";
  }
  return out.join(";;");
}

class CommonDialog : public ICommonDialog {
 public:
  void SetFileName(const QString& name) override { fileName_ = name; }
  QString FileName() const override { return fileName_; }
  void SetFilter(const QString& filter) override { filter_ = filter; }
  QString Filter() const override { return filter_; }
  void SetInitDir(const QString& dir) override { initDir_ = dir; }
  QString InitDir() const override { return initDir_; }

  bool ShowOpen() override {
    const QString chosen = QFileDialog::getOpenFileName(QApplication::activeWindow(), "Open",
                                                        Proposed(), QtFilter(filter_));
    if (chosen.isEmpty()) return false;
    fileName_ = chosen;
    return true;
  }
  bool ShowSave() override {
    const QString chosen = QFileDialog::getSaveFileName(QApplication::activeWindow(), "Save As",
                                                        Proposed(), QtFilter(filter_));
    if (chosen.isEmpty()) return false;
    fileName_ = chosen;
    return true;
  }

 private:
  QString Proposed() const {
    // A wildcard is a filter, not a name to propose.
    if (fileName_.isEmpty() || fileName_.contains('*') || fileName_.contains('?')) return initDir_;
    if (QFileInfo(fileName_).isAbsolute() || initDir_.isEmpty()) return fileName_;
    return QDir(initDir_).filePath(fileName_);
  }

  QString fileName_;
  QString filter_;
  QString initDir_;
};

class SWOnTop : public ISWOnTop {
 public:
  void SetHost(QWidget* window) override {
    window_ = window;
    Apply();
  }
  void SetOnTop(bool onTop) override {
    onTop_ = onTop;
    Apply();
  }
  bool OnTop() const override { return onTop_; }

 private:
  void Apply() {
    if (!window_) return;
    const bool visible = window_->isVisible();
    window_->setWindowFlag(Qt::WindowStaysOnTopHint, onTop_);
    // Changing the flags hides a shown window.
    if (visible) window_->show();
  }

  QPointer<QWidget> window_;
  bool onTop_ = false;
};

bool StartDetached(const QString& program, const QStringList& arguments) {
  return QProcess::startDetached(program, arguments);
}

// The wallpaper through whatever the running desktop offers.
void SetWallpaper(const QString& file) {
  if (file.isEmpty() || !QFileInfo(file).isFile()) return;
  const QString path = QFileInfo(file).absoluteFilePath();
  const QString uri = QUrl::fromLocalFile(path).toString();
  const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP").toUpper();
  if (desktop.contains("CINNAMON")) {
    StartDetached("gsettings", {"set", "org.cinnamon.desktop.background", "picture-uri", uri});
  } else if (desktop.contains("MATE")) {
    StartDetached("gsettings", {"set", "org.mate.background", "picture-filename", path});
  } else if (desktop.contains("GNOME") || desktop.contains("UNITY") || desktop.contains("BUDGIE")) {
    StartDetached("gsettings", {"set", "org.gnome.desktop.background", "picture-uri", uri});
    StartDetached("gsettings", {"set", "org.gnome.desktop.background", "picture-uri-dark", uri});
  } else if (desktop.contains("XFCE")) {
    // The image properties are listed first; the window goes on meanwhile.
    auto* list = new QProcess(qApp);
    QObject::connect(
        list, &QProcess::finished, list, [list, path](int code, QProcess::ExitStatus how) {
          if (how == QProcess::NormalExit && code == 0) {
            for (const QByteArray& property : list->readAllStandardOutput().split('\n')) {
              if (property.endsWith("/last-image")) {
                StartDetached("xfconf-query", {"-c", "xfce4-desktop", "-p",
                                               QString::fromUtf8(property), "-s", path});
              }
            }
          }
          list->deleteLater();
        });
    QObject::connect(list, &QProcess::errorOccurred, list, [list](QProcess::ProcessError error) {
      if (error == QProcess::FailedToStart) list->deleteLater();
    });
    QTimer::singleShot(5000, list, [list] { list->kill(); });
    list->start("xfconf-query", {"-c", "xfce4-desktop", "-l"});
  } else if (desktop.contains("KDE")) {
    // The path travels as a JSON string literal, which the script language reads as is.
    const QString literal = QString::fromUtf8(
        QJsonDocument::fromVariant(QVariantList{uri}).toJson(QJsonDocument::Compact));
    const QString script = "var v=" + literal +
                           "[0];desktops().forEach(function(d){d.wallpaperPlugin='org.kde.image';"
                           "d.currentConfigGroup=['Wallpaper','org.kde.image','General'];"
                           "d.writeConfig('Image',v);});";
    StartDetached("qdbus", {"org.kde.plasmashell", "/PlasmaShell",
                            "org.kde.PlasmaShell.evaluateScript", script});
  }
}

class Desktop : public IDesktop {
 public:
  void SetDeskWallpaper(const QString& file) override { SetWallpaper(file); }

  bool Shell(const QString& commandLine) override {
    const OpenAction action = ClassifyTarget(commandLine);
    if (action.kind == OpenAction::kTextEditor || action.kind == OpenAction::kImageEditor) {
      return LaunchAction(action, StartDetached);
    }
    return winport::WinExec(commandLine.toUtf8().constData(), winport::SW_SHOWNORMAL) > 31;
  }

  void MsgBox(const QString& text, const QString& title) override {
    QMessageBox::information(QApplication::activeWindow(), title, text, QMessageBox::Ok);
  }
};

}  // namespace

Gif89a::Gif89a(QWidget* parent) : QLabel(parent) {}

void Gif89a::SetFileName(const QString& path) {
  fileName_ = path;
  delete movie_;
  movie_ = new QMovie(path, QByteArray(), this);
  if (!movie_->isValid()) {
    delete movie_;
    movie_ = nullptr;
    clear();
    return;
  }
  setMovie(movie_);
  movie_->start();
}

Controls MakeDesktopControls() {
  Controls c;
  c.ShowURL1 = std::make_unique<ShowURL>();
  c.HTTP1 = std::make_unique<HTTP>();
  c.cdbOpen = std::make_unique<CommonDialog>();
  c.SWOnTop1 = std::make_unique<SWOnTop>();
  c.mci = std::make_unique<Mci>();
  c.desktop = std::make_unique<Desktop>();
  c.end = [] { QApplication::exit(0); };
  return c;
}

}  // namespace trailmark
