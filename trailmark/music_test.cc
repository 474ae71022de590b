// Play Music through the real media back end to a real sound output: a PulseAudio server of the
// test's own with a null sink (what a desktop's sound server is, without a sound card).
#include <QApplication>
#include <QMediaPlayer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "mci.h"

using namespace trailmark;

namespace {

// A short WAV file of silence: 16-bit mono at 8 kHz.
QByteArray Silence(int milliseconds) {
  const quint32 samples = 8 * milliseconds;
  QByteArray out;
  QDataStream s(&out, QIODevice::WriteOnly);
  s.setByteOrder(QDataStream::LittleEndian);
  s.writeRawData("RIFF", 4);
  s << quint32(36 + 2 * samples);
  s.writeRawData("WAVEfmt ", 8);
  s << quint32(16) << quint16(1) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2)
    << quint16(16);
  s.writeRawData("data", 4);
  s << quint32(2 * samples);
  for (quint32 i = 0; i < samples; ++i) s << qint16(0);
  return out;
}

}  // namespace

class MusicTest : public QObject {
  Q_OBJECT

 public:
  explicit MusicTest(const QString& skipReason) : skipReason_(skipReason) {}

 private slots:
  void playPauseStopWithASoundOutput() {
    if (!skipReason_.isEmpty()) QSKIP(qPrintable(skipReason_));
    QTemporaryDir dir;
    const QString song = dir.filePath("song.wav");
    QFile f(song);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(Silence(300));
    f.close();

    QStringList shown;
    Mci mci([&](const QString& text) { shown << text; });
    QVERIFY(mci.mciExecute("play " + song));
    const QMediaPlayer* player = mci.PlayerFor(song);
    QVERIFY(player);
    // Played to its end, with no error from the back end on the way.
    QTRY_COMPARE_WITH_TIMEOUT(player->mediaStatus(), QMediaPlayer::EndOfMedia, 20000);
    QCOMPARE(shown, QStringList());

    QVERIFY(mci.mciExecute("play " + song));
    QTRY_COMPARE_WITH_TIMEOUT(player->playbackState(), QMediaPlayer::PlayingState, 20000);
    QVERIFY(mci.mciExecute("pause " + song));
    QCOMPARE(player->playbackState(), QMediaPlayer::PausedState);
    QVERIFY(mci.mciExecute("stop " + song));
    QCOMPARE(player->playbackState(), QMediaPlayer::StoppedState);
    QCOMPARE(shown, QStringList());
  }

 private:
  QString skipReason_;
};

int main(int argc, char** argv) {
  // The sound server must be there before the media framework first looks for outputs.
  QTemporaryDir runtime;
  QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QString socket = runtime.filePath("pulse/native");
  QProcess server;
  QString skipReason;
  {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("HOME", runtime.path());
    env.remove("DISPLAY");
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start("pulseaudio",
                 {"--daemonize=no", "-n", "--exit-idle-time=-1", "--log-target=stderr", "-v",
                  "--load=module-null-sink", "--load=module-native-protocol-unix"});
    // It says when it is ready to take clients.
    QByteArray log;
    bool ready = server.waitForStarted(10000);
    while (ready && !log.contains("Daemon startup complete")) {
      if (!server.waitForReadyRead(30000)) ready = false;
      log += server.readAll();
    }
    if (!ready) {
      skipReason =
          "no PulseAudio server could be started here (scripts/install-deps installs it): " +
          QString::fromLocal8Bit(log.right(300));
    }
  }
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  qputenv("PULSE_SERVER", ("unix:" + socket).toLocal8Bit());
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  int status;
  {
    QApplication app(argc, argv);
    MusicTest test(skipReason);
    status = QTest::qExec(&test, argc, argv);
  }
  server.terminate();
  if (!server.waitForFinished(10000)) server.kill();
  return status;
}

#include "music_test.moc"
