// Diagnostics interface library (linked).
#pragma once

#include <cstdint>

extern "C" {

enum : std::uint32_t {
  ORBDIERR_SUCCESS = 0,
  ORBDIERR_INVALIDPARAM = 1,
  ORBDIERR_BUFFERTOOSMALL = 2,
  ORBDIERR_NOENTRIES = 3,
  ORBDIERR_FAILURE = 4,
};

// Bus types and state flags of an adapter list entry.
enum : std::uint32_t {
  ORBDI_BUS_ISA = 1,
  ORBDI_BUS_PCI = 2,
  ORBDI_BUS_USB = 3,
};
enum : std::uint32_t {
  ORBDI_STATE_PARTIAL = 0x2,
  ORBDI_STATE_DISABLED = 0x4,
  ORBDI_STATE_ENABLED = 0x8,
  ORBDI_STATE_USBNET_DISABLED = 0x10,
};

struct ORBDI_ADAPTER {
  std::uint32_t busType;
  std::uint32_t state;
};
static_assert(sizeof(ORBDI_ADAPTER) == 8);

// With a null list: the number of adapters into *count. With a list: fills at most *count
// entries (the count is updated to the number filled). ORBDIERR_NOENTRIES when none exists.
std::uint32_t ORBDI_EnumAdapters(ORBDI_ADAPTER* entries, std::uint32_t* count);
// 0 = *adapterClass valid; class 2 = a DVB model.
std::uint32_t ORBDI_GetAdapterClass(std::uint32_t busType, std::uint32_t* adapterClass);
// Installed adapter type: 2 PCI, 3 USB.
std::uint32_t ORBDI_GetAdapterType(std::uint32_t reserved);
// Platform type: 3 Windows NT 4, 4 Windows 2000, others the 9x family.
std::uint32_t ORBDI_GetPlatformType(std::uint32_t reserved);
// Exactly 1 = the local TCP/IP stack passed its UDP test.
std::uint32_t ORBDI_TestTCPStack();
// 0 = the proxy service was started.
std::uint32_t ORBDI_ControlProxyService(std::uint32_t command);

}  // extern "C"
