// The about box, also shown as a splash window at start-up.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace trailmark {

class Gif89a;
class IDesktop;

class frmAbout : public QDialog {
  Q_OBJECT
 public:
  frmAbout(const QString& programFolder, IDesktop* desktop, QWidget* parent = nullptr);

  QLabel* lblTitle = nullptr;
  QLabel* lblVersion = nullptr;
  QLabel* lblDescription = nullptr;
  QLabel* lblDisclaimer = nullptr;
  QPushButton* cmdOK = nullptr;
  QPushButton* cmdSysInfo = nullptr;
  Gif89a* Gif89a1 = nullptr;

 public slots:
  void Form_Load();
  void cmdOK_Click();
  void cmdSysInfo_Click();
  void StartSysInfo();

 private:
  IDesktop* desktop_;
};

}  // namespace trailmark
