#include "http_control.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>
#include <QUrl>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace trailmark {

HTTP::HTTP(int deadlineMs) : deadlineMs_(deadlineMs) {
  deadline_.setSingleShot(true);
  QObject::connect(&deadline_, &QTimer::timeout, &context_, [this] {
    Stop();
    Finish(QString("The download did not end within %1 seconds").arg(deadlineMs_ / 1000.0));
  });
}

HTTP::~HTTP() {
  Stop();
}

void HTTP::SetAction(int action) {
  action_ = action;
  if (action == 1) {
    if (!busy_) Start();
  } else if (action == 0 && busy_) {
    Stop();  // cancelled: nothing to report
  }
}

void HTTP::Start() {
  busy_ = true;
  received_ = 0;
  writeError_.clear();
  auto failSoon = [this](const QString& error) {
    // The end is always reported after SetAction returned, as for a fetch that ran.
    QMetaObject::invokeMethod(
        &context_, [this, error] { Finish(error); }, Qt::QueuedConnection);
  };

  const QUrl url(url_, QUrl::StrictMode);
  if (!url.isValid() || (url.scheme() != "http" && url.scheme() != "https")) {
    failSoon("Invalid URL: " + url_);
    return;
  }
  if (localFile_.isEmpty()) {
    failSoon("No local file");
    return;
  }
  // The document goes into a hidden file beside the target, which it replaces only at the end.
  const QFileInfo target(localFile_);
  part_ = std::make_unique<QTemporaryFile>(
      QDir(target.absolutePath()).filePath("." + target.fileName() + ".XXXXXX"));
  if (!part_->open()) {
    const QString error = "Cannot write in " + target.absolutePath() + ": " + part_->errorString();
    part_.reset();
    failSoon(error);
    return;
  }

  if (!manager_) manager_ = std::make_unique<QNetworkAccessManager>();
  QNetworkRequest request(url);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  reply_ = manager_->get(request);
  QObject::connect(reply_, &QNetworkReply::readyRead, &context_, [this] { OnReadyRead(); });
  QObject::connect(reply_, &QNetworkReply::finished, &context_, [this] { OnFinished(); });
  deadline_.start(deadlineMs_);
}

bool HTTP::OnReadyRead() {
  if (!reply_ || !part_) return false;
  const QByteArray chunk = reply_->readAll();
  if (!writeError_.isEmpty()) return true;
  received_ += chunk.size();
  if (received_ > kMaxDocument) {
    // Nothing more is wanted from it.
    Stop();
    Finish(QString("The document is larger than %1 bytes").arg(kMaxDocument));
    return false;
  }
  if (part_->write(chunk) != chunk.size()) writeError_ = "Cannot write: " + part_->errorString();
  // Reported on every arrival: the toolkit's own progress signal holds back early ones.
  if (onProgress_) {
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    onProgress_(received_, length.isValid() ? length.toLongLong() : -1);
  }
  return true;
}

void HTTP::OnFinished() {
  if (!reply_) return;
  QString error;
  const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (reply_->error() != QNetworkReply::NoError) {
    error = reply_->errorString();
  } else if (status < 200 || status > 299) {
    error = QString("HTTP status %1").arg(status);
  } else {
    if (!OnReadyRead()) return;  // whatever arrived with the end was too much
    error = writeError_.isEmpty() ? Commit() : writeError_;
  }
  Stop();
  Finish(error);
}

QString HTTP::Commit() {
  if (!part_->flush() || ::fsync(part_->handle()) != 0) {
    return "Cannot write: " + part_->errorString();
  }
  if (check_) {
    const QString contentType = reply_->header(QNetworkRequest::ContentTypeHeader).toString();
    const QString refused = check_(part_->fileName(), contentType);
    if (!refused.isEmpty()) return refused;
  }
  // Replacing by rename: a reader sees the old file or the new one, never a part of either.
  const QByteArray from = QFile::encodeName(part_->fileName());
  const QByteArray to = QFile::encodeName(localFile_);
  if (std::rename(from.constData(), to.constData()) != 0) {
    return "Cannot replace " + localFile_ + ": " + QString::fromLocal8Bit(strerror(errno));
  }
  part_->setAutoRemove(false);
  // The temporary file's mode is the owner's only; the directory file is an ordinary one.
  QFile::setPermissions(localFile_,
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
  return {};
}

void HTTP::Stop() {
  deadline_.stop();
  if (reply_) {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    // Cut the reply off from us first, so that nothing it still emits reads from it.
    QObject::disconnect(reply, nullptr, &context_, nullptr);
    if (!reply->isFinished()) reply->abort();
    reply->deleteLater();
  }
  part_.reset();  // removes the partial file unless it became the target
  busy_ = false;
}

void HTTP::Finish(const QString& error) {
  busy_ = false;
  if (onDone_) onDone_(error);
}

}  // namespace trailmark
