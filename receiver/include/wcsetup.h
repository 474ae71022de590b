// Webcast setup library ("wcsetup.ocx"): its one entry point, bound by name at run time.
#pragma once

#include <cstdint>

extern "C" {
// 0 = the webcast service was set up.
using PFN_acSetupService = std::int32_t (*)(std::uint32_t flags);
}
