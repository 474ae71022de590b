#include "frm_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "directory.h"
#include "frm_about.h"
#include "paths.h"
#include "shortcuts.h"

namespace trailmark {

namespace {
constexpr char kAddressTip[] = "Enter KEYWORD or URL of Website ";
constexpr char kTitle[] = "Trailmark";
}  // namespace

QIcon ProgramIcon(const QString& sharedFolder) {
  const QString file = QDir(sharedFolder).filePath("trailmark.png");
  if (!sharedFolder.isEmpty() && QFileInfo(file).isFile()) return QIcon(file);
  return QIcon::fromTheme("trailmark");
}

frmMain::frmMain(const Folders& folders, Controls controls, QWidget* parent)
    : QMainWindow(parent), folders_(folders), controls_(std::move(controls)) {
  setObjectName("frmMain");
  setWindowTitle(kTitle);
  setWindowIcon(ProgramIcon(folders_.shared));

  // The address box is the one widget that takes the keyboard focus by itself: the buttons
  // are reached with Tab, and a click on one leaves the focus where it was.
  auto* central = new QWidget(this);
  central->setFocusPolicy(Qt::NoFocus);
  setCentralWidget(central);

  lblAddress = new QLabel("&Address", central);
  lblAddress->setObjectName("lblAddress");
  lblAddress->setToolTip(kAddressTip);
  txtURL = new QLineEdit("Trailmark", central);
  txtURL->setObjectName("txtURL");
  txtURL->setToolTip(kAddressTip);
  lblAddress->setBuddy(txtURL);
  cmdGo = new QPushButton("&Go", central);
  cmdGo->setObjectName("cmdGo");
  cmdGo->setAutoDefault(false);
  cmdGo->setFocusPolicy(Qt::TabFocus);

  auto* addressRow = new QHBoxLayout;
  addressRow->addWidget(lblAddress);
  addressRow->addWidget(txtURL, 1);
  addressRow->addWidget(cmdGo);

  auto* buttonRow = new QHBoxLayout;
  buttonRow->setSpacing(2);
  for (int i = 0; i < kHotButtonCount; ++i) {
    auto* b = new QPushButton(QString::number(i), central);
    b->setObjectName(QString("cmdHotButton%1").arg(i));
    b->setFixedWidth(28);
    b->setAutoDefault(false);
    b->setFocusPolicy(Qt::TabFocus);
    cmdHotButton[i] = b;
    buttonRow->addWidget(b);
    static constexpr void (frmMain::*kHandlers[kHotButtonCount])() = {
        &frmMain::cmdHotButton0_Click, &frmMain::cmdHotButton1_Click, &frmMain::cmdHotButton2_Click,
        &frmMain::cmdHotButton3_Click, &frmMain::cmdHotButton4_Click, &frmMain::cmdHotButton5_Click,
        &frmMain::cmdHotButton6_Click, &frmMain::cmdHotButton7_Click, &frmMain::cmdHotButton8_Click,
        &frmMain::cmdHotButton9_Click};
    connect(b, &QPushButton::clicked, this, kHandlers[i]);
  }
  cmdMem = new QPushButton("Mem", central);
  cmdMem->setObjectName("cmdMem");
  cmdMem->setFixedWidth(44);
  cmdMem->setAutoDefault(false);
  cmdMem->setFocusPolicy(Qt::TabFocus);
  buttonRow->addWidget(cmdMem);
  buttonRow->addStretch(1);

  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(6, 6, 6, 6);
  column->addLayout(addressRow);
  column->addLayout(buttonRow);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(7000);

  connect(cmdGo, &QPushButton::clicked, this, &frmMain::cmdGo_Click);
  connect(cmdMem, &QPushButton::clicked, this, &frmMain::cmdMem_Click);
  connect(Timer1, &QTimer::timeout, this, &frmMain::Timer1_Timer);
  txtURL->installEventFilter(this);
  lblAddress->installEventFilter(this);

  BuildMenus();

  prgUpdate = new QProgressBar(this);
  prgUpdate->setObjectName("prgUpdate");
  prgUpdate->setMaximumWidth(140);
  prgUpdate->setTextVisible(false);
  cmdCancelUpdate = new QPushButton("Cancel", this);
  cmdCancelUpdate->setObjectName("cmdCancelUpdate");
  cmdCancelUpdate->setFocusPolicy(Qt::TabFocus);
  connect(cmdCancelUpdate, &QPushButton::clicked, this, &frmMain::cmdCancelUpdate_Click);
  statusBar()->addPermanentWidget(prgUpdate);
  statusBar()->addPermanentWidget(cmdCancelUpdate);
  ShowUpdateRunning(false);
  txtURL->setFocus(Qt::OtherFocusReason);

  if (controls_.ShowURL1) controls_.ShowURL1->SetTarget(kHomePage);
  if (controls_.HTTP1) {
    controls_.HTTP1->SetURL(DirectoryFileUrl());
    // Only a directory file may replace the directory file: an empty reply or a web page (a
    // sign-on page put in its place by the network, say) is a failed download.
    controls_.HTTP1->SetCheck([](const QString& fetched, const QString& contentType) {
      if (contentType.startsWith("text/html", Qt::CaseInsensitive))
        return QString("a web page came instead of the directory file");
      if (!IsDirectoryFile(fetched)) return QString("the document is not a directory file");
      return QString();
    });
    controls_.HTTP1->SetProgressHandler([this](qint64 received, qint64 total) {
      if (total > 0) {
        prgUpdate->setRange(0, 1000);
        prgUpdate->setValue(static_cast<int>(1000 * std::min(received, total) / total));
      } else {
        prgUpdate->setRange(0, 0);  // moving, without an end in sight
      }
    });
    controls_.HTTP1->SetDoneHandler([this](const QString& error) { UpdateEnded(error); });
  }
  if (controls_.SWOnTop1) {
    controls_.SWOnTop1->SetHost(this);
    controls_.SWOnTop1->SetOnTop(true);
  }
}

frmMain::~frmMain() {
  // The download reports into this window; it must not outlive it.
  if (HTTP1() && HTTP1()->Busy()) HTTP1()->SetAction(0);
  if (about_) delete about_;
}

void frmMain::BuildMenus() {
  struct Item {
    const char* name;
    const char* caption;
    void (frmMain::*handler)();
  };
  struct Menu {
    const char* name;
    const char* caption;
    std::vector<Item> items;
  };
  const Menu menus[] = {
      {"mnuFile",
       "&File",
       {{"mnuFileNew", "&New", &frmMain::mnuFileNew_Click},
        {"mnuFileSave", "&Save", &frmMain::mnuFileSave_Click},
        {"mnuFileOpen", "&Open", &frmMain::mnuFileOpen_Click},
        {"mnuFileExt", "&Exit", &frmMain::mnuFileExt_Click}}},
      {"mnuMusic",
       "Music",
       {{"mnuMusicOpen", "Open Music File", &frmMain::mnuMusicOpen_Click},
        {"mnuFilePlayMusic", "Play Music", &frmMain::mnuFilePlayMusic_Click},
        {"mnuMusicStop", "Stop Music", &frmMain::mnuMusicStop_Click},
        {"mnuMusicPause", "Pause Music", &frmMain::mnuMusicPause_Click}}},
      {"mnuWallPaper",
       "WallPaper",
       {{"mnuWallPaperOpenBMP", "Change", &frmMain::mnuWallPaperOpenBMP_Click},
        {"mnuWallPaperEditBMP", "Edit", &frmMain::mnuWallPaperEditBMP_Click}}},
      {"mnuSearch",
       "&Search",
       {{"mnuSearchBrowseFavorites", "&Browse Favorites", &frmMain::mnuSearchBrowseFavorites_Click},
        {"mnuSearchWebpages", "Find &WebPages", &frmMain::mnuSearchWebpages_Click},
        {"mnuSearchEdit", "Edit Directory", &frmMain::mnuSearchEdit_Click},
        {"mnuSearchUpdate", "Update Directory", &frmMain::mnuSearchUpdate_Click},
        {"mnuSearchZips", "Find &Zips", &frmMain::mnuSearchZips_Click}}},
      {"mnuHelp",
       "&Help",
       {{"mnuHelpAbout", "&About", &frmMain::mnuHelpAbout_Click},
        {"mnuHelpFeatures", "&Features", &frmMain::mnuHelpFeatures_Click}}},
  };
  QMenuBar* bar = menuBar();
  for (const Menu& menu : menus) {
    QMenu* m = bar->addMenu(menu.caption);
    m->setObjectName(menu.name);
    for (const Item& item : menu.items) {
      QAction* a = m->addAction(item.caption);
      a->setObjectName(item.name);
      connect(a, &QAction::triggered, this, item.handler);
    }
  }

  // A command on the bar itself, without entries.
  QAction* run = bar->addAction("&Run");
  run->setObjectName("mnuRun");
  connect(run, &QAction::triggered, this, &frmMain::mnuRun_Click);
}

HotButtonTips frmMain::HotButtonToolTips() const {
  HotButtonTips tips;
  for (int i = 0; i < kHotButtonCount; ++i) tips[i] = cmdHotButton[i]->toolTip();
  return tips;
}

bool frmMain::OpenTarget(const QString& target) {
  ShowURL1()->SetTarget(target);
  return OpenCurrentTarget();
}

bool frmMain::OpenCurrentTarget() {
  if (ShowURL1()->Open()) {
    // An earlier refusal no longer applies; other news (a download running) stays.
    if (statusBar()->currentMessage() == refusal_) statusBar()->clearMessage();
    return true;
  }
  refusal_ = QString("Nothing here can open \"%1\"").arg(ShowURL1()->Target());
  statusBar()->showMessage(refusal_);
  return false;
}

void frmMain::ShowAbout(bool splash) {
  if (!about_) {
    about_ = new frmAbout(folders_.shared, controls_.desktop.get(), this);
    about_->setAttribute(Qt::WA_DeleteOnClose);
  }
  // The splash must not take the keyboard from the main window, whose address box waits for
  // the first keyword.
  about_->setAttribute(Qt::WA_ShowWithoutActivating, splash);
  about_->show();
  about_->raise();
  if (!splash) about_->activateWindow();
}

bool frmMain::LoadHotButtons(const QString& path) {
  const auto tips = ReadMemoryFile(path);
  if (!tips) return false;
  for (int i = 0; i < kHotButtonCount; ++i) cmdHotButton[i]->setToolTip((*tips)[i]);
  return true;
}

// ---- start-up and the lookup ----

void frmMain::Form_Load() {
  cdbOpen()->SetInitDir(folders_.user);
  ShowAbout(true);
  LoadHotButtons(folders_.user + "/memory.ctr");
  // The keyword folder is ours; make sure the built-in shortcut has somewhere to go.
  QDir().mkpath(HostPathOf(kKeywordFolder));
  CreateInternetShortCut(kBuiltInShortcutUrl, QString(kKeywordFolder) + kBuiltInShortcutName);
}

void frmMain::cmdGo_Click() {
  // Whatever was clicked to get here, typing goes on in the address box.
  txtURL->setFocus(Qt::OtherFocusReason);
  const QString text = txtURL->text();
  const QString s = text.toUpper();
  const QString domain = QString(kWebDomain).toUpper();
  if (s == "TRAILMARK" || s.isEmpty() || s == domain || s == "WWW." + domain) {
    txtURL->setText(kHomePage);
    return;
  }
  if (s == "FAVORITES") {
    OpenTarget(kFavoritesFolder);
    return;
  }
  if (s == "HELP" || s == "?") {
    ShowAbout();
    txtURL->setText("Features Help");
    OpenTarget(folders_.shared + "/help.html");
    return;
  }

  const DirectoryLookup found = LookupDirectory(folders_.user + "/websites.dir", text);
  if (found.result == DirectoryLookup::kFound) {
    OpenTarget(found.target);
    return;
  }
  if (found.result == DirectoryLookup::kNotFound) {
    if (const auto shortcut = KeywordShortcutPath(text)) {
      QFile file(*shortcut);
      if (file.open(QIODevice::ReadOnly)) {
        file.close();
        OpenTarget(QString(kKeywordFolder) + text + ".url");
        return;
      }
    }
  }
  // Unknown words and typed addresses go to the opener as they stand.
  OpenTarget(text);
}

void frmMain::txtURL_KeyPress(int KeyAscii) {
  if (KeyAscii == 13) cmdGo->click();
}

void frmMain::txtURL_GotFocus() {
  txtURL->setSelection(0, static_cast<int>(txtURL->text().size()));
}

void frmMain::lblAddress_Click() {
  txtURL->setFocus(Qt::OtherFocusReason);
  txtURL_GotFocus();
}

void frmMain::Form_KeyPress(int KeyAscii) {
  switch (KeyAscii) {
    case 'A':
    case 'a':
      txtURL->setFocus(Qt::OtherFocusReason);
      txtURL_GotFocus();
      break;
    case 'F':
    case 'f':
      txtURL->setText("Favorites");
      OpenTarget(kFavoritesFolder);
      break;
    case 'G':
    case 'g':
      ShowURL1()->SetTarget(txtURL->text());
      cmdGo->click();
      break;
    default:
      break;
  }
}

void frmMain::keyPressEvent(QKeyEvent* event) {
  // Only keys that no child took (a text box keeps what is typed into it) reach here.
  const QString text = event->text();
  if (text.size() == 1 && text[0].unicode() < 128) Form_KeyPress(text[0].unicode());
  QMainWindow::keyPressEvent(event);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == txtURL) {
    if (event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(event);
      if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        txtURL_KeyPress(13);
        return true;
      }
    } else if (event->type() == QEvent::FocusIn) {
      // After the click that gave the focus has placed the cursor.
      QTimer::singleShot(0, this, &frmMain::txtURL_GotFocus);
    }
  } else if (watched == lblAddress && event->type() == QEvent::MouseButtonRelease) {
    lblAddress_Click();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---- hot buttons and the memory file ----

void frmMain::cmdMem_Click() {
  QFont f = cmdMem->font();
  f.setUnderline(true);
  cmdMem->setFont(f);
  m_iMemoryMode = 1;
  Timer1->start();
}

void frmMain::Timer1_Timer() {
  QFont f = cmdMem->font();
  f.setUnderline(false);
  cmdMem->setFont(f);
  m_iMemoryMode = 0;
  Timer1->stop();
}

void frmMain::HotButton_Click(int index) {
  txtURL->setFocus(Qt::OtherFocusReason);
  QPushButton* button = cmdHotButton[index];
  if (m_iMemoryMode == 1) {
    button->setToolTip(txtURL->text());
    m_iMemoryMode = 0;
    return;
  }
  txtURL->setText(button->toolTip());
  ShowURL1()->SetTarget(button->toolTip());
  if (index == 0) {
    OpenCurrentTarget();
  } else {
    cmdGo->click();
  }
}

void frmMain::mnuFileNew_Click() {
  txtURL->clear();
}

void frmMain::mnuFileOpen_Click() {
  cdbOpen()->SetFileName("memory.ctr");
  if (!cdbOpen()->ShowOpen()) return;  // cancelled: nothing is read, nothing is said
  const QString name = cdbOpen()->FileName();
  if (!name.isEmpty() && !LoadHotButtons(HostPathOf(name))) {
    txtURL->setText("Error HotKeys didn't Load");
    return;
  }
  txtURL->setText("HotKeys Loaded");
}

void frmMain::mnuFileSave_Click() {
  cdbOpen()->SetFileName("memory.ctr");
  if (!cdbOpen()->ShowSave()) return;  // cancelled: nothing is written, nothing is said
  const QString name = cdbOpen()->FileName();
  if (name.isEmpty() || !WriteMemoryFile(HostPathOf(name), HotButtonToolTips())) {
    txtURL->setText("Error HotKeys didn't Save");
    return;
  }
  txtURL->setText("HotKeys Saved");
}

void frmMain::mnuFileExt_Click() {
  if (HTTP1() && HTTP1()->Busy()) HTTP1()->SetAction(0);
  if (controls_.end) controls_.end();
}

// ---- music and wallpaper ----

void frmMain::mnuMusicOpen_Click() {
  if (!cdbOpen()->ShowOpen()) return;
  cdbOpen()->SetInitDir(cdbOpen()->InitDir());
  m_strMusicFile = cdbOpen()->FileName();
}

void frmMain::SendMCI(const QString& verb) {
  m_strMCICommand = verb + " " + m_strMusicFile;
  controls_.mci->mciExecute(m_strMCICommand);
}

void frmMain::mnuFilePlayMusic_Click() {
  SendMCI("play");
}
void frmMain::mnuMusicPause_Click() {
  SendMCI("pause");
}
void frmMain::mnuMusicStop_Click() {
  SendMCI("stop");
}

void frmMain::mnuWallPaperOpenBMP_Click() {
  if (!cdbOpen()->ShowOpen()) return;
  controls_.desktop->SetDeskWallpaper(cdbOpen()->FileName());
}

void frmMain::mnuWallPaperEditBMP_Click() {
  if (!OpenTarget("mspaint")) {
    refusal_ = "No image editor is installed (Pinta, KolourPaint, Drawing or GIMP)";
    statusBar()->showMessage(refusal_);
  }
}

// ---- search, directory and help ----

void frmMain::mnuSearchBrowseFavorites_Click() {
  txtURL->setText("Favorites");
  OpenTarget(kFavoritesFolder);
}

void frmMain::mnuSearchWebpages_Click() {
  OpenTarget(kDirectoryWebPage);
}

void frmMain::mnuSearchEdit_Click() {
  controls_.desktop->Shell("notepad.exe " + folders_.user + "/websites.dir");
}

void frmMain::mnuSearchUpdate_Click() {
  if (HTTP1()->Busy()) return;  // one download at a time
  HTTP1()->SetLocalFile(folders_.user + "/websites.dir");
  ShowUpdateRunning(true);
  HTTP1()->SetAction(1);
}

void frmMain::UpdateEnded(const QString& error) {
  ShowUpdateRunning(false);
  if (error.isEmpty()) {
    txtURL->setText("Updated Directory");
    HTTP1()->SetAction(0);
    emit DirectoryUpdateEnded(true);
    return;
  }
  qWarning("trailmark: directory update failed: %s", qUtf8Printable(error));
  txtURL->setText("Error Updating Directory");
  HTTP1()->SetAction(0);
  emit DirectoryUpdateEnded(false);
  controls_.desktop->MsgBox("Please Sign on to the Internet and try Again!", kTitle);
}

void frmMain::cmdCancelUpdate_Click() {
  if (!HTTP1()->Busy()) return;
  HTTP1()->SetAction(0);
  ShowUpdateRunning(false);
  statusBar()->showMessage("Directory update cancelled; the directory is as it was");
}

void frmMain::ShowUpdateRunning(bool running) {
  prgUpdate->setRange(0, 0);
  prgUpdate->setVisible(running);
  cmdCancelUpdate->setVisible(running);
  if (auto* update = findChild<QAction*>("mnuSearchUpdate")) update->setEnabled(!running);
  if (running) {
    statusBar()->showMessage("Updating...");
    setCursor(Qt::BusyCursor);
  } else {
    statusBar()->clearMessage();
    unsetCursor();
  }
}

void frmMain::closeEvent(QCloseEvent* event) {
  // Closing the window gives the download up; the directory stays as it was.
  if (HTTP1() && HTTP1()->Busy()) {
    HTTP1()->SetAction(0);
    ShowUpdateRunning(false);
  }
  QMainWindow::closeEvent(event);
}

void frmMain::mnuSearchZips_Click() {
  const QString filter = cdbOpen()->Filter();
  cdbOpen()->SetFilter("*.zip");
  cdbOpen()->SetFileName("*.zip");
  const bool chosen = cdbOpen()->ShowOpen();
  cdbOpen()->SetFilter(filter);  // the other dialogs keep showing every file
  if (!chosen) return;
  const QString name = cdbOpen()->FileName();
  if (name.isEmpty()) return;
  txtURL->setText(name);
  OpenTarget(name);
}

void frmMain::mnuHelpAbout_Click() {
  ShowAbout();
}

void frmMain::mnuHelpFeatures_Click() {
  txtURL->setText("Features Help");
  OpenTarget(folders_.shared + "/help.html");
}

void frmMain::mnuRun_Click() {
  cdbOpen()->SetFileName("");
  if (!cdbOpen()->ShowOpen()) return;
  const QString name = cdbOpen()->FileName();
  if (name.isEmpty()) return;
  txtURL->setText(name);
  OpenTarget(name);
}

}  // namespace trailmark
