#include "directory.h"

#include <QByteArray>
#include <QFile>
#include <optional>

namespace trailmark {
namespace {

// Walks the records of one item, fed a byte at a time.
class RecordWalker {
 public:
  // Without wanted, the records are only counted.
  explicit RecordWalker(const std::optional<QString>& wanted)
      : matching_(wanted.has_value()),
        wanted_(wanted.value_or(QString()).toUpper()),
        wantedAscii_(IsAscii(wanted_.toUtf8()) ? wanted_.toUtf8() : QByteArray()),
        keywordCap_(4 * static_cast<qsizetype>(wanted_.size()) + 4) {}

  // Returns true when a record matched; its target is then in target().
  bool Feed(char c) {
    switch (phase_) {
      case kKeyword:
        if (c == '\n') {
          matches_ = matching_ && !tooLong_ && KeywordMatches();
          phase_ = kTarget;
        } else if (keyword_.size() < keywordCap_) {
          keyword_.append(c);
        } else {
          tooLong_ = true;  // longer than any spelling of the wanted text
        }
        return false;
      case kTarget:
        if (c == '\n') {
          if (matches_) return true;
          phase_ = kSkip;
        } else if (matches_) {
          target_.append(c);
        }
        return false;
      case kSkip:
        if (c == '\n') {
          ++records_;
          Reset();
        }
        return false;
    }
    return false;
  }

  // The item ended: false when it ended inside a keyword or target line.
  bool EndItem() {
    const bool whole = phase_ == kSkip || (phase_ == kKeyword && keyword_.isEmpty() && !tooLong_);
    Reset();
    return whole;
  }

  QString target() const { return QString::fromUtf8(target_); }
  qint64 records() const { return records_; }

 private:
  enum Phase { kKeyword, kTarget, kSkip };

  static bool IsAscii(const QByteArray& bytes) {
    for (char c : bytes) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
  }

  bool KeywordMatches() const {
    // Plain ASCII on both sides (the usual case) needs no conversion; anything else is
    // compared by its full upper-case form.
    if (!wantedAscii_.isEmpty() && IsAscii(keyword_)) {
      return keyword_.size() == wantedAscii_.size() &&
             qstrnicmp(keyword_.constData(), wantedAscii_.constData(), keyword_.size()) == 0;
    }
    return QString::fromUtf8(keyword_).toUpper() == wanted_;
  }

  void Reset() {
    phase_ = kKeyword;
    keyword_.clear();
    target_.clear();
    tooLong_ = matches_ = false;
  }

  const bool matching_;
  const QString wanted_;
  const QByteArray wantedAscii_;
  const qsizetype keywordCap_;
  Phase phase_ = kKeyword;
  QByteArray keyword_;
  QByteArray target_;
  bool tooLong_ = false;
  bool matches_ = false;
  qint64 records_ = 0;
};

// Reads the file as the look-up does: looks wanted up, or only counts the records without it.
DirectoryLookup Scan(const QString& path, const std::optional<QString>& text, qint64* records) {
  DirectoryLookup out;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    out.result = DirectoryLookup::kError;
    return out;
  }

  RecordWalker walker(text);
  enum { kItemStart, kUnquoted, kQuoted, kAfterQuote } state = kItemStart;
  bool pendingCr = false;  // a CR in an unquoted item, waiting to see whether LF follows
  auto endItem = [&]() {
    state = kItemStart;
    return walker.EndItem();
  };

  QByteArray buffer(64 * 1024, Qt::Uninitialized);
  for (;;) {
    const qint64 n = file.read(buffer.data(), buffer.size());
    if (n < 0) {
      out.result = DirectoryLookup::kError;
      return out;
    }
    if (n == 0) break;
    const char* data = buffer.constData();
    for (qint64 i = 0; i < n; ++i) {
      const char c = data[i];
      if (pendingCr) {
        pendingCr = false;
        if (c == '\n') {
          if (state == kAfterQuote) {
            state = kItemStart;
          } else if (!endItem()) {
            out.result = DirectoryLookup::kError;
            return out;
          }
          continue;
        }
        if (state != kAfterQuote && walker.Feed('\r')) {
          out.result = DirectoryLookup::kFound;
          out.target = walker.target();
          return out;
        }
      }
      switch (state) {
        case kItemStart:
          if (c == '"') {
            state = kQuoted;
            continue;
          }
          state = kUnquoted;
          [[fallthrough]];
        case kUnquoted:
          if (c == ',') {
            if (!endItem()) {
              out.result = DirectoryLookup::kError;
              return out;
            }
            continue;
          }
          if (c == '\r') {
            pendingCr = true;
            continue;
          }
          break;
        case kQuoted:
          if (c == '"') {
            // The item is complete; what follows up to the delimiter is dropped.
            if (!walker.EndItem()) {
              out.result = DirectoryLookup::kError;
              return out;
            }
            state = kAfterQuote;
            continue;
          }
          break;
        case kAfterQuote:
          if (c == ',') state = kItemStart;
          if (c == '\r') pendingCr = true;
          continue;
      }
      if (walker.Feed(c)) {
        out.result = DirectoryLookup::kFound;
        out.target = walker.target();
        return out;
      }
    }
  }
  if (pendingCr && state != kAfterQuote && walker.Feed('\r')) {
    out.result = DirectoryLookup::kFound;
    out.target = walker.target();
    return out;
  }
  if (state != kAfterQuote && !walker.EndItem()) {
    out.result = DirectoryLookup::kError;
    return out;
  }
  if (records) *records = walker.records();
  return out;
}

}  // namespace

DirectoryLookup LookupDirectory(const QString& path, const QString& text) {
  return Scan(path, text, nullptr);
}

bool IsDirectoryFile(const QString& path) {
  qint64 records = 0;
  return Scan(path, std::nullopt, &records).result == DirectoryLookup::kNotFound && records > 0;
}

}  // namespace trailmark
