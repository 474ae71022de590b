// Multimedia command strings over the toolkit's media player: "play FILE", "pause FILE",
// "stop FILE". One player per file, opened by the first play.
#pragma once

#include <QString>
#include <functional>
#include <map>
#include <memory>

#include "controls.h"

class QMediaPlayer;
class QAudioOutput;

namespace trailmark {

struct MciCommand {
  QString verb;   // lower case
  QString file;   // host path, without surrounding quotes
  QString error;  // not empty when the command cannot be carried out
};

// Splits a command string; the error texts are the multimedia interface's own.
MciCommand ParseMciCommand(const QString& command);

class Mci : public IMci {
 public:
  // showError displays a failure (a message box by default); hasAudioOutput tells whether
  // the machine has somewhere to play to (by default, whether the media devices list one).
  explicit Mci(std::function<void(const QString&)> showError = {},
               std::function<bool()> hasAudioOutput = {});
  ~Mci() override;
  bool mciExecute(const QString& command) override;
  // The player opened for a file (a host path) by "play", if any.
  const QMediaPlayer* PlayerFor(const QString& file) const;

 private:
  struct Device;
  bool Fail(const QString& text);

  std::function<void(const QString&)> showError_;
  std::function<bool()> hasAudioOutput_;
  std::map<QString, std::unique_ptr<Device>> devices_;
};

}  // namespace trailmark
