// The adapter and driver checks: which adapters the diagnostics library reports, the start-up
// configuration tests for PCI and USB adapters, the adapter's heartbeat, the NT network driver
// and duplicate device entries.
#include <orbdiapi.h>
#include <orbids.h>
#include <strings.h>
#include <vesdd32.h>
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/registry.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/TraceLog.h"
#include "diag/DiagLock.h"
#include "diag/Diagnostics.h"
#include "driver/TrellisConfig.h"
#include "driver/UsbInterface.h"
#include "driver/VESDDInterface.h"

namespace {

constexpr DWORD kPlatformNT4 = 3;
constexpr DWORD kPlatformWin2000 = 4;
constexpr std::uint32_t kMaxAdapters = 65536;

bool IsWorking(DWORD code) {
  return code == ADAPTER_PCI || code == ADAPTER_USB || code == ADAPTER_PCIDVB ||
         code == ADAPTER_USBDVB;
}

bool IsDisabled(DWORD code) {
  return code == ADAPTER_PCI_DISABLE || code == ADAPTER_USB_DISABLE ||
         code == ADAPTER_USB_USBNDIS_DISABLE || code == ADAPTER_USBNDIS_DISABLE;
}

bool IsAdapterCode(DWORD code) {
  return code >= ADAPTER_NONE && code <= ADAPTER_USBNDIS_DISABLE;
}

// The code of several adapters, by how many of each bus type and state there are.
DWORD SeveralAdapters(DWORD pci, DWORD isa, DWORD usb, DWORD enabled, DWORD disabled) {
  if (pci != 0 && usb != 0 && isa != 0) return ADAPTER_ISA_PCI_USB;
  if (pci != 0) {
    if (usb != 0) return ADAPTER_USB_PCI;
    if (isa != 0) return ADAPTER_ISA_PCI;
    if (enabled == pci) return ADAPTER_MULTI_PCI_ALL_ENABLE;
    if (disabled == pci) return ADAPTER_MULTI_PCI_ALL_DISABLE;
    return ADAPTER_MULTI_PCI_ATLEAST_ONE_ENABLE;
  }
  if (isa != 0) return usb != 0 ? ADAPTER_ISA_USB : ADAPTER_NONE;
  if (usb != 0) {
    if (enabled == usb) return ADAPTER_MULTI_USB_ALL_ENABLE;
    if (disabled == usb) return ADAPTER_MULTI_USB_ALL_DISABLE;
    return ADAPTER_MULTI_USB_ATLEAST_ONE_ENABLE;
  }
  return ADAPTER_NONE;  // only adapters of unknown bus types
}

DWORD OneAdapter(const ORBDI_ADAPTER& adapter) {
  std::uint32_t adapterClass = 0;
  if (ORBDI_GetAdapterClass(adapter.busType, &adapterClass) != ORBDIERR_SUCCESS) adapterClass = 0;
  const std::uint32_t state = adapter.state;
  switch (adapter.busType) {
    case ORBDI_BUS_ISA:
      return ADAPTER_ISA;
    case ORBDI_BUS_PCI:
      if (state & ORBDI_STATE_DISABLED) return ADAPTER_PCI_DISABLE;
      if (state & ORBDI_STATE_PARTIAL) return ADAPTER_PCI_PARTIAL;
      return adapterClass == 2 ? ADAPTER_PCIDVB : ADAPTER_PCI;
    case ORBDI_BUS_USB:
      if ((state & ORBDI_STATE_DISABLED) && (state & ORBDI_STATE_USBNET_DISABLED))
        return ADAPTER_USB_USBNDIS_DISABLE;
      if (state & ORBDI_STATE_DISABLED) return ADAPTER_USB_DISABLE;
      if (state & ORBDI_STATE_USBNET_DISABLED) return ADAPTER_USBNDIS_DISABLE;
      if (state & ORBDI_STATE_PARTIAL) return ADAPTER_USB_PARTIAL;
      return adapterClass == 2 ? ADAPTER_USBDVB : ADAPTER_USB;
    default:
      return adapterClass;
  }
}

}  // namespace

