// Repairs asked for by the diagnostics application, each reported to the current report as a
// "DiagCorrections" message through the usability mailslot, and the start-preference repair
// of the address check.
#include <orbids.h>
#include <strings.h>
#include <winport/clock.h>
#include <winport/registry.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/Registry.h"
#include "core/TraceLog.h"
#include "core/UsabilitySlotClient.h"
#include "diag/Diagnostics.h"
#include "diag/OrbStartParam.h"
#include "driver/VESDDInterface.h"

namespace {

constexpr DWORD kProxyUnexpected = 10000;
constexpr DWORD kProxyNoProfile = 606;
constexpr DWORD kProxyNoDefaultBrowser = 607;

void SendCorrection(CUsabilitySlotClient* slot, const char* key, BOOL ok) {
  DWORD error = slot->SendGeneric("DiagCorrections", key, ok ? "Successful" : "Error");
  if (error != 0)
    LogErrorF("CDiagnostics - DiagCorrections %s not sent, err %d", key, static_cast<int>(error));
}

// Each action sends its own message, so that it reports the same whether it runs within
// TakeCorrectiveAction or on its own.
void ReportCorrection(const char* key, BOOL ok) {
  CUsabilitySlotClient slot;
  SendCorrection(&slot, key, ok);
  slot.Close();
}

// Deletes a key with everything below it, as the device registry's entries have instances.
LONG DeleteKeyTree(HKEY parent, const char* name) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  char child[260];
  for (;;) {
    DWORD size = sizeof child;
    if (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    rc = DeleteKeyTree(key, child);
    if (rc != ERROR_SUCCESS) {
      RegCloseKey(key);
      return rc;
    }
  }
  RegCloseKey(key);
  return RegDeleteKeyA(parent, name);
}

bool IsWorkingAdapter(DWORD code) {
  return code == ADAPTER_PCI || code == ADAPTER_USB || code == ADAPTER_PCIDVB ||
         code == ADAPTER_USBDVB;
}

}  // namespace

BOOL CDiagnostics::RemoveDeviceEntries(const char* enumKey, const char* pattern) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, enumKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    LogErrorF("CorrectAdptr_USB_PCI(), unable to open %s subkey, leaving", enumKey);
    return FALSE;
  }
  DWORD count = 0;
  if (!RegSubKeyCount(key, &count)) {
    LogErrorF("CorrectAdptr_USB_PCI(), unable to count the subkeys of %s, leaving", enumKey);
    RegCloseKey(key);
    return FALSE;
  }
  BOOL result = TRUE;
  for (DWORD i = 0; i < count; ++i) {
    char name[260];
    DWORD size = sizeof name;
    LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) continue;  // a name too long to be a device's, or gone meanwhile
    if (std::strstr(name, pattern) == nullptr) continue;
    rc = DeleteKeyTree(key, name);
    if (rc != ERROR_SUCCESS) {
      LogErrorF("MultipleRegKey_Check: Error on deleting the subkey %s, err code is %d", name,
                static_cast<int>(rc));
      result = FALSE;
      break;
    }
    LogInfoF("MultipleRegKey_Check: subkey %s is deleted", name);
    // The entries after it moved down by one.
    --i;
    --count;
  }
  RegCloseKey(key);
  return result;
}

BOOL CDiagnostics::AdapterCheckCorrectiveAction(DWORD code) {
  try {
    switch (code) {
      case ADAPTER_PCI_PARTIAL:
        return RemoveDeviceEntries("Enum\\PCI", ORB_PCI_DEVICE_PATTERN);
      case ADAPTER_USB_PARTIAL:
        return RemoveDeviceEntries("Enum\\USB", ORB_USB_DEVICE_PATTERN);
      case ADAPTER_USB_PCI:
      case ADAPTER_MULTI_USB_ALL_ENABLE:
      case ADAPTER_MULTI_USB_ALL_DISABLE:
      case ADAPTER_MULTI_USB_ATLEAST_ONE_ENABLE:
      case ADAPTER_MULTI_PCI_ALL_ENABLE:
      case ADAPTER_MULTI_PCI_ALL_DISABLE:
      case ADAPTER_MULTI_PCI_ATLEAST_ONE_ENABLE: {
        // CorrectAdptr_USB_PCI: both walks, whatever the first gives.
        BOOL pci = RemoveDeviceEntries("Enum\\PCI", ORB_PCI_DEVICE_PATTERN);
        BOOL usb = RemoveDeviceEntries("Enum\\USB", ORB_USB_DEVICE_PATTERN);
        return pci && usb;
      }
      default:
        return FALSE;
    }
  } catch (...) {
    LogErrorF("AdapterCheckCorrectiveAction -> exception error occured");
    return FALSE;
  }
}

BOOL CDiagnostics::AdapterCorrAction() {
  const DWORD code = CheckAdaptor(nullptr);
  BOOL ok = code == 0 || IsWorkingAdapter(code) || AdapterCheckCorrectiveAction(code);
  if (ok) SetTestStatus(DIAGTEST_ADAPTER, 0);
  ReportCorrection("AdapterCorrAction", ok);
  return ok;
}

