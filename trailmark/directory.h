// The directory file "websites.dir": records of three LF-ended lines (keyword, target, unused),
// read item by item with list-input rules (an item ends at a comma or a CR LF pair; an item in
// double quotes may hold commas), each item walked record by record from its start.
#pragma once

#include <QString>

namespace trailmark {

struct DirectoryLookup {
  enum Result {
    kFound,     // target holds the first matching record's target
    kNotFound,  // the file was read to its end without a match
    kError,     // the file could not be read, or a record was cut short
  };
  Result result = kNotFound;
  QString target;
};

// Looks text up (whole text, without regard to case) in the directory file at path. Memory
// stays bounded by the text and the matching target, whatever the file holds.
DirectoryLookup LookupDirectory(const QString& path, const QString& text);

// True when the file reads as a directory file: the look-up would read it to its end without
// an error, and it holds at least one record.
bool IsDirectoryFile(const QString& path);

}  // namespace trailmark
