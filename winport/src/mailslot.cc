// Placeholder until the mailslot service lands: no mailslot exists.
#include "mailslot_internal.h"

#include <cctype>

namespace winport::detail {

bool IsMailslotPath(std::string_view path) {
  constexpr std::string_view kPrefix = "\\\\.\\mailslot\\";
  if (path.size() < kPrefix.size()) return false;
  for (std::size_t i = 0; i < kPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(path[i])) != kPrefix[i]) return false;
  return true;
}

std::shared_ptr<KernelObject> OpenMailslotClient(std::string_view, DWORD* error) {
  if (error) *error = ERROR_FILE_NOT_FOUND;
  return nullptr;
}

}  // namespace winport::detail
