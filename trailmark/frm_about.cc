#include "frm_about.h"

#include <winport/file.h>

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "controls.h"
#include "registry_util.h"

namespace trailmark {

namespace {
constexpr char kAppTitle[] = "Trailmark";
constexpr char kSysInfoUnavailable[] = "System Information Is Unavailable At This Time";
}  // namespace

frmAbout::frmAbout(const QString& programFolder, IDesktop* desktop, QWidget* parent)
    : QDialog(parent), desktop_(desktop) {
  setObjectName("frmAbout");

  Gif89a1 = new Gif89a(this);
  Gif89a1->setObjectName("Gif89a1");
  Gif89a1->SetFileName(programFolder + "/about.gif");
  Gif89a1->setFixedSize(64, 64);
  Gif89a1->setAlignment(Qt::AlignCenter);

  lblTitle = new QLabel(this);
  lblTitle->setObjectName("lblTitle");
  QFont titleFont = lblTitle->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
  lblTitle->setFont(titleFont);
  lblVersion = new QLabel(this);
  lblVersion->setObjectName("lblVersion");
  lblDescription = new QLabel(
      "Trailmark lets you manage your Favorites and Keyword Shortcuts to your favorite web "
      "sites.",
      this);
  lblDescription->setObjectName("lblDescription");
  lblDescription->setWordWrap(true);

  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);

  lblDisclaimer =
      new QLabel("Warning: this program is provided as is, without warranty of any kind.", this);
  lblDisclaimer->setObjectName("lblDisclaimer");
  lblDisclaimer->setWordWrap(true);
  cmdOK = new QPushButton("OK", this);
  cmdOK->setObjectName("cmdOK");
  cmdOK->setDefault(true);
  cmdSysInfo = new QPushButton("&System Info...", this);
  cmdSysInfo->setObjectName("cmdSysInfo");

  auto* top = new QGridLayout;
  top->addWidget(Gif89a1, 0, 0, 3, 1, Qt::AlignTop);
  top->addWidget(lblTitle, 0, 1);
  top->addWidget(lblVersion, 1, 1);
  top->addWidget(lblDescription, 2, 1);
  top->setColumnStretch(1, 1);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(cmdOK);
  buttons->addWidget(cmdSysInfo);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(lblDisclaimer, 1);
  bottom->addLayout(buttons);

  auto* column = new QVBoxLayout(this);
  column->addLayout(top);
  column->addWidget(line);
  column->addLayout(bottom);
  setMinimumWidth(420);

  connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
  connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);
  Form_Load();
}

void frmAbout::Form_Load() {
  setWindowTitle(QString("About ") + kAppTitle);
  lblVersion->setText(QString("Version %1.%2.%3")
                          .arg(TRAILMARK_VERSION_MAJOR)
                          .arg(TRAILMARK_VERSION_MINOR)
                          .arg(TRAILMARK_VERSION_REVISION));
  lblTitle->setText(kAppTitle);
}

void frmAbout::cmdOK_Click() {
  close();
}

void frmAbout::cmdSysInfo_Click() {
  StartSysInfo();
}

void frmAbout::StartSysInfo() {
  using namespace winport;
  QString path;
  if (!GetKeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", path)) {
    bool found = false;
    if (GetKeyValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Shared Tools Location", "MSINFO",
                    path)) {
      const QString file = path + "\\MSINFO32.EXE";
      if (GetFileAttributesA(file.toUtf8().constData()) != INVALID_FILE_ATTRIBUTES) {
        path = file;
        found = true;
      }
    }
    if (!found) {
      desktop_->MsgBox(kSysInfoUnavailable, kAppTitle);
      return;
    }
  }
  if (!desktop_->Shell(path)) desktop_->MsgBox(kSysInfoUnavailable, kAppTitle);
}

}  // namespace trailmark
