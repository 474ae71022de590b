// The main window and the about box, offscreen, with recording stand-ins for the opener, the
// dialogs and the desktop; the directory download talks to a real local HTTP server.
#include "frm_main.h"

#include <QApplication>
#include <QAudioDevice>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QMenuBar>
#include <QMovie>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <deque>
#include <optional>

#include "controls.h"
#include "frm_about.h"
#include "http_control.h"
#include "mci.h"
#include "paths.h"
#include "registry_util.h"

using namespace trailmark;

namespace {

struct Recorder {
  QStringList opened;  // targets at each open call
  QStringList refuse;  // targets the opener cannot open
  QStringList mci;
  QStringList wallpapers;
  QStringList shell;
  QStringList messages;
  bool shellResult = true;
  int ends = 0;
  std::deque<std::optional<QString>> answers;  // dialog answers; nothing = cancelled
  QStringList dialogs;                         // "open"/"save" + the proposed file name
};

class RecordingOpener : public IShowURL {
 public:
  explicit RecordingOpener(Recorder* r) : r_(r) {}
  void SetTarget(const QString& t) override { target_ = t; }
  QString Target() const override { return target_; }
  bool Open() override {
    r_->opened << target_;
    return !r_->refuse.contains(target_);
  }

 private:
  Recorder* r_;
  QString target_;
};

class ScriptedDialog : public ICommonDialog {
 public:
  explicit ScriptedDialog(Recorder* r) : r_(r) {}
  void SetFileName(const QString& n) override { name_ = n; }
  QString FileName() const override { return name_; }
  void SetFilter(const QString& f) override { filter_ = f; }
  QString Filter() const override { return filter_; }
  void SetInitDir(const QString& d) override { dir_ = d; }
  QString InitDir() const override { return dir_; }
  bool ShowOpen() override { return Answer("open"); }
  bool ShowSave() override { return Answer("save"); }

 private:
  bool Answer(const QString& kind) {
    r_->dialogs << kind + " " + name_ + (filter_.isEmpty() ? "" : " [" + filter_ + "]");
    if (r_->answers.empty()) qFatal("unexpected dialog");
    const std::optional<QString> answer = r_->answers.front();
    r_->answers.pop_front();
    if (answer) name_ = *answer;
    return answer.has_value();
  }
  Recorder* r_;
  QString name_, filter_, dir_;
};

class FakeOnTop : public ISWOnTop {
 public:
  void SetHost(QWidget*) override {}
  void SetOnTop(bool v) override { onTop_ = v; }
  bool OnTop() const override { return onTop_; }

 private:
  bool onTop_ = false;
};

class FakeMci : public IMci {
 public:
  explicit FakeMci(Recorder* r) : r_(r) {}
  bool mciExecute(const QString& c) override {
    r_->mci << c;
    return true;
  }

 private:
  Recorder* r_;
};

class FakeDesktop : public IDesktop {
 public:
  explicit FakeDesktop(Recorder* r) : r_(r) {}
  void SetDeskWallpaper(const QString& f) override { r_->wallpapers << f; }
  bool Shell(const QString& c) override {
    r_->shell << c;
    return r_->shellResult;
  }
  void MsgBox(const QString& text, const QString&) override { r_->messages << text; }

 private:
  Recorder* r_;
};

// Answers one HTTP request per connection with a fixed status and body. When held, it sends
// the header and the first byte of the body and then waits, as a slow server does, until
// released; the connection it holds is in `held`.
class TinyHttpServer : public QTcpServer {
  Q_OBJECT
 public:
  QByteArray status = "200 OK";
  QByteArray contentType = "text/plain";
  QByteArray body;
  QByteArray lastRequest;
  bool hold = false;
  QPointer<QTcpSocket> held;

  TinyHttpServer() {
    connect(this, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = nextPendingConnection()) {
        connect(s, &QTcpSocket::readyRead, s, [this, s] {
          lastRequest += s->readAll();
          if (!lastRequest.contains("\r\n\r\n")) return;
          s->write("HTTP/1.0 " + status + "\r\nContent-Type: " + contentType +
                   "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n");
          if (hold) {
            s->write(body.left(1));
            held = s;
            emit Holding();
            return;
          }
          s->write(body);
          s->disconnectFromHost();
        });
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
          if (s == held) emit HeldClosed();
          s->deleteLater();
        });
      }
    });
  }

  void Release() {
    if (!held) return;
    held->write(body.mid(1));
    held->disconnectFromHost();
  }

 signals:
  void Holding();
  void HeldClosed();
};