const char* AdapterCodeText(DWORD code) {
  static const char* const kTexts[] = {
      "NO ADAPTER INSTALLED",
      "PCI",
      "USB",
      "PCI_PARTIALLY_INSTALLED",
      "USB_PARTIALLY_INSTALLED",
      "USB_PCI",
      "ISA_USB",
      "ISA_PCI",
      "ISA_PCI_USB",
      "",
      "",
      "",
      "",
      "",
      "",
      "ISA",
      "PCIDVB",
      "USBDVB",
      "PCI_DISABLE",
      "USB_DISABLE",
      "ISA_DISABLE",
      "MULTI_USB_ALL_ENABLE",
      "MULTI_USB_ALL_DISABLE",
      "MULTI_USB_ATLEAST_ONE_ENABLE",
      "MULTI_PCI_ALL_ENABLE",
      "MULTI_PCI_ALL_DISABLE",
      "MULTI_PCI_ATLEAST_ONE_ENABLE",
      "USB_USBNDIS_DISABLE",
      "USBNDIS_DISABLE",
  };
  static_assert(sizeof kTexts / sizeof kTexts[0] == 29);
  return IsAdapterCode(code) ? kTexts[code - ADAPTER_NONE] : "";
}

DWORD CDiagnostics::CheckAdaptor(char* text) {
  DWORD code = ADAPTER_NONE;
  try {
    std::uint32_t count = 0;
    std::uint32_t rc = ORBDI_EnumAdapters(nullptr, &count);
    if (rc == ORBDIERR_NOENTRIES) {
      LogInfoF("CheckAdapter, EnumAdapter : ORBDIERR_NOENTRIES");
    } else if (rc == ORBDIERR_SUCCESS && count > kMaxAdapters) {
      // No machine holds that many adapters: a count the library got wrong is not allocated.
      LogErrorF("CheckAdapter, EnumAdapter : implausible adapter count %u",
                static_cast<unsigned>(count));
    } else if (rc == ORBDIERR_SUCCESS && count != 0) {
      std::vector<ORBDI_ADAPTER> list(count, ORBDI_ADAPTER{});
      std::uint32_t filled = count;
      rc = ORBDI_EnumAdapters(list.data(), &filled);
      if (rc == ORBDIERR_SUCCESS) {
        if (filled > count) filled = count;  // never trust a count beyond the list
        DWORD pci = 0, isa = 0, usb = 0, enabled = 0, disabled = 0;
        for (std::uint32_t i = 0; i < filled; ++i) {
          const ORBDI_ADAPTER& a = list[i];
          if (a.busType == ORBDI_BUS_ISA) ++isa;
          if (a.busType == ORBDI_BUS_PCI) ++pci;
          if (a.busType == ORBDI_BUS_USB) ++usb;
          if (a.state & ORBDI_STATE_ENABLED) ++enabled;
          if (a.state & (ORBDI_STATE_DISABLED | ORBDI_STATE_USBNET_DISABLED)) ++disabled;
        }
        LogInfoF("CheckAdapter, adapters %u: PCI %lu, ISA %lu, USB %lu, enabled %lu, disabled %lu",
                 static_cast<unsigned>(filled), static_cast<unsigned long>(pci),
                 static_cast<unsigned long>(isa), static_cast<unsigned long>(usb),
                 static_cast<unsigned long>(enabled), static_cast<unsigned long>(disabled));
        if (filled > 1)
          code = SeveralAdapters(pci, isa, usb, enabled, disabled);
        else if (filled == 1)
          code = OneAdapter(list[0]);
      }
    }
  } catch (...) {  // a list too large to hold, among others
    LogErrorF("Check Adapter - > exception error occurred");
    code = ADAPTER_NONE;
  }
  if (text != nullptr) std::snprintf(text, 260, "%s", AdapterCodeText(code));
  return code;
}

