#include "frm_main.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "directory.h"
#include "frm_about.h"
#include "paths.h"
#include "shortcuts.h"

namespace trailmark {

namespace {
constexpr char kAddressTip[] = "Enter KEYWORD or URL of Website ";
constexpr char kTitle[] = "Trailmark";
}  // namespace

frmMain::frmMain(const QString& programFolder, Controls controls, QWidget* parent)
    : QMainWindow(parent), programFolder_(programFolder), controls_(std::move(controls)) {
  setObjectName("frmMain");
  setWindowTitle(kTitle);

  auto* central = new QWidget(this);
  central->setFocusPolicy(Qt::StrongFocus);
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

  if (controls_.ShowURL1) controls_.ShowURL1->SetTarget(kHomePage);
  if (controls_.HTTP1) controls_.HTTP1->SetURL(DirectoryFileUrl());
  if (controls_.SWOnTop1) {
    controls_.SWOnTop1->SetHost(this);
    controls_.SWOnTop1->SetOnTop(true);
  }
}

frmMain::~frmMain() {
  if (about_) delete about_;
}

void frmMain::BuildMenus() {
  QMenuBar* bar = menuBar();
  auto addMenu = [&](const char* name, const QString& caption) {
    QMenu* m = bar->addMenu(caption);
    m->setObjectName(name);
    return m;
  };
  auto addItem = [&](QMenu* menu, const char* name, const QString& caption, auto handler) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(name);
    connect(a, &QAction::triggered, this, handler);
  };

  QMenu* file = addMenu("mnuFile", "&File");
  addItem(file, "mnuFileNew", "&New", &frmMain::mnuFileNew_Click);
  addItem(file, "mnuFileSave", "&Save", &frmMain::mnuFileSave_Click);
  addItem(file, "mnuFileOpen", "&Open", &frmMain::mnuFileOpen_Click);
  addItem(file, "mnuFileExt", "&Exit", &frmMain::mnuFileExt_Click);

  QMenu* music = addMenu("mnuMusic", "Music");
  addItem(music, "mnuMusicOpen", "Open Music File", &frmMain::mnuMusicOpen_Click);
  addItem(music, "mnuFilePlayMusic", "Play Music", &frmMain::mnuFilePlayMusic_Click);
  addItem(music, "mnuMusicStop", "Stop Music", &frmMain::mnuMusicStop_Click);
  addItem(music, "mnuMusicPause", "Pause Music", &frmMain::mnuMusicPause_Click);

  QMenu* wallPaper = addMenu("mnuWallPaper", "WallPaper");
  addItem(wallPaper, "mnuWallPaperOpenBMP", "Change", &frmMain::mnuWallPaperOpenBMP_Click);
  addItem(wallPaper, "mnuWallPaperEditBMP", "Edit", &frmMain::mnuWallPaperEditBMP_Click);

  QMenu* search = addMenu("mnuSearch", "&Search");
  addItem(search, "mnuSearchBrowseFavorites", "&Browse Favorites",
          &frmMain::mnuSearchBrowseFavorites_Click);
  addItem(search, "mnuSearchWebpages", "Find &WebPages", &frmMain::mnuSearchWebpages_Click);
  addItem(search, "mnuSearchEdit", "Edit Directory", &frmMain::mnuSearchEdit_Click);
  addItem(search, "mnuSearchUpdate", "Update Directory", &frmMain::mnuSearchUpdate_Click);
  addItem(search, "mnuSearchZips", "Find &Zips", &frmMain::mnuSearchZips_Click);

