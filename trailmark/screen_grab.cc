// Saves a picture of the display, cut to the windows on it: whatever differs from the root
// window's plain background, with a small margin. Used to make the screenshots in docs/.
//
// Usage: trailmark_screen_grab OUT.png
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
    return 2;
  }
  const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  const QRgb background = screen.pixel(0, 0);
  QRect used;
  for (int y = 0; y < screen.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(screen.constScanLine(y));
    for (int x = 0; x < screen.width(); ++x) {
      if (line[x] != background) used |= QRect(x, y, 1, 1);
    }
  }
  if (used.isEmpty()) {
    std::fprintf(stderr, "%s: nothing on the screen\n", argv[0]);
    return 1;
  }
  const QRect cut = used.adjusted(-8, -8, 8, 8) & screen.rect();
  return screen.copy(cut).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