DWORD CDiagnostics::AdaptCheck(int mode) {
  {
    CDiagLock hold(&m_csLock);
    if (DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_ADAPTER)) {
      entry->dwLastRun = static_cast<DWORD>(winport::Now());
      entry->bRunNow = TRUE;
    }
  }
  if (mode == 1) {
    DiagResultWriting(TRUE);
    SendTimeToINIFile();
  }
  char text[260] = {};
  DWORD code = CheckAdaptor(text);
  LogInfoF("CDiagnostics::AdaptCheck, Installed adapter : %s", text);
  WriteResult(DIAGTEST_ADAPTER, "Installed Adapter", "Installed Adapter", text);
  const DWORD status = IsWorking(code) ? 0 : code;
  SetTestStatus(DIAGTEST_ADAPTER, status);
  CDiagLock hold(&m_csLock);
  if (DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_ADAPTER)) {
    entry->dwTestStatus = status;
    entry->bRunNow = FALSE;
  }
  return code;
}

DWORD CDiagnostics::ValidateAdapterTest(int mode) {
  DWORD code = AdaptCheck(mode);
  if (IsWorking(code)) {
    LogInfoF("CDiagnostics::ValidateAdapterTest - > Adapter Found is correct");
    m_bAdapterFound = TRUE;
    m_bAdapterDisable = FALSE;
  } else if (IsAdapterCode(code)) {
    if (IsDisabled(code)) {
      m_bAdapterDisable = TRUE;
      LogInfoF(
          "CDiagnostics::ValidateAdapterTest - > Adapter Found is DISABLE m_bAdapterDisable = %d",
          static_cast<int>(m_bAdapterDisable.load()));
    }
    LogInfoF("CDiagnostics::ValidateAdapterTest : Failed");
    m_bAdapterFound = FALSE;
  } else {
    LogInfoF("CDiagnostics::ValidateAdapterTest: unknown adapter dwType");
  }
  bool marked = m_bAdapterFound && MarkStartupTestsDue();
  if (!marked) DiagResultWriting(FALSE);
  return code;
}

DWORD CDiagnostics::PerformConfigurationTests() {
  DWORD code = ValidateAdapterTest(1);
  DWORD result = 0;
  if (code == ADAPTER_PCI || code == ADAPTER_PCIDVB) {
    result = CheckPCIConfig();
  } else if (code == ADAPTER_USB || code == ADAPTER_USBDVB) {
    result = CheckUSBConfig();
  } else if (IsAdapterCode(code)) {
    LogInfoF("CDiagnostics::PerformConfigurationTests: Failed");
    result = 2;
  } else {
    LogInfoF("CDiagnostics::PerformConfigurationTests: unknown adapter dwType");
  }
  if (result != 0 && result != 4) LaunchDiagApp(TRUE);
  return result;
}

DWORD CDiagnostics::CheckAdapterState() {
  DWORD code = ValidateAdapterTest(2);
  if (IsWorking(code)) return 0;
  if (code == ADAPTER_NONE || (code >= ADAPTER_PCI_PARTIAL && code <= ADAPTER_ISA_PCI_USB) ||
      code == ADAPTER_ISA || code == ADAPTER_PCI_DISABLE || code == ADAPTER_USB_DISABLE ||
      (code >= ADAPTER_MULTI_USB_ALL_ENABLE && code <= ADAPTER_USBNDIS_DISABLE)) {
    LogInfoF("CDiagnostics::CheckAdapterState: Failed");
    LaunchDiagApp(TRUE);
    return 2;
  }
  LogInfoF("CDiagnostics::CheckAdapterState: unknown adapter dwType");
  return 0;
}