  QMenu* help = addMenu("mnuHelp", "&Help");
  addItem(help, "mnuHelpAbout", "&About", &frmMain::mnuHelpAbout_Click);
  addItem(help, "mnuHelpFeatures", "&Features", &frmMain::mnuHelpFeatures_Click);

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

void frmMain::OpenTarget(const QString& target) {
  ShowURL1()->SetTarget(target);
  ShowURL1()->Open();
}

void frmMain::ShowAbout() {
  if (!about_) {
    about_ = new frmAbout(programFolder_, controls_.desktop.get(), this);
    about_->setAttribute(Qt::WA_DeleteOnClose);
  }
  about_->show();
  about_->raise();
}

bool frmMain::LoadHotButtons(const QString& path) {
  const auto tips = ReadMemoryFile(path);
  if (!tips) return false;
  for (int i = 0; i < kHotButtonCount; ++i) cmdHotButton[i]->setToolTip((*tips)[i]);
  return true;
}

// ---- start-up and the lookup ----

void frmMain::Form_Load() {
  cdbOpen()->SetInitDir(programFolder_);
  ShowAbout();
  LoadHotButtons(programFolder_ + "/memory.ctr");
  // The keyword folder is ours; make sure the built-in shortcut has somewhere to go.
  QDir().mkpath(HostPathOf(kKeywordFolder));
  CreateInternetShortCut(kBuiltInShortcutUrl, QString(kKeywordFolder) + kBuiltInShortcutName);
}

void frmMain::cmdGo_Click() {
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
    OpenTarget(programFolder_ + "/help.html");
    return;
  }

  const DirectoryLookup found = LookupDirectory(programFolder_ + "/websites.dir", text);
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
  QPushButton* button = cmdHotButton[index];
  if (m_iMemoryMode == 1) {
    button->setToolTip(txtURL->text());
    m_iMemoryMode = 0;
    return;
  }
  txtURL->setText(button->toolTip());
  ShowURL1()->SetTarget(button->toolTip());
  if (index == 0) {
    ShowURL1()->Open();
  } else {
    cmdGo->click();
  }
}

void frmMain::mnuFileNew_Click() {
  txtURL->clear();
}

void frmMain::mnuFileOpen_Click() {
  cdbOpen()->SetFileName("memory.ctr");
  cdbOpen()->ShowOpen();
  const QString name = cdbOpen()->FileName();
  if (!name.isEmpty() && !LoadHotButtons(HostPathOf(name))) {
    txtURL->setText("Error HotKeys didn't Load");
    return;
  }
  txtURL->setText("HotKeys Loaded");
}

void frmMain::mnuFileSave_Click() {
  cdbOpen()->SetFileName("memory.ctr");
  cdbOpen()->ShowSave();
  const QString name = cdbOpen()->FileName();
  if (name.isEmpty() || !WriteMemoryFile(HostPathOf(name), HotButtonToolTips())) {
    txtURL->setText("Error HotKeys didn't Save");
    return;
  }
  txtURL->setText("HotKeys Saved");
}

void frmMain::mnuFileExt_Click() {
  if (controls_.end) controls_.end();
}

// ---- music and wallpaper ----

void frmMain::mnuMusicOpen_Click() {
  cdbOpen()->ShowOpen();
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
  cdbOpen()->ShowOpen();
  controls_.desktop->SetDeskWallpaper(cdbOpen()->FileName());
}

void frmMain::mnuWallPaperEditBMP_Click() {
  OpenTarget("mspaint");
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
  controls_.desktop->Shell("notepad.exe " + programFolder_ + "/websites.dir");
}

void frmMain::mnuSearchUpdate_Click() {
  try {
    HTTP1()->SetLocalFile(programFolder_ + "/websites.dir");
    HTTP1()->SetAction(1);
    txtURL->setText("Updated Directory");
    HTTP1()->SetAction(0);
  } catch (const HttpError& e) {
    qWarning("trailmark: directory update failed: %s", e.what());
    txtURL->setText("Error Updating Directory");
    HTTP1()->SetAction(0);
    controls_.desktop->MsgBox("Please Sign on to the Internet and try Again!", kTitle);
  }
}

void frmMain::mnuSearchZips_Click() {
  cdbOpen()->SetFilter("*.zip");
  cdbOpen()->SetFileName("*.zip");
  cdbOpen()->ShowOpen();
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
  OpenTarget(programFolder_ + "/help.html");
}

void frmMain::mnuRun_Click() {
  cdbOpen()->SetFileName("");
  cdbOpen()->ShowOpen();
  const QString name = cdbOpen()->FileName();
  if (name.isEmpty()) return;
  txtURL->setText(name);
  OpenTarget(name);
}

}  // namespace trailmark
