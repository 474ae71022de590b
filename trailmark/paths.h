// Where Trailmark keeps its files, and the program's own addresses.
#pragma once

#include <QString>
#include <QStringList>

namespace trailmark {

// The program's own web host and the keyword shortcut written at every start.
inline constexpr char kHomePage[] = "http://www.example.com/";
inline constexpr char kWebDomain[] = "example.com";
inline constexpr char kDirectoryFileUrl[] = "http://www.example.com/trailmark/websites.txt";
inline constexpr char kDirectoryWebPage[] = "http://www.example.com/trailmark/directory.html";
inline constexpr char kBuiltInShortcutUrl[] = "http://www.example.org/";
inline constexpr char kBuiltInShortcutName[] = "example.url";

// Overrides the directory file address (used to point the program at another host).
inline constexpr char kDirectoryUrlVariable[] = "TRAILMARK_DIRECTORY_URL";

inline constexpr char kFavoritesFolder[] = "c:\\windows\\favorites\\";
inline constexpr char kKeywordFolder[] = "c:\\windows\\favorites\\keywords\\";

// The two folders the program works with: the files it ships (help page, about picture, icon
// and the first copies of the user's files), read only, and the user's own files (directory
// file and memory file), which never live beside the executable.
struct Folders {
  QString shared;
  QString user;
};

// The files each user starts with, copied from the shared folder on first use.
QStringList UserFiles();

// The address the directory file is downloaded from.
QString DirectoryFileUrl();

// The host path of a Windows-style path (an absolute host path passes through).
QString HostPathOf(const QString& path);

// The first of candidates that holds the shipped files (it has "help.html"); empty when none.
QString FindSharedFolder(const QStringList& candidates);

// Where the shipped files are looked for, in order: the installation's share folder beside the
// executable (<exeDir>/../share/trailmark, which is also the build tree's layout), the system
// data folders, then the folder this build installs to, then the build tree's.
QStringList SharedFolderCandidates(const QString& exeDir, const QStringList& systemDataDirs);

// <dataHome>/trailmark, created when missing and seeded from shared with the user files that
// are not there yet. Files already there are kept.
QString PrepareUserFolder(const QString& dataHome, const QString& shared);

// Both folders for the running program ($XDG_DATA_HOME, else ~/.local/share, for the user's).
Folders ProgramFolders();

}  // namespace trailmark
