// The HTTP control over the toolkit's network access: a fetch runs to its end before the
// action returns.
#pragma once

#include "controls.h"

namespace trailmark {

class HTTP : public IHTTP {
 public:
  // transferTimeoutMs: a transfer that makes no progress for this long fails.
  explicit HTTP(int transferTimeoutMs = 60000) : transferTimeoutMs_(transferTimeoutMs) {}

  void SetURL(const QString& url) override { url_ = url; }
  QString URL() const override { return url_; }
  void SetLocalFile(const QString& path) override { localFile_ = path; }
  QString LocalFile() const override { return localFile_; }
  void SetAction(int action) override;
  int Action() const override { return action_; }

 private:
  void Fetch();

  QString url_;
  QString localFile_;
  int action_ = 0;
  int transferTimeoutMs_;
};

}  // namespace trailmark