DWORD CDiagnostics::CheckPCIConfig() {
  DWORD result = 0;
  const bool win9x = m_dwPlatformType != kPlatformNT4 && m_dwPlatformType != kPlatformWin2000;
  if (m_dwPlatformType == kPlatformWin2000) {
    if (m_dwAdapterType == 2) {
      LogInfoF("CDiagnostics::CheckPCIConfig - Win2000 PCI check successful");
    } else {
      LogInfoF("CDiagnostics::CheckPCIConfig - Win2000 PCI check unsuccessful");
      SetTestStatus(DIAGTEST_ADAPTER, ADAPTER_ERROR_NOT_RESPONDING);
      result = 2;
    }
  } else if (m_dwPlatformType == kPlatformNT4) {
    if (!VESNDISCheck()) {
      SetTestStatus(DIAGTEST_ADAPTER, ADAPTER_ERROR_NOT_RESPONDING);
      result = 2;
    }
  } else if (!MultipleRegKey_Check()) {
    result = 2;
  }

  const bool driverMissing = m_pVesdd == nullptr || !m_pVesdd->m_bLoaded;
  if (result == 0) {
    if (driverMissing) {
      LogInfoF("CDiagnostics::CheckPCIConfig Vesdd Error");
      result = 4;
    } else if (!ValidateTcpIPSettings(0)) {
      result = 6;
    } else if (!IpAddrCheck()) {
      LogInfoF(" Bound IP address error - test status set inIpAddrCheck ");
      result = 6;
    } else {
      LogInfoF("IP Address correct ");
    }
  }
  if (win9x && result == 0) {
    CTrellisConfig trellis;
    if (!trellis.IsTrellisResponding()) {
      result = 2;
      SetTestStatus(DIAGTEST_ADAPTER, ADAPTER_ERROR_TRELLIS);
    }
  }
  if (result == 0) {
    if (driverMissing) {
      result = 4;
    } else if (!ValidateTcpIPSettings(1)) {
      result = 6;
    } else {
      result = CheckHeartBeat();
      if (result == 4) {
        LogErrorF("CDiagnostics::CheckPCIConfig Vesdd Dll Error");
      } else if (result != 0) {
        LogInfoF("CDiagnostics::CheckPCIConfig - Heart of the card is not beating ");
        SetTestStatus(DIAGTEST_ADAPTER, ADAPTER_ERROR_NO_HEARTBEAT);
      }
    }
  }
  return result;
}

DWORD CDiagnostics::CheckUSBConfig() {
  DWORD result = 0;
  if (m_pVesdd == nullptr || !m_pVesdd->m_bLoaded)
    result = 4;
  else if (!ValidateTcpIPSettings(0))
    result = 6;
  else if (!IpAddrCheck())
    result = 6;

  if (m_dwPlatformType != kPlatformNT4 && result == 0) {
    std::unique_ptr<CUsbInterface> usb(new (std::nothrow) CUsbInterface());
    if (usb == nullptr || !usb->IsUsbResponding()) {
      result = 2;
      SetTestStatus(DIAGTEST_ADAPTER, ADAPTER_ERROR_USB);
    }
    if (result == 0) result = ValidateTcpIPSettings(1) ? CheckHeartBeat() : 6;
    return result;
  }
  LogErrorF(" Should Never occur- OS = NT and card = USB");
  return result;
}

