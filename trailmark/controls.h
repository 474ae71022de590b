// The outside controls the forms host, each behind a small interface so that another
// implementation (a recorder in tests) can take its place.
#pragma once

#include <QLabel>
#include <QString>
#include <functional>
#include <memory>

class QMovie;
class QWidget;

namespace trailmark {

// Opener ("ShowURL1"): set the target, then open it as the desktop shell would.
class IShowURL {
 public:
  virtual ~IShowURL() = default;
  virtual void SetTarget(const QString& target) = 0;
  virtual QString Target() const = 0;
  // False when the desktop has nothing that opens the target.
  virtual bool Open() = 0;
};

// HTTP control ("HTTP1"). Action 1 starts fetching URL and returns at once; the local file is
// replaced only once the whole document has arrived and passed the check, and the end is
// reported through the done handler. Action 0 while a fetch runs cancels it, reporting nothing.
class IHTTP {
 public:
  // Given the fetched copy's path and its content type: an empty text accepts the document,
  // anything else refuses it and says why.
  using Check = std::function<QString(const QString& fetched, const QString& contentType)>;
  // Bytes received so far and the total, -1 while unknown.
  using ProgressHandler = std::function<void(qint64 received, qint64 total)>;
  // Empty on success, else what went wrong.
  using DoneHandler = std::function<void(const QString& error)>;

  virtual ~IHTTP() = default;
  virtual void SetURL(const QString& url) = 0;
  virtual QString URL() const = 0;
  virtual void SetLocalFile(const QString& path) = 0;
  virtual QString LocalFile() const = 0;
  virtual void SetCheck(Check check) = 0;
  virtual void SetProgressHandler(ProgressHandler handler) = 0;
  virtual void SetDoneHandler(DoneHandler handler) = 0;
  virtual void SetAction(int action) = 0;
  virtual int Action() const = 0;
  // True from action 1 until the end is reported or the fetch is cancelled.
  virtual bool Busy() const = 0;
};

// Common dialog ("cdbOpen"). Cancelling a dialog leaves the file name as it was.
class ICommonDialog {
 public:
  virtual ~ICommonDialog() = default;
  virtual void SetFileName(const QString& name) = 0;
  virtual QString FileName() const = 0;
  virtual void SetFilter(const QString& filter) = 0;
  virtual QString Filter() const = 0;
  virtual void SetInitDir(const QString& dir) = 0;
  virtual QString InitDir() const = 0;
  // Both return false when the user cancelled.
  virtual bool ShowOpen() = 0;
  virtual bool ShowSave() = 0;
};

// Always-on-top ("SWOnTop1").
class ISWOnTop {
 public:
  virtual ~ISWOnTop() = default;
  // The window the control sits on.
  virtual void SetHost(QWidget* window) = 0;
  virtual void SetOnTop(bool onTop) = 0;
  virtual bool OnTop() const = 0;
};

// Multimedia command strings ("play FILE", "pause FILE", "stop FILE"). Shows its own message
// box on failure; true on success.
class IMci {
 public:
  virtual ~IMci() = default;
  virtual bool mciExecute(const QString& command) = 0;
};

// Desktop services: wallpaper, programs started by command line, message boxes.
class IDesktop {
 public:
  virtual ~IDesktop() = default;
  // Sets the desktop wallpaper for this session; reports nothing.
  virtual void SetDeskWallpaper(const QString& file) = 0;
  // Starts a command line with a normal window; false when it could not be started.
  virtual bool Shell(const QString& commandLine) = 0;
  // A message box with an OK button.
  virtual void MsgBox(const QString& text, const QString& title) = 0;
};

// Animated picture ("Gif89a1"): plays a GIF file in a label.
class Gif89a : public QLabel {
  Q_OBJECT
 public:
  explicit Gif89a(QWidget* parent = nullptr);
  void SetFileName(const QString& path);
  QString FileName() const { return fileName_; }
  QMovie* movie() const { return movie_; }

 private:
  QString fileName_;
  QMovie* movie_ = nullptr;
};

// Everything the main window hosts.
struct Controls {
  std::unique_ptr<IShowURL> ShowURL1;
  std::unique_ptr<IHTTP> HTTP1;
  std::unique_ptr<ICommonDialog> cdbOpen;
  std::unique_ptr<ISWOnTop> SWOnTop1;
  std::unique_ptr<IMci> mci;
  std::unique_ptr<IDesktop> desktop;
  // Ends the program at once.
  std::function<void()> end;
};

// The real controls.
Controls MakeDesktopControls();

}  // namespace trailmark
