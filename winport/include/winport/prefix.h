// The prefix: one emulated machine (registry.db, drive_c/, run/). WINPORT_PREFIX names it,
// else $XDG_DATA_HOME/winport, else ~/.local/share/winport. It is created on first use.
#pragma once

#include <filesystem>
#include <string>

namespace winport {

// The prefix directory, created (with drive_c/ and run/) when missing. Empty when it cannot
// be created; `error`, when given, then says why.
std::filesystem::path PrefixPath(std::string* error = nullptr);

// <prefix>/run: mailslots, message windows, the shared table of named objects.
std::filesystem::path RunPath();

}  // namespace winport
