// The USB adapter control "orbusb.ocx". Used by one thread at a time; no lock.
#pragma once

#include <orbusb.h>
#include <winport/types.h>

#include "driver/LoadableModule.h"

class CUsbInterface : public CLoadableModule {
 public:
  CUsbInterface();
  ~CUsbInterface() override;

  winport::BOOL Load() override;
  winport::BOOL Unload();

  winport::BOOL OpenDevice();                   // non-zero = opened
  winport::BOOL CloseDevice();                  // non-zero = closed; the handle is cleared
  winport::BOOL GetAdapterStats(void* buffer);  // 100-byte buffer, non-zero = filled
  winport::DWORD USBGetLastError();             // 999 without the entry point
  // The adapter probe: non-zero when the adapter answered.
  winport::BOOL IsUsbResponding();

  winport::DWORD GetDeviceHandle() const { return m_dwDeviceHandle; }

  winport::BOOL m_bLoaded;

 private:
  winport::DWORD m_dwDeviceHandle;
  PFN_USBOpenDevice m_pfnOpenDevice;
  PFN_USBCloseDevice m_pfnCloseDevice;
  PFN_USBGetAdapterStats m_pfnGetAdapterStats;
  PFN_USBGetLastError m_pfnGetLastError;
};
