// USB adapter control ("orbusb.ocx"): entry points bound by name at run time.
#pragma once

#include <cstdint>

extern "C" {
constexpr std::uint32_t USB_ADAPTER_STATS_SIZE = 100;

// Non-zero = success for the first three.
using PFN_USBOpenDevice = std::int32_t (*)(std::uint32_t* deviceHandle);
using PFN_USBCloseDevice = std::int32_t (*)(std::uint32_t deviceHandle);
using PFN_USBGetAdapterStats = std::int32_t (*)(std::uint32_t deviceHandle, void* buffer);
using PFN_USBGetLastError = std::uint32_t (*)();
}