BOOL CDiagnostics::MultipleRegCorrAction() {
  BOOL ok = RemoveDeviceEntries("Enum\\PCI", ORB_PCI_DEVICE_PATTERN);
  if (ok) SetTestStatus(DIAGTEST_REGISTRY, 0);
  ReportCorrection("MultipleRegCorrAction", ok);
  return ok;
}

BOOL CDiagnostics::TCPIPCorrAction(BOOL* reboot) {
  BOOL ok = FALSE;
  if (m_pVesdd != nullptr) {
    LogInfoF("TCPIP_Corrective_Action( CVESDDInterface* pVesdd )");
    m_pVesdd->ICSSetRange();
    ok = TRUE;
  } else {
    LogInfoF("TCPIP_Corrective_Action - the VESDD pointer passed is NULL");
  }
  if (ok) {
    *reboot = TRUE;
    SetTestStatus(DIAGTEST_TCPIP, 0);
  }
  ReportCorrection("TCPIPCorrAction", ok);
  return ok;
}

BOOL CDiagnostics::CorrActionForPST(DWORD proxyResult, BOOL* reboot) {
  LogInfoF("CorrActionForPST- > PXYResult : %d", static_cast<int>(proxyResult));
  if (proxyResult != kProxyNoProfile && proxyResult != kProxyNoDefaultBrowser) {
    *reboot = TRUE;
    return LaunchAppForPST(2, nullptr);
  }
  if (*reboot) {
    COrbStartParam startParam;
    if (startParam.CreateKey()) {
      LogInfoF("CorrActionForPST- > Key SHOWPROPS under OrbStart is created successfully");
      return TRUE;
    }
    LogInfoF("CorrActionForPST- > Error in creating the key SHOWPROPS under OrbStart");
    return FALSE;
  }
  return LaunchAppForPST(1, nullptr);
}

BOOL CDiagnostics::ProxyServerCorrAction(DWORD proxyResult, BOOL* reboot) {
  BOOL ok = CorrActionForPST(proxyResult, reboot);
  if (ok) {
    LogInfoF("TakeCorrectiveAction - > setting TestStatus back to passed state");
    SetTestStatus(DIAGTEST_PROXY, 0);
  }
  ReportCorrection("ProxyServerCorrAction", ok);
  return ok;
}

BOOL CDiagnostics::TakeCorrectiveAction(const DWORD* ids, BOOL* reboot) {
  BOOL ignored = FALSE;
  if (reboot == nullptr) reboot = &ignored;
  CUsabilitySlotClient slot;
  if (DWORD error = slot.Open(); error != 0)
    LogErrorF("CDiagnostics::TakeCorrectiveAction - mailslot not opened, err %d",
              static_cast<int>(error));
  *reboot = FALSE;
  slot.SendGeneric("DiagCorrections", "time", TimeText(winport::Now()).c_str());

  BOOL result = TRUE;
  DWORD proxyResult = 0;
  bool more = ids != nullptr;
  for (std::size_t i = 0; more && ids[i] != 0; ++i) {
    switch (ids[i]) {
      case DIAGTEST_ADAPTER:
        result = AdapterCorrAction();
        *reboot = TRUE;
        break;
      case DIAGTEST_REGISTRY:
        result = MultipleRegCorrAction();
        *reboot = TRUE;
        break;
      case DIAGTEST_PROXY: {
        BOOL running = FALSE;
        proxyResult = ProxyServerTest(&running);
        LogInfoF("CDiagnostics::TakeCorrectiveAction- proxy server check ret = %d",
                 static_cast<int>(proxyResult));
        break;
      }
      case DIAGTEST_TCPIP:
        result = TCPIPCorrAction(reboot);
        break;
      default:
        // The other tests have no repair; the rest of the list is left alone.
        more = false;
        break;
    }
  }
  if (proxyResult != 0 && proxyResult != kProxyUnexpected)
    result = ProxyServerCorrAction(proxyResult, reboot);
  slot.Close();
  return result;
}

void CDiagnostics::SetStartPreferences() {
  HKEY orbStart = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink\\ORBStart", 0,
                    KEY_READ | KEY_ENUMERATE_SUB_KEYS, &orbStart) != ERROR_SUCCESS) {
    LogErrorF("Could not open the key orbstart");
    return;
  }
  DWORD count = 0;
  if (!RegSubKeyCount(orbStart, &count)) {
    LogErrorF("Reg query info failed");
    RegCloseKey(orbStart);
    return;
  }
  for (DWORD i = 0; i < count; ++i) {
    char name[101];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(orbStart, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      LogErrorF(" Error enumerating subkeys");
      continue;
    }
    if (strcasecmp(name, "ORBWelcome") != 0 && strcasecmp(name, "AUTOLAUNCH") != 0 &&
        strcasecmp(name, "ORBNav") != 0) {
      LogInfoF("the Key could not be recognized");
      continue;
    }
    HKEY sub = nullptr;
    LONG rc = RegOpenKeyExA(orbStart, name, 0, KEY_WRITE, &sub);
    if (rc == ERROR_SUCCESS) {
      rc = RegSetValueExA(sub, "StartPref", 0, REG_SZ, reinterpret_cast<const BYTE*>("0"), 2);
      RegCloseKey(sub);
    }
    if (rc == ERROR_SUCCESS)
      LogInfoF("Value set correctly in the registry");
    else
      LogErrorF("Could not set the value for %s", name);
  }
  RegCloseKey(orbStart);
}
