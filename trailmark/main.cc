// Trailmark: keyword and address shortcuts for the desktop.
#include <QApplication>

#include "controls.h"
#include "frm_main.h"
#include "paths.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Trailmark");
  QApplication::setApplicationVersion(QString("%1.%2.%3")
                                          .arg(TRAILMARK_VERSION_MAJOR)
                                          .arg(TRAILMARK_VERSION_MINOR)
                                          .arg(TRAILMARK_VERSION_REVISION));
  QApplication::setDesktopFileName("trailmark");

  const trailmark::Folders folders = trailmark::ProgramFolders();
  QApplication::setWindowIcon(trailmark::ProgramIcon(folders.shared));
  trailmark::frmMain window(folders, trailmark::MakeDesktopControls());
  window.Form_Load();
  window.show();
  window.activateWindow();
  return app.exec();
}
