// The HTTP control over the toolkit's network access. A fetch runs alongside the window: it
// reports its progress and its end, and is bounded by an overall deadline.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <memory>

#include "controls.h"

class QNetworkAccessManager;
class QNetworkReply;
class QTemporaryFile;

namespace trailmark {

class HTTP : public IHTTP {
 public:
  // A document larger than this is not taken.
  static constexpr qint64 kMaxDocument = 64 * 1024 * 1024;

  // deadlineMs: a fetch that has not ended this long after it started fails.
  explicit HTTP(int deadlineMs = 60000);
  ~HTTP() override;

  void SetURL(const QString& url) override { url_ = url; }
  QString URL() const override { return url_; }
  void SetLocalFile(const QString& path) override { localFile_ = path; }
  QString LocalFile() const override { return localFile_; }
  void SetCheck(Check check) override { check_ = std::move(check); }
  void SetProgressHandler(ProgressHandler handler) override { onProgress_ = std::move(handler); }
  void SetDoneHandler(DoneHandler handler) override { onDone_ = std::move(handler); }
  void SetAction(int action) override;
  int Action() const override { return action_; }
  bool Busy() const override { return busy_; }

 private:
  void Start();
  // Takes what has arrived; false when that ended the fetch.
  bool OnReadyRead();
  void OnFinished();
  QString Commit();
  // Ends the fetch; the reply is let go of without being read again.
  void Stop();
  void Finish(const QString& error);

  QString url_;
  QString localFile_;
  Check check_;
  ProgressHandler onProgress_;
  DoneHandler onDone_;
  int action_ = 0;
  bool busy_ = false;
  int deadlineMs_;

  QObject context_;  // receives the queued and timed calls; gone with the control
  QTimer deadline_;
  std::unique_ptr<QNetworkAccessManager> manager_;
  QPointer<QNetworkReply> reply_;
  std::unique_ptr<QTemporaryFile> part_;
  qint64 received_ = 0;
  QString writeError_;
};

}  // namespace trailmark
