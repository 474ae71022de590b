// The main window: address box, Go, ten hot buttons with the memory mode, and the menu bar.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <cstdint>

#include "controls.h"
#include "frm_about.h"
#include "memory_file.h"
#include "paths.h"

class QAction;
class QIcon;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

namespace trailmark {

// The program's icon: the shipped picture, else the desktop theme's.
QIcon ProgramIcon(const QString& sharedFolder);

class frmMain : public QMainWindow {
  Q_OBJECT
 public:
  frmMain(const Folders& folders, Controls controls, QWidget* parent = nullptr);
  ~frmMain() override;

  // Controls, for the program and its tests.
  QLineEdit* txtURL = nullptr;
  QLabel* lblAddress = nullptr;
  QPushButton* cmdGo = nullptr;
  std::array<QPushButton*, kHotButtonCount> cmdHotButton{};
  QPushButton* cmdMem = nullptr;
  QTimer* Timer1 = nullptr;
  // The directory download's progress, with its Cancel, in the status bar while it runs.
  QProgressBar* prgUpdate = nullptr;
  QPushButton* cmdCancelUpdate = nullptr;
  IShowURL* ShowURL1() const { return controls_.ShowURL1.get(); }
  IHTTP* HTTP1() const { return controls_.HTTP1.get(); }
  ICommonDialog* cdbOpen() const { return controls_.cdbOpen.get(); }
  ISWOnTop* SWOnTop1() const { return controls_.SWOnTop1.get(); }
  frmAbout* AboutForm() const { return about_; }

  // Form fields.
  std::int16_t MemoryMode() const { return m_iMemoryMode; }
  QString MusicFile() const { return m_strMusicFile; }
  QString MCICommand() const { return m_strMCICommand; }
  QString UserFolder() const { return folders_.user; }
  QString SharedFolder() const { return folders_.shared; }

  HotButtonTips HotButtonToolTips() const;

 public slots:
  void Form_Load();
  void Form_KeyPress(int KeyAscii);
  void cmdGo_Click();
  void txtURL_KeyPress(int KeyAscii);
  void txtURL_GotFocus();
  void lblAddress_Click();

  void cmdMem_Click();
  void Timer1_Timer();
  void cmdHotButton0_Click() { HotButton_Click(0); }
  void cmdHotButton1_Click() { HotButton_Click(1); }
  void cmdHotButton2_Click() { HotButton_Click(2); }
  void cmdHotButton3_Click() { HotButton_Click(3); }
  void cmdHotButton4_Click() { HotButton_Click(4); }
  void cmdHotButton5_Click() { HotButton_Click(5); }
  void cmdHotButton6_Click() { HotButton_Click(6); }
  void cmdHotButton7_Click() { HotButton_Click(7); }
  void cmdHotButton8_Click() { HotButton_Click(8); }
  void cmdHotButton9_Click() { HotButton_Click(9); }

  void mnuFileNew_Click();
  void mnuFileOpen_Click();
  void mnuFileSave_Click();
  void mnuFileExt_Click();
  void mnuMusicOpen_Click();
  void mnuFilePlayMusic_Click();
  void mnuMusicPause_Click();
  void mnuMusicStop_Click();
  void mnuWallPaperOpenBMP_Click();
  void mnuWallPaperEditBMP_Click();
  void mnuSearchBrowseFavorites_Click();
  void mnuSearchWebpages_Click();
  void mnuSearchEdit_Click();
  void mnuSearchUpdate_Click();
  void mnuSearchZips_Click();
  void mnuHelpAbout_Click();
  void mnuHelpFeatures_Click();
  void mnuRun_Click();
  void cmdCancelUpdate_Click();

 signals:
  // A directory download ended by itself (not cancelled); ok when the file was replaced.
  void DirectoryUpdateEnded(bool ok);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void HotButton_Click(int index);
  // "open T": set the opener's target, then open it. What the desktop cannot open is said in
  // the status line; false then.
  bool OpenTarget(const QString& target);
  // Opens the opener's current target, as OpenTarget does.
  bool OpenCurrentTarget();
  void UpdateEnded(const QString& error);
  void ShowUpdateRunning(bool running);
  // splash: shown at start-up, without taking the keyboard.
  void ShowAbout(bool splash = false);
  void SendMCI(const QString& verb);
  bool LoadHotButtons(const QString& path);

  Folders folders_;
  Controls controls_;
  QPointer<frmAbout> about_;
  std::int16_t m_iMemoryMode = 0;
  QString m_strMusicFile;
  QString m_strMCICommand;
  QString refusal_;  // the last "cannot open" shown in the status line
};

}  // namespace trailmark
