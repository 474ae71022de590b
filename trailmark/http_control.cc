#include "http_control.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QUrl>

namespace trailmark {

void HTTP::SetAction(int action) {
  action_ = action;
  if (action == 1) Fetch();
}

void HTTP::Fetch() {
  const QUrl url(url_, QUrl::StrictMode);
  if (!url.isValid() || (url.scheme() != "http" && url.scheme() != "https")) {
    throw HttpError("Invalid URL: " + url_.toStdString());
  }
  if (localFile_.isEmpty()) throw HttpError("No local file");

  // The body goes to a temporary file beside the target, which replaces the target only when
  // the whole document has arrived.
  QSaveFile out(localFile_);
  if (!out.open(QIODevice::WriteOnly)) {
    throw HttpError("Cannot write " + localFile_.toStdString() + ": " +
                    out.errorString().toStdString());
  }

  QNetworkAccessManager manager;
  QNetworkRequest request(url);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setTransferTimeout(transferTimeoutMs_);
  QNetworkReply* reply = manager.get(request);
  bool writeFailed = false;
  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::readyRead, [&] {
    const QByteArray chunk = reply->readAll();
    if (!writeFailed && out.write(chunk) != chunk.size()) writeFailed = true;
  });
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);

  const QByteArray rest = reply->readAll();
  if (!writeFailed && out.write(rest) != rest.size()) writeFailed = true;
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QNetworkReply::NetworkError error = reply->error();
  const QString errorText = reply->errorString();
  delete reply;

  if (error != QNetworkReply::NoError) {
    out.cancelWriting();
    throw HttpError(errorText.toStdString());
  }
  if (status < 200 || status > 299) {
    out.cancelWriting();
    throw HttpError("HTTP status " + std::to_string(status));
  }
  if (writeFailed || !out.commit()) {
    throw HttpError("Cannot write " + localFile_.toStdString());
  }
}

}  // namespace trailmark