DWORD CDiagnostics::CheckHeartBeat() {
  if (m_pVesdd == nullptr || !m_pVesdd->m_bLoaded) {
    LogInfoF(
        "CDiagnostics::CheckHeartBeat - Vesdd is not loaded properly- could not perform check");
    return 4;
  }
  unsigned char mips[MIPS_STATS_SIZE] = {};
  const bool read = m_pVesdd->GetMipsStats(m_dwChannel, mips, sizeof mips);
  const DWORD heartbeat = static_cast<DWORD>(mips[MIPS_HEARTBEAT]) |
                          static_cast<DWORD>(mips[MIPS_HEARTBEAT + 1]) << 8 |
                          static_cast<DWORD>(mips[MIPS_HEARTBEAT + 2]) << 16 |
                          static_cast<DWORD>(mips[MIPS_HEARTBEAT + 3]) << 24;
  if (read && heartbeat != 0) {
    s_dwHeartBeatFailures = 0;
    return 0;
  }
  if (++s_dwHeartBeatFailures < m_dwMaxAdapterError) return 0;
  if (read)
    LogInfoF("CDiagnostics::CheckHeartBeat - the heart beat is zero");
  else
    LogInfoF("CDiagnostics::CheckHeartBeat - the MIPS statistics could not be read");
  SetTestStatus(DIAGTEST_ADAPTER, ADAPTER_ERROR_NO_HEARTBEAT);
  s_dwHeartBeatFailures = 0;
  return 2;
}

BOOL CDiagnostics::MultipleRegKey_Check() {
  BOOL passed = TRUE;
  if (m_dwPlatformType != kPlatformNT4 && m_dwPlatformType != kPlatformWin2000) {
    HKEY pci = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI", 0, KEY_READ, &pci) != ERROR_SUCCESS) {
      LogErrorF("CDiagnostics::MultipleRegKey_Check: Error in opening the keys");
      passed = FALSE;
    } else {
      DWORD adapters = 0;
      DWORD described = 0;
      char name[260];
      for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        LONG rc = RegEnumKeyExA(pci, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) continue;  // a name too long to be the adapter's
        if (rc != ERROR_SUCCESS) break;
        if (std::strstr(name, ORB_PCI_DEVICE_PATTERN) == nullptr) continue;
        ++adapters;
        HKEY device = nullptr;
        if (RegOpenKeyExA(pci, name, 0, KEY_READ, &device) != ERROR_SUCCESS) continue;
        char instance[260];
        for (DWORD j = 0;; ++j) {
          DWORD isize = sizeof instance;
          rc = RegEnumKeyExA(device, j, instance, &isize, nullptr, nullptr, nullptr, nullptr);
          if (rc == ERROR_MORE_DATA) continue;
          if (rc != ERROR_SUCCESS) break;
          HKEY inst = nullptr;
          if (RegOpenKeyExA(device, instance, 0, KEY_READ, &inst) != ERROR_SUCCESS) continue;
          for (DWORD k = 0;; ++k) {
            char valueName[260];
            DWORD nameSize = sizeof valueName;
            DWORD type = 0;
            char data[260];
            DWORD dataSize = sizeof data - 1;
            rc = RegEnumValueA(inst, k, valueName, &nameSize, nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &dataSize);
            if (rc == ERROR_MORE_DATA) continue;
            if (rc != ERROR_SUCCESS) break;
            if (strcasecmp(valueName, "devicedesc") != 0 || type != REG_SZ) continue;
            data[dataSize < sizeof data ? dataSize : sizeof data - 1] = '\0';
            if (strcasecmp(data, ORB_PCI_DEVICE_DESC) == 0) {
              ++described;
              break;
            }
          }
          RegCloseKey(inst);
        }
        RegCloseKey(device);
      }
      RegCloseKey(pci);
      LogInfoF("CDiagnostics::MultipleRegKey_Check: %lu adapter entries, %lu described",
               static_cast<unsigned long>(adapters), static_cast<unsigned long>(described));
      passed = adapters < 2 && described < 2;
    }
  }
  const char* text = passed ? "Successful" : "Error";
  WriteResult(DIAGTEST_REGISTRY, "Multiple PCIKey", "Multiple PCI Key", text);
  const DWORD status = passed ? 0 : 500;
  SetTestStatus(DIAGTEST_REGISTRY, status);
  CDiagLock hold(&m_csLock);
  if (DIAG_TEST_ENTRY* entry = Entry(DIAGTEST_REGISTRY)) entry->dwTestStatus = status;
  return passed;
}
