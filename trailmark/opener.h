// How the opener hands a target to the desktop, the way the Windows shell would open it.
#pragma once

#include <QString>
#include <QStringList>

#include "controls.h"

namespace trailmark {

struct OpenAction {
  enum Kind {
    kNothing,      // nothing this desktop can open
    kDefault,      // the desktop's default handler (web address, file or folder)
    kTextEditor,   // "notepad.exe FILE"
    kImageEditor,  // "mspaint [FILE]"
  };
  Kind kind = kNothing;
  QString argument;  // address or host path; may be empty for the editors
};

// Decides what opening target means: web addresses (with a scheme, or a bare host name such as
// "www.example.com") go to the default handler; existing files and folders (Windows-style or
// host paths) too, except internet shortcuts, which open the address in their "URL=" line; the
// Windows editors the program names go to the desktop's editors.
OpenAction ClassifyTarget(const QString& target);

// Starts program with arguments, detached and without a shell. False when it cannot start.
using StartDetachedFn = std::function<bool(const QString& program, const QStringList& arguments)>;

// Carries out an action: xdg-open (or the Qt desktop services) for the default handler, the
// first editor found on the PATH for the editors.
bool LaunchAction(const OpenAction& action, const StartDetachedFn& start);

// The opener control over the desktop.
class ShowURL : public IShowURL {
 public:
  explicit ShowURL(StartDetachedFn start = {});
  void SetTarget(const QString& target) override { target_ = target; }
  QString Target() const override { return target_; }
  bool Open() override;

 private:
  QString target_;
  StartDetachedFn start_;
};

}  // namespace trailmark