void WriteBytes(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

QByteArray ReadBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray kDirectory =
    "news\nhttp://news.example.com/\nNews\n"
    "both\nhttp://directory.example.com/\nIn the directory and the keyword folder\n";

}  // namespace

class FormsTest : public QObject {
  Q_OBJECT

 private:
  Recorder rec;
  std::unique_ptr<frmMain> form;
  QString folder;  // the user's
  QString shared;
  std::unique_ptr<QTemporaryDir> dir;

  frmMain* Make(int downloadDeadlineMs = 30000) {
    dir = std::make_unique<QTemporaryDir>();
    folder = dir->filePath("user");
    shared = dir->filePath("shared");
    QDir().mkpath(folder);
    QDir().mkpath(shared);
    QFile::copy(TRAILMARK_SOURCE_DIR "/trailmark.png", shared + "/trailmark.png");
    QDir(HostPathOf(kKeywordFolder)).removeRecursively();
    rec = Recorder();
    Controls c;
    c.ShowURL1 = std::make_unique<RecordingOpener>(&rec);
    c.HTTP1 = std::make_unique<HTTP>(downloadDeadlineMs);
    c.cdbOpen = std::make_unique<ScriptedDialog>(&rec);
    c.SWOnTop1 = std::make_unique<FakeOnTop>();
    c.mci = std::make_unique<FakeMci>(&rec);
    c.desktop = std::make_unique<FakeDesktop>(&rec);
    c.end = [this] { ++rec.ends; };
    form = std::make_unique<frmMain>(Folders{shared, folder}, std::move(c));
    WriteBytes(folder + "/websites.dir", kDirectory);
    return form.get();
  }

  QString KeywordFile(const QString& name) { return HostPathOf(QString(kKeywordFolder) + name); }

  void Go(const QString& text) {
    form->txtURL->setText(text);
    form->cmdGo->click();
  }

  QAction* Menu(const char* name) {
    auto* a = form->findChild<QAction*>(name);
    if (!a) qFatal("no menu %s", name);
    return a;
  }

 private slots:
  void cleanup() {
    form.reset();
    dir.reset();
  }

  void windowLayoutTexts() {
    Make();
    QCOMPARE(form->windowTitle(), QString("Trailmark"));
    QCOMPARE(form->txtURL->text(), QString("Trailmark"));
    QCOMPARE(form->txtURL->toolTip(), QString("Enter KEYWORD or URL of Website "));
    QCOMPARE(form->lblAddress->text(), QString("&Address"));
    QCOMPARE(form->cmdGo->text(), QString("&Go"));
    QCOMPARE(form->cmdHotButton[7]->text(), QString("7"));
    QCOMPARE(form->Timer1->interval(), 7000);
    QVERIFY(!form->Timer1->isActive());
    QVERIFY(form->SWOnTop1()->OnTop());
    QCOMPARE(form->ShowURL1()->Target(), QString(kHomePage));
    QVERIFY(!form->windowIcon().isNull());
    QStringList bar;
    for (QAction* a : form->menuBar()->actions()) bar << a->text();
    QCOMPARE(bar, (QStringList{"&File", "Music", "WallPaper", "&Search", "&Help", "&Run"}));
    QStringList file;
    for (QAction* a : form->findChild<QMenu*>("mnuFile")->actions()) file << a->objectName();
    QCOMPARE(file, (QStringList{"mnuFileNew", "mnuFileSave", "mnuFileOpen", "mnuFileExt"}));
  }

  void startUpLoadsHotButtonsAndWritesTheShortcut() {
    Make();
    QByteArray lines;
    for (int i = 0; i < 10; ++i) lines += "tip" + QByteArray::number(i) + "\r\n";
    WriteBytes(folder + "/memory.ctr", lines);
    form->Form_Load();
    QCOMPARE(form->cmdHotButton[0]->toolTip(), QString("tip0"));
    QCOMPARE(form->cmdHotButton[9]->toolTip(), QString("tip9"));
    QCOMPARE(form->cdbOpen()->InitDir(), folder);
    QVERIFY(form->AboutForm() && form->AboutForm()->isVisible());
    QCOMPARE(ReadBytes(KeywordFile(kBuiltInShortcutName)),
             QByteArray("[InternetShortcut]\r\nURL=") + kBuiltInShortcutUrl + "\r\n");
    QVERIFY(rec.opened.isEmpty());

    // A broken memory file leaves the design-time tips and still writes the shortcut.
    Make();
    WriteBytes(folder + "/memory.ctr", "only\r\none\r\n");
    QFile::remove(KeywordFile(kBuiltInShortcutName));
    form->Form_Load();
    QCOMPARE(form->cmdHotButton[0]->toolTip(), QString());
    QVERIFY(QFile::exists(KeywordFile(kBuiltInShortcutName)));
  }

