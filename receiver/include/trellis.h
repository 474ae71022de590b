// Transport control ("Trellis.ocx"): entry points bound by name at run time.
#pragma once

#include <cstdint>

extern "C" {
// Non-zero = success for open and close.
using PFN_TrellisOpenChannel = std::int32_t (*)(std::uint32_t* channel, std::uint32_t flags,
                                                std::uint32_t mode);
using PFN_TrellisCloseChannel = std::int32_t (*)(std::uint32_t channel);
using PFN_TrellisGetLastError = std::uint32_t (*)();
}
