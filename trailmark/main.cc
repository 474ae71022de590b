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

  trailmark::frmMain window(trailmark::ProgramFolder(), trailmark::MakeDesktopControls());
  window.Form_Load();
  window.show();
  return app.exec();
}
