#include "mci.h"

#include <QApplication>
#include <QAudioDevice>
#include <QAudioOutput>
#include <QFileInfo>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QMessageBox>
#include <QUrl>

#include "paths.h"

namespace trailmark {

namespace {
constexpr char kUnrecognized[] = "The driver cannot recognize the command.";
constexpr char kMissingParameter[] = "The command requires a parameter. Please supply one.";
constexpr char kFileNotFound[] =
    "The file cannot be found. Make sure the path and filename are correct.";
constexpr char kNotOpen[] = "The device is not open or is not recognized by MCI.";
constexpr char kNoOutput[] =
    "There is no sound output device on this system. Make sure one is installed and working.";
constexpr char kNoPlayer[] = "The specified device driver cannot be loaded.";
}  // namespace

MciCommand ParseMciCommand(const QString& command) {
  MciCommand out;
  const QString trimmed = command.trimmed();
  const qsizetype space = trimmed.indexOf(' ');
  out.verb = (space < 0 ? trimmed : trimmed.left(space)).toLower();
  QString file = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();
  if (file.size() >= 2 && file.startsWith('"') && file.endsWith('"'))
    file = file.mid(1, file.size() - 2);

  if (out.verb != "play" && out.verb != "pause" && out.verb != "stop") {
    out.error = kUnrecognized;
  } else if (file.isEmpty()) {
    out.error = kMissingParameter;
  } else {
    out.file = HostPathOf(file);
  }
  return out;
}

struct Mci::Device {
  QAudioOutput output;
  QMediaPlayer player;
};

Mci::Mci(std::function<void(const QString&)> showError, std::function<bool()> hasAudioOutput)
    : showError_(std::move(showError)), hasAudioOutput_(std::move(hasAudioOutput)) {
  // Some media back ends crash when a player is made without any audio output to play to.
  if (!hasAudioOutput_) hasAudioOutput_ = [] { return !QMediaDevices::audioOutputs().isEmpty(); };
  if (!showError_) {
    showError_ = [](const QString& text) {
      QMessageBox::warning(QApplication::activeWindow(), "MCI Error", text, QMessageBox::Ok);
    };
  }
}

Mci::~Mci() = default;

bool Mci::Fail(const QString& text) {
  showError_(text);
  return false;
}

const QMediaPlayer* Mci::PlayerFor(const QString& file) const {
  const auto it = devices_.find(file);
  return it == devices_.end() ? nullptr : &it->second->player;
}

bool Mci::mciExecute(const QString& command) {
  const MciCommand cmd = ParseMciCommand(command);
  if (!cmd.error.isEmpty()) return Fail(cmd.error);

  auto it = devices_.find(cmd.file);
  if (cmd.verb == "play") {
    if (it == devices_.end()) {
      if (!QFileInfo(cmd.file).isFile()) return Fail(kFileNotFound);
      if (!hasAudioOutput_()) return Fail(kNoOutput);
      auto device = std::make_unique<Device>();
      if (!device->player.isAvailable()) return Fail(kNoPlayer);
      device->player.setAudioOutput(&device->output);
      device->player.setSource(QUrl::fromLocalFile(cmd.file));
      QObject::connect(&device->player, &QMediaPlayer::errorOccurred,
                       [this](QMediaPlayer::Error, const QString& text) { showError_(text); });
      it = devices_.emplace(cmd.file, std::move(device)).first;
    }
    it->second->player.play();
    return true;
  }
  if (it == devices_.end()) return Fail(kNotOpen);
  if (cmd.verb == "pause") {
    it->second->player.pause();
  } else {
    it->second->player.stop();
  }
  return true;
}

}  // namespace trailmark
