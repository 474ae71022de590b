// Internet shortcut files (".url"): written at start-up, followed by the opener.
#pragma once

#include <QString>
#include <optional>

namespace trailmark {

// Creates or replaces fullPath (Windows-style or host path) with the two lines
// "[InternetShortcut]" and "URL=" + targetUrl, each ended by CR LF. True on success; no value
// on any error (the folder must exist; nothing is written then).
std::optional<bool> CreateInternetShortCut(const QString& targetUrl, const QString& fullPath);

// The address in a shortcut file's "URL=" line; nothing when the file cannot be read or holds
// no such line.
std::optional<QString> ReadShortcutUrl(const QString& hostPath);

// The host path of the keyword shortcut for keyword, or nothing when the keyword cannot name a
// file in the keyword folder (it holds a path separator or is "." or "..").
std::optional<QString> KeywordShortcutPath(const QString& keyword);

}  // namespace trailmark