  void goLooksUpDirectoryThenKeywordFolder() {
    Make();
    WriteBytes(KeywordFile("both.url"), "[InternetShortcut]\r\nURL=http://folder.example.com/\r\n");
    WriteBytes(KeywordFile("Gaffe.url"), "[InternetShortcut]\r\nURL=http://gaffe.example.com/\r\n");

    Go("NeWs");
    Go("news ");                  // a trailing blank never matches: opened as typed
    Go("both");                   // the directory wins over the keyword folder
    Go("Gaffe");                  // only in the keyword folder
    Go("unknown words");          // neither: opened as typed
    Go("http://typed.example/");  // a typed address goes through unchanged
    Go("FAVORITES");
    QCOMPARE(rec.opened,
             (QStringList{"http://news.example.com/", "news ", "http://directory.example.com/",
                          "c:\\windows\\favorites\\keywords\\Gaffe.url", "unknown words",
                          "http://typed.example/", "c:\\windows\\favorites\\"}));

    // Home page words fill the box and open nothing.
    rec.opened.clear();
    for (const char* s : {"", "trailmark", "EXAMPLE.COM", "www.example.com"}) {
      Go(s);
      QCOMPARE(form->txtURL->text(), QString(kHomePage));
    }
    QVERIFY(rec.opened.isEmpty());

    // Help, spelled either way.
    for (const char* s : {"?", "help"}) {
      Go(s);
      QCOMPARE(form->txtURL->text(), QString("Features Help"));
      QVERIFY(form->AboutForm()->isVisible());
    }
    QCOMPARE(rec.opened, (QStringList{shared + "/help.html", shared + "/help.html"}));
  }

  void goOpensTypedTextWhenTheDirectoryCannotBeUsed() {
    Make();
    WriteBytes(folder + "/websites.dir", "news\r\nhttp://news.example.com/\r\nNews\r\n");
    WriteBytes(KeywordFile("news.url"), "[InternetShortcut]\r\nURL=http://folder.example.com/\r\n");
    Go("news");  // CR LF lines are an error: the keyword folder is not tried either
    QFile::remove(folder + "/websites.dir");
    Go("news");
    QCOMPARE(rec.opened, (QStringList{"news", "news"}));
  }

  void windowKeysAreSingleKeyCommands() {
    Make();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QWidget* window = form->centralWidget();
    window->setFocus();
    QTest::keyClick(window, 'f');
    QCOMPARE(form->txtURL->text(), QString("Favorites"));
    form->txtURL->setText("news");
    window->setFocus();
    QTest::keyClick(window, 'G');
    QTest::keyClick(window, 'x');  // nothing
    QCOMPARE(rec.opened, (QStringList{"c:\\windows\\favorites\\", "http://news.example.com/"}));
    QTest::keyClick(window, 'a');
    QVERIFY(form->txtURL->hasFocus());
    QCOMPARE(form->txtURL->selectedText(), QString("news"));

    // Clicking the label selects the whole address too.
    form->txtURL->deselect();
    QTest::mouseClick(form->lblAddress, Qt::LeftButton);
    QCOMPARE(form->txtURL->selectedText(), QString("news"));
  }

