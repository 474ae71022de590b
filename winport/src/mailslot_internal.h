// How CreateFileA reaches the mailslot service for "\\.\mailslot\NAME" paths.
#pragma once

#include <memory>
#include <string_view>

#include "handles.h"

namespace winport::detail {

bool IsMailslotPath(std::string_view path);

// Opens the client end of an existing mailslot; null with *error set when there is none.
std::shared_ptr<KernelObject> OpenMailslotClient(std::string_view path, DWORD* error);

}  // namespace winport::detail
