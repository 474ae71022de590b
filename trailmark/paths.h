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

// The files the program keeps in its folder.
QStringList ProgramFiles();

// The address the directory file is downloaded from.
QString DirectoryFileUrl();

// The host path of a Windows-style path (an absolute host path passes through).
QString HostPathOf(const QString& path);

// The program folder: the executable's directory when it is writable, else
// <dataHome>/trailmark, seeded with the program files found beside the executable or in the
// installed data folder (<exeDir>/../share/trailmark). Files already there are kept.
QString ResolveProgramFolder(const QString& exeDir, bool exeDirWritable, const QString& dataHome);

// The same for the running program ($XDG_DATA_HOME, else ~/.local/share).
QString ProgramFolder();

}  // namespace trailmark