  void keyboardFocusStaysInTheAddressBox() {
    Make();
    form->Form_Load();  // shows the about box as a splash, as at start-up
    form->show();
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    QCOMPARE(QApplication::focusWidget(), form->txtURL);
    QTRY_COMPARE(form->txtURL->selectedText(), QString("Trailmark"));

    // Keys go where the platform sends them: to the window's focus widget. Keywords full of
    // the single-key commands' letters are typed, not run.
    QWindow* window = form->windowHandle();
    for (char c : QByteArray("gaffe")) QTest::keyClick(window, c);
    QCOMPARE(form->txtURL->text(), QString("gaffe"));
    QTest::keyClick(window, Qt::Key_Return);
    QCOMPARE(rec.opened, QStringList{"gaffe"});

    // Clicking Go or a hot button leaves the keyboard in the address box.
    QTest::mouseClick(form->cmdGo, Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), form->txtURL);
    form->cmdHotButton[0]->setToolTip("news");
    QTest::mouseClick(form->cmdHotButton[0], Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), form->txtURL);
    form->txtURL->clear();
    for (char c : QByteArray("facebook")) QTest::keyClick(window, c);
    QCOMPARE(form->txtURL->text(), QString("facebook"));
    QCOMPARE(rec.opened, (QStringList{"gaffe", "gaffe", "news"}));

    // Nothing else takes the keyboard on a click.
    for (QWidget* w : form->findChildren<QWidget*>()) {
      if (w->window() != form.get()) continue;  // the about box is a window of its own
      if (w != form->txtURL && w->isVisible() && (w->focusPolicy() & Qt::ClickFocus))
        QFAIL(qPrintable("takes the focus on a click: " + w->objectName()));
    }
  }

  void whatTheOpenerRefusesIsSaidInTheWindow() {
    Make();
    rec.refuse = {"unknown words", "mspaint"};
    Go("unknown words");
    QCOMPARE(form->txtURL->text(), QString("unknown words"));
    QCOMPARE(form->statusBar()->currentMessage(),
             QString("Nothing here can open \"unknown words\""));
    Go("news");
    QCOMPARE(form->statusBar()->currentMessage(), QString());
    Menu("mnuWallPaperEditBMP")->trigger();
    QVERIFY(form->statusBar()->currentMessage().startsWith("No image editor is installed"));
    // Other news in the status line is not wiped by a successful open.
    form->statusBar()->showMessage("Updating...");
    Go("news");
    QCOMPARE(form->statusBar()->currentMessage(), QString("Updating..."));
    QCOMPARE(rec.opened, (QStringList{"unknown words", "http://news.example.com/", "mspaint",
                                      "http://news.example.com/"}));
  }

  void musicWithTheRealMediaBackEnd() {
    // Whatever this machine has (or lacks) in sound outputs, Play Music is an MCI result, never
    // a crash.
    Make();
    QByteArray wav(
        "RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00\x40\x1f\x00\x00"
        "\x80\x3e\x00\x00\x02\x00\x10\x00"
        "data\x00\x00\x00\x00",
        44);
    WriteBytes(folder + "/song.wav", wav);
    QStringList shown;
    Mci mci([&](const QString& text) { shown << text; });
    const bool played = mci.mciExecute("play " + folder + "/song.wav");
    if (QMediaDevices::audioOutputs().isEmpty()) {
      QVERIFY(!played);
      QCOMPARE(shown, QStringList{"There is no sound output device on this system. Make sure one "
                                  "is installed and working."});
    } else {
      QVERIFY(played);
      QVERIFY(mci.mciExecute("stop " + folder + "/song.wav"));
    }
  }

  void memoryModeStoresIntoOneButton() {
    Make();
    form->cmdMem->click();
    QCOMPARE(form->MemoryMode(), std::int16_t(1));
    QVERIFY(form->cmdMem->font().underline());
    QVERIFY(form->Timer1->isActive());
    form->txtURL->setText("news");
    form->cmdHotButton[3]->click();
    QCOMPARE(form->cmdHotButton[3]->toolTip(), QString("news"));
    QCOMPARE(form->MemoryMode(), std::int16_t(0));
    QVERIFY(form->cmdMem->font().underline());  // until the timer fires
    QVERIFY(rec.opened.isEmpty());

    // A second button recalls: buttons 1 to 9 go through the lookup.
    form->txtURL->clear();
    form->cmdHotButton[3]->click();
    QCOMPARE(form->txtURL->text(), QString("news"));
    QCOMPARE(rec.opened, QStringList{"http://news.example.com/"});

    // The timer ends the mode; button 0 opens its text without a lookup.
    form->cmdMem->click();
    QSignalSpy fired(form->Timer1, &QTimer::timeout);
    form->Timer1->setInterval(1);
    QVERIFY(fired.wait(5000));
    QCOMPARE(form->MemoryMode(), std::int16_t(0));
    QVERIFY(!form->cmdMem->font().underline());
    QVERIFY(!form->Timer1->isActive());
    form->cmdHotButton[0]->setToolTip("news");
    form->txtURL->setText("other");
    form->cmdHotButton[0]->click();
    QCOMPARE(form->cmdHotButton[0]->toolTip(), QString("news"));
    QCOMPARE(rec.opened, (QStringList{"http://news.example.com/", "news"}));
  }

  void memoryFilesThroughTheFileMenu() {
    Make();
    const QString nine = folder + "/nine.ctr";
    const QString eleven = folder + "/eleven.ctr";
    WriteBytes(nine, "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n");
    WriteBytes(eleven, "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni\r\nj\r\nk\r\n");
    for (int i = 0; i < 10; ++i) form->cmdHotButton[i]->setToolTip("old");

    rec.answers = {nine, eleven};
    Menu("mnuFileOpen")->trigger();
    QCOMPARE(form->txtURL->text(), QString("Error HotKeys didn't Load"));
    QCOMPARE(form->cmdHotButton[0]->toolTip(), QString("old"));
    Menu("mnuFileOpen")->trigger();
    QCOMPARE(form->txtURL->text(), QString("HotKeys Loaded"));
    QCOMPARE(form->cmdHotButton[0]->toolTip(), QString("a"));
    QCOMPARE(form->cmdHotButton[9]->toolTip(), QString("j"));
    QCOMPARE(rec.dialogs, (QStringList{"open memory.ctr", "open memory.ctr"}));

    // Save, then open the same file: every tip comes back, empty ones included.
    form->cmdHotButton[2]->setToolTip("");
    form->cmdHotButton[5]->setToolTip("");
    const HotButtonTips saved = form->HotButtonToolTips();
    const QString file = folder + "/mine.ctr";
    rec.answers = {file};
    Menu("mnuFileSave")->trigger();
    QCOMPARE(form->txtURL->text(), QString("HotKeys Saved"));
    QCOMPARE(ReadBytes(file), QByteArray("a\r\nb\r\n\r\nd\r\ne\r\n\r\ng\r\nh\r\ni\r\nj\r\n"));
    for (int i = 0; i < 10; ++i) form->cmdHotButton[i]->setToolTip("x");
    rec.answers = {file};
    Menu("mnuFileOpen")->trigger();
    QVERIFY(form->HotButtonToolTips() == saved);

    rec.answers = {folder + "/no/such/dir/m.ctr"};
    Menu("mnuFileSave")->trigger();
    QCOMPARE(form->txtURL->text(), QString("Error HotKeys didn't Save"));

    // A cancelled dialog reads nothing, writes nothing and says nothing, even with a
    // memory file of the proposed name in the current directory.
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(folder);
    WriteBytes(folder + "/memory.ctr", "0\r\n1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n");
    form->txtURL->setText("typed");
    rec.answers = {std::nullopt, std::nullopt};
    Menu("mnuFileOpen")->trigger();
    QFile::remove(folder + "/memory.ctr");
    Menu("mnuFileSave")->trigger();
    QDir::setCurrent(cwd);
    QVERIFY(form->HotButtonToolTips() == saved);
    QVERIFY(!QFile::exists(folder + "/memory.ctr"));
    QCOMPARE(form->txtURL->text(), QString("typed"));

    Menu("mnuFileNew")->trigger();
    QCOMPARE(form->txtURL->text(), QString());
  }

  void menuHandlers() {
    Make();
    // Music before a file was chosen sends the verb alone.
    Menu("mnuFilePlayMusic")->trigger();
    rec.answers = {"/music/song.mid"};
    Menu("mnuMusicOpen")->trigger();
    Menu("mnuFilePlayMusic")->trigger();
    Menu("mnuMusicPause")->trigger();
    Menu("mnuMusicStop")->trigger();
    QCOMPARE(rec.mci, (QStringList{"play ", "play /music/song.mid", "pause /music/song.mid",
                                   "stop /music/song.mid"}));
    QCOMPARE(form->MCICommand(), QString("stop /music/song.mid"));

    rec.answers = {"/pictures/sky.bmp"};
    Menu("mnuWallPaperOpenBMP")->trigger();
    QCOMPARE(rec.wallpapers, QStringList{"/pictures/sky.bmp"});
    Menu("mnuWallPaperEditBMP")->trigger();
    Menu("mnuSearchBrowseFavorites")->trigger();
    QCOMPARE(form->txtURL->text(), QString("Favorites"));
    Menu("mnuSearchWebpages")->trigger();
    Menu("mnuHelpFeatures")->trigger();
    QCOMPARE(form->txtURL->text(), QString("Features Help"));
    QCOMPARE(rec.opened, (QStringList{"mspaint", "c:\\windows\\favorites\\", kDirectoryWebPage,
                                      shared + "/help.html"}));
    Menu("mnuSearchEdit")->trigger();
    QCOMPARE(rec.shell, QStringList{"notepad.exe " + folder + "/websites.dir"});

    // Zips: a cancelled dialog does nothing; the zip filter is for this dialog only.
    rec.opened.clear();
    form->txtURL->setText("kept");
    rec.answers = {std::nullopt, "/downloads/a.zip", "/pictures/sea.bmp"};
    Menu("mnuSearchZips")->trigger();
    QCOMPARE(form->txtURL->text(), QString("kept"));
    Menu("mnuSearchZips")->trigger();
    QCOMPARE(form->txtURL->text(), QString("/downloads/a.zip"));
    QCOMPARE(rec.opened, QStringList{"/downloads/a.zip"});
    Menu("mnuWallPaperOpenBMP")->trigger();
    QCOMPARE(rec.dialogs.mid(rec.dialogs.size() - 3),
             (QStringList{"open *.zip [*.zip]", "open *.zip [*.zip]", "open /downloads/a.zip"}));

    // Cancelled music and wallpaper dialogs change nothing.
    rec.answers = {std::nullopt, std::nullopt};
    Menu("mnuMusicOpen")->trigger();
    Menu("mnuWallPaperOpenBMP")->trigger();
    QCOMPARE(form->MusicFile(), QString("/music/song.mid"));
    QCOMPARE(rec.wallpapers, (QStringList{"/pictures/sky.bmp", "/pictures/sea.bmp"}));

    // Run: a cancelled dialog leaves the name empty and does nothing.
    rec.opened.clear();
    form->txtURL->setText("kept");
    rec.answers = {std::nullopt, "/bin/tool"};
    Menu("mnuRun")->trigger();
    QCOMPARE(form->txtURL->text(), QString("kept"));
    Menu("mnuRun")->trigger();
    QCOMPARE(form->txtURL->text(), QString("/bin/tool"));
    QCOMPARE(rec.opened, QStringList{"/bin/tool"});
    QCOMPARE(rec.dialogs.last(), QString("open "));

    Menu("mnuHelpAbout")->trigger();
    QVERIFY(form->AboutForm()->isVisible());
    Menu("mnuFileExt")->trigger();
    QCOMPARE(rec.ends, 1);
    QVERIFY(rec.answers.empty());
  }

  // Runs Update Directory and waits for its end; true when the directory was replaced.
  std::optional<bool> Update() {
    QSignalSpy ended(form.get(), &frmMain::DirectoryUpdateEnded);
    Menu("mnuSearchUpdate")->trigger();
    if (!ended.wait(10000)) return std::nullopt;
    return ended.front().front().toBool();
  }

  QString Serve(TinyHttpServer& server) {
    if (!server.listen(QHostAddress::LocalHost)) qFatal("cannot listen");
    const QString url =
        QString("http://127.0.0.1:%1/trailmark/websites.txt").arg(server.serverPort());
    form->HTTP1()->SetURL(url);
    return url;
  }

  void directoryDownload() {
    Make();
    TinyHttpServer server;
    Serve(server);

    server.body = "fresh\nhttp://fresh.example.com/\nNew entry\n";
    QCOMPARE(Update(), std::optional<bool>(true));
    QCOMPARE(form->txtURL->text(), QString("Updated Directory"));
    QCOMPARE(form->HTTP1()->Action(), 0);
    QVERIFY(server.lastRequest.startsWith("GET /trailmark/websites.txt HTTP/1.1\r\n"));
    QCOMPARE(ReadBytes(folder + "/websites.dir"), server.body);
    Go("FRESH");
    QCOMPARE(rec.opened, QStringList{"http://fresh.example.com/"});
    QVERIFY(rec.messages.isEmpty());
    QVERIFY(!form->prgUpdate->isVisible() && !form->cmdCancelUpdate->isVisible());

    // A failing status, a refused connection, and anything that is not a directory file (an
    // empty reply, a sign-on page, lines ended by CR LF): each fails, and the directory stays.
    const QByteArray kept = server.body;
    struct Case {
      QByteArray status, contentType, body;
    };
    const Case failures[] = {
        {"404 Not Found", "text/plain", "fresh\nhttp://fresh.example.com/\nx\n"},
        {"200 OK", "text/plain", ""},
        {"200 OK", "text/html", "<html>\n<body>Sign on</body>\n</html>\n"},
        {"200 OK", "text/plain", "news\r\nhttp://news.example.com/\r\nNews\r\n"},
        {"200 OK", "text/plain", "<html><body>Sign on</body></html>"},
    };
    for (const Case& c : failures) {
      server.status = c.status;
      server.contentType = c.contentType;
      server.body = c.body;
      form->txtURL->setText("typed");
      QCOMPARE(Update(), std::optional<bool>(false));
      QCOMPARE(form->txtURL->text(), QString("Error Updating Directory"));
      QCOMPARE(form->HTTP1()->Action(), 0);
      QCOMPARE(ReadBytes(folder + "/websites.dir"), kept);
    }
    // A local file that cannot be written is a failure too.
    HTTP http(5000);
    std::optional<QString> outcome;
    http.SetDoneHandler([&](const QString& error) { outcome = error; });
    http.SetURL(form->HTTP1()->URL());
    http.SetLocalFile(folder + "/missing/websites.dir");
    http.SetAction(1);
    QVERIFY(!outcome);  // reported later, never from inside the call
    QTRY_VERIFY(outcome.has_value());
    QVERIFY(outcome->startsWith("Cannot write"));

    server.close();
    QCOMPARE(Update(), std::optional<bool>(false));
    QCOMPARE(rec.messages.size(), 6);
    QCOMPARE(rec.messages.count(rec.messages.front()), rec.messages.size());
    QCOMPARE(rec.messages.front(), QString("Please Sign on to the Internet and try Again!"));
    QCOMPARE(ReadBytes(folder + "/websites.dir"), kept);
    // No partial file is left behind.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"websites.dir"});
  }

  void windowStaysAliveDuringTheDownload() {
    Make();
    TinyHttpServer server;
    Serve(server);
    server.hold = true;
    server.body = "slow\nhttp://slow.example.com/\nSlow entry\n";
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));

    QSignalSpy holding(&server, &TinyHttpServer::Holding);
    QSignalSpy ended(form.get(), &frmMain::DirectoryUpdateEnded);
    Menu("mnuSearchUpdate")->trigger();
    QVERIFY(holding.wait(10000));
    QVERIFY(form->HTTP1()->Busy());
    QVERIFY(form->prgUpdate->isVisible() && form->cmdCancelUpdate->isVisible());
    // One byte of the body has come: the bar shows that part of the announced length.
    QTRY_COMPARE(form->prgUpdate->maximum(), 1000);
    QCOMPARE(form->prgUpdate->value(), static_cast<int>(1000 / server.body.size()));
    QCOMPARE(form->cursor().shape(), Qt::BusyCursor);
    QVERIFY(!Menu("mnuSearchUpdate")->isEnabled());
    // Typing and Go still work, on the old directory.
    form->txtURL->setText("news");
    QTest::keyClick(form->txtURL, Qt::Key_Return);
    QCOMPARE(rec.opened, QStringList{"http://news.example.com/"});

    server.Release();
    QVERIFY(ended.wait(10000));
    QCOMPARE(ended.front().front().toBool(), true);
    QCOMPARE(ReadBytes(folder + "/websites.dir"), server.body);
    QVERIFY(!form->prgUpdate->isVisible());
    QCOMPARE(form->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(Menu("mnuSearchUpdate")->isEnabled());
  }

  void cancellingOrClosingGivesTheDownloadUp() {
    for (const bool byClosing : {false, true}) {
      Make();
      TinyHttpServer server;
      Serve(server);
      server.hold = true;
      server.body = "slow\nhttp://slow.example.com/\nSlow entry\n";
      form->show();
      QVERIFY(QTest::qWaitForWindowExposed(form.get()));
      QSignalSpy holding(&server, &TinyHttpServer::Holding);
      QSignalSpy closed(&server, &TinyHttpServer::HeldClosed);
      QSignalSpy ended(form.get(), &frmMain::DirectoryUpdateEnded);
      form->txtURL->setText("typed");
      Menu("mnuSearchUpdate")->trigger();
      QVERIFY(holding.wait(10000));

      if (byClosing) {
        QVERIFY(form->close());
      } else {
        QTest::mouseClick(form->cmdCancelUpdate, Qt::LeftButton);
        QVERIFY(form->statusBar()->currentMessage().contains("cancelled"));
      }
      QVERIFY(!form->HTTP1()->Busy());
      QVERIFY(closed.wait(10000));  // the server sees the connection go
      server.Release();             // too late: nobody reads it any more
      QCoreApplication::processEvents();
      QCOMPARE(ended.size(), 0);
      QVERIFY(rec.messages.isEmpty());
      QCOMPARE(form->txtURL->text(), QString("typed"));
      QCOMPARE(ReadBytes(folder + "/websites.dir"), kDirectory);
      QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"websites.dir"});
    }
  }

  void aDownloadThatTakesTooLongFails() {
    Make(300);  // the whole download must end within 0.3 s
    TinyHttpServer server;
    Serve(server);
    server.hold = true;
    server.body = "slow\nhttp://slow.example.com/\nSlow entry\n";
    QSignalSpy closed(&server, &TinyHttpServer::HeldClosed);
    QCOMPARE(Update(), std::optional<bool>(false));
    QCOMPARE(form->txtURL->text(), QString("Error Updating Directory"));
    QCOMPARE(rec.messages, QStringList{"Please Sign on to the Internet and try Again!"});
    QCOMPARE(ReadBytes(folder + "/websites.dir"), kDirectory);
    QVERIFY(closed.size() == 1 || closed.wait(10000));
  }

  void aboutBox() {
    Make();
    WriteBytes(folder + "/about.gif", ReadBytes(TRAILMARK_SOURCE_DIR "/about.gif"));
    frmAbout about(folder, nullptr);
    QCOMPARE(about.windowTitle(), QString("About Trailmark"));
    QCOMPARE(about.lblTitle->text(), QString("Trailmark"));
    QCOMPARE(about.lblVersion->text(), QString("Version 1.0.0"));
    QCOMPARE(about.cmdOK->text(), QString("OK"));
    QCOMPARE(about.cmdSysInfo->text(), QString("&System Info..."));
    QVERIFY(about.Gif89a1->movie() != nullptr);
    QVERIFY(about.Gif89a1->movie()->frameCount() > 1);
  }

  void systemInformation() {
    using namespace winport;
    Make();
    FakeDesktop desktop(&rec);
    frmAbout about(folder, &desktop);
    const char* unavailable = "System Information Is Unavailable At This Time";

    about.cmdSysInfo->click();
    QCOMPARE(rec.messages, QStringList{unavailable});

    // The tools location without the program in it.
    auto set = [](const char* key, const char* name, const QByteArray& text) {
      HKEY h = nullptr;
      QCOMPARE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                               nullptr),
               static_cast<LONG>(ERROR_SUCCESS));
      RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.constData()),
                     static_cast<DWORD>(text.size() + 1));
      RegCloseKey(h);
    };
    set("SOFTWARE\\Microsoft\\Shared Tools Location", "MSINFO", "c:\\tools\\msinfo");
    about.StartSysInfo();
    QCOMPARE(rec.messages.size(), 2);
    QVERIFY(rec.shell.isEmpty());

    WriteBytes(HostPathOf("c:\\tools\\msinfo\\MSINFO32.EXE"), "x");
    about.StartSysInfo();
    QCOMPARE(rec.shell, QStringList{"c:\\tools\\msinfo\\MSINFO32.EXE"});

    set("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", "c:\\other\\msinfo32.exe");
    rec.shellResult = false;  // cannot be started
    about.StartSysInfo();
    QCOMPARE(rec.shell.last(), QString("c:\\other\\msinfo32.exe"));
    QCOMPARE(rec.messages.size(), 3);
    QCOMPARE(rec.messages.last(), QString(unavailable));
  }
};

int main(int argc, char** argv) {
  // A fresh emulated machine for this run, removed at the end.
  QTemporaryDir prefix;
  qputenv("WINPORT_PREFIX", prefix.path().toUtf8());
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qunsetenv(kDirectoryUrlVariable);
  QApplication app(argc, argv);
  FormsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "frm_main_test.moc"
