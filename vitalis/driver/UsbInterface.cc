#include "driver/UsbInterface.h"

#include "core/TraceLog.h"

using namespace winport;

CUsbInterface::CUsbInterface()
    : CLoadableModule("orbusb.ocx"),
      m_bLoaded(FALSE),
      m_dwDeviceHandle(0),
      m_pfnOpenDevice(nullptr),
      m_pfnCloseDevice(nullptr),
      m_pfnGetAdapterStats(nullptr),
      m_pfnGetLastError(nullptr) {}

CUsbInterface::~CUsbInterface() {
  if (m_bLoaded && !Unload()) LogError(" ~CUsbInterface  - UnLoading unsuccessful", 0);
}

BOOL CUsbInterface::Load() {
  BOOL loaded = LoadLibraryFile();
  if (!loaded) {
    m_bLoaded = FALSE;
    return FALSE;
  }
  m_pfnOpenDevice = reinterpret_cast<PFN_USBOpenDevice>(GetEntryPoint("USBOpenDevice"));
  m_pfnCloseDevice = reinterpret_cast<PFN_USBCloseDevice>(GetEntryPoint("USBCloseDevice"));
  m_pfnGetAdapterStats =
      reinterpret_cast<PFN_USBGetAdapterStats>(GetEntryPoint("USBGetAdapterStats"));
  m_pfnGetLastError = reinterpret_cast<PFN_USBGetLastError>(GetEntryPoint("USBGetLastError"));
  m_bEntryPointsBound = m_pfnOpenDevice != nullptr && m_pfnCloseDevice != nullptr &&
                        m_pfnGetAdapterStats != nullptr && m_pfnGetLastError != nullptr;
  if (!m_bEntryPointsBound) {
    LogError("orbusb loaded but fn's could not be initialized", 0);
    Unload();
    return FALSE;
  }
  m_bLoaded = TRUE;
  return TRUE;
}

BOOL CUsbInterface::Unload() {
  BOOL freed = FreeLibraryFile();
  m_bLoaded = FALSE;
  m_bEntryPointsBound = FALSE;
  m_dwDeviceHandle = 0;
  m_pfnOpenDevice = nullptr;
  m_pfnCloseDevice = nullptr;
  m_pfnGetAdapterStats = nullptr;
  m_pfnGetLastError = nullptr;
  return freed;
}

BOOL CUsbInterface::OpenDevice() {
  if (m_pfnOpenDevice == nullptr) {
    LogError("OpenDevice Function ptr null", 0);
    return FALSE;
  }
  return m_pfnOpenDevice(&m_dwDeviceHandle);
}

BOOL CUsbInterface::CloseDevice() {
  BOOL result = FALSE;
  if (m_pfnCloseDevice == nullptr)
    LogError("Close Device Function ptr null", 0);
  else
    result = m_pfnCloseDevice(m_dwDeviceHandle);
  m_dwDeviceHandle = 0;
  return result;
}

BOOL CUsbInterface::GetAdapterStats(void* buffer) {
  if (m_pfnGetAdapterStats == nullptr || m_dwDeviceHandle == 0) {
    LogError("GetAdapterStats - Function ptr null", 0);
    return FALSE;
  }
  return m_pfnGetAdapterStats(m_dwDeviceHandle, buffer);
}

DWORD CUsbInterface::USBGetLastError() {
  if (m_pfnGetLastError == nullptr) return 999;
  return m_pfnGetLastError();
}

BOOL CUsbInterface::IsUsbResponding() {
  if (!m_bLoaded && !Load()) {
    LogError("IsUsbResponding - ocx could not be loaded successfully", 0);
    return FALSE;
  }
  BOOL result = FALSE;
  bool opened = false;
  try {
    bool go = true;
    if (m_dwDeviceHandle != 0 && !CloseDevice()) {
      LogErrorF("Device Handle could not be closed - errorcondition err code = %ld",
                static_cast<long>(USBGetLastError()));
      go = false;
    }
    if (go) {
      if (!OpenDevice()) {
        LogError("Could not open handle to device", 0);
      } else {
        opened = true;
        unsigned char stats[USB_ADAPTER_STATS_SIZE] = {};
        if (GetAdapterStats(stats)) {
          result = TRUE;
        } else {
          LogError("Error obtaining USB adapter statistics", 0);
        }
      }
    }
    if (opened && !CloseDevice()) {
      LogError("Error closing device handle", 0);
      result = FALSE;
    }
  } catch (...) {
    LogError("Unhandled exception in IsUsbResponding", 0);
  }
  return result;
}
