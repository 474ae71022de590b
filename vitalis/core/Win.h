// The module is written against the Win32 API, which winport provides in its own namespace.
// Including this header makes those names available unqualified, as windows.h would.
#pragma once

#include <winport/types.h>

using namespace winport;  // NOLINT(google-global-names-in-headers)
