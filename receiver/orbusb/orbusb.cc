// Stand-in for the USB adapter control.
#include <orbusb.h>

#include <cstring>

#include "SimState.h"

#define USB_EXPORT extern "C" __attribute__((visibility("default")))

using receiver_sim::SimState;

USB_EXPORT std::int32_t USBOpenDevice(std::uint32_t* deviceHandle) {
  SimState s = SimState::Load();
  if (deviceHandle == nullptr || s.GetInt("usb_present") == 0 || s.Fails("USBOpenDevice")) return 0;
  *deviceHandle = 0x55;
  return 1;
}

USB_EXPORT std::int32_t USBCloseDevice(std::uint32_t deviceHandle) {
  return deviceHandle != 0 && !SimState::Load().Fails("USBCloseDevice");
}

USB_EXPORT std::int32_t USBGetAdapterStats(std::uint32_t deviceHandle, void* buffer) {
  SimState s = SimState::Load();
  if (deviceHandle == 0 || buffer == nullptr || s.GetInt("usb_present") == 0 ||
      s.Fails("USBGetAdapterStats"))
    return 0;
  std::memset(buffer, 0, USB_ADAPTER_STATS_SIZE);
  receiver_sim::PutU32(buffer, 0, s.Counter("frames_processed"));
  return 1;
}

USB_EXPORT std::uint32_t USBGetLastError() {
  return static_cast<std::uint32_t>(SimState::Load().GetInt("usb_error"));
}

// Entry points the simulation says are missing vanish from this library's exports on load.
__attribute__((constructor)) static void HideEntryPointsOnLoad() {
  receiver_sim::HideMissingEntryPoints(reinterpret_cast<const void*>(&HideEntryPointsOnLoad));
}
