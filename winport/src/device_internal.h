// Device handles for CreateFileA ("\\.\NAME" paths).
#pragma once

#include <memory>
#include <string_view>

#include "handles.h"
#include "winport/types.h"

namespace winport::detail {

// "\\.\NAME" (or "//./NAME") where NAME is not a mailslot path.
bool IsDevicePath(std::string_view path);
// The device's handle object, or null with *error set (ERROR_FILE_NOT_FOUND).
std::shared_ptr<KernelObject> OpenDevice(std::string_view path, DWORD* error);

}  // namespace winport::detail
