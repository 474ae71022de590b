// The main window: address box, Go, ten hot buttons with the memory mode, and the menu bar.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <cstdint>

#include "controls.h"
#include "frm_about.h"
#include "memory_file.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;

namespace trailmark {

class frmMain : public QMainWindow {
  Q_OBJECT
 public:
  frmMain(const QString& programFolder, Controls controls, QWidget* parent = nullptr);
  ~frmMain() override;

  // Controls, for the program and its tests.
  QLineEdit* txtURL = nullptr;
  QLabel* lblAddress = nullptr;
  QPushButton* cmdGo = nullptr;
  std::array<QPushButton*, kHotButtonCount> cmdHotButton{};
  QPushButton* cmdMem = nullptr;
  QTimer* Timer1 = nullptr;
  IShowURL* ShowURL1() const { return controls_.ShowURL1.get(); }
  IHTTP* HTTP1() const { return controls_.HTTP1.get(); }
  ICommonDialog* cdbOpen() const { return controls_.cdbOpen.get(); }
  ISWOnTop* SWOnTop1() const { return controls_.SWOnTop1.get(); }
  frmAbout* AboutForm() const { return about_; }

  // Form fields.
  std::int16_t MemoryMode() const { return m_iMemoryMode; }
  QString MusicFile() const { return m_strMusicFile; }
  QString MCICommand() const { return m_strMCICommand; }
  QString ProgramFolder() const { return programFolder_; }

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

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void HotButton_Click(int index);
  // "open T": set the opener's target, then open it.
  void OpenTarget(const QString& target);
  void ShowAbout();
  void SendMCI(const QString& verb);
  bool LoadHotButtons(const QString& path);

  QString programFolder_;
  Controls controls_;
  QPointer<frmAbout> about_;
  std::int16_t m_iMemoryMode = 0;
  QString m_strMusicFile;
  QString m_strMCICommand;
};

}  // namespace trailmark
