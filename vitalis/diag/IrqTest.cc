// The IRQ test (id 4): on Windows 95 and 98, whether another device shares the adapter's
// interrupt line, as the outside IRQ checker finds it.
#include <orbids.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/TraceLog.h"
#include "diag/DiagLock.h"
#include "diag/Diagnostics.h"
#include "diag/IrqLog.h"

namespace {

constexpr DWORD kIrqPassed = 0;
constexpr DWORD kIrqFailed = 400;             // DTS_IRQ_FAILED
constexpr DWORD kIrqComponentNotFound = 401;  // DTS_COMPONENTNOTFOUND

constexpr char kIrqCheckerCommand[] = "RUNDLL32.EXE IRQASSIST.DLL,DOIRQCheck";
constexpr char kDeviceInstallKey[] = "Software\\Tessaline\\Orbilink\\DeviceInstall";

// "ResultCode" as the checker leaves it: a REG_SZ of at most 80 bytes read as a decimal
// number; -1 when it is missing or of another shape.
long ReadResultCode() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDeviceInstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return -1;
  char text[81] = {};
  DWORD type = 0;
  DWORD size = 80;
  LONG rc =
      RegQueryValueExA(key, "ResultCode", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return -1;
  text[size < 80 ? size : 80] = '\0';
  return std::strtol(text, nullptr, 10);
}

// "DeviceDesc" of the "Enum\PCI" entry of a device (the entry itself or one of its instances).
bool DeviceDescription(const IrqLogDevice& device, std::string* name) {
  const std::string pattern = "VEN_" + device.vendorId + "&DEV_" + device.deviceId;
  HKEY pci = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI", 0, KEY_READ, &pci) != ERROR_SUCCESS)
    return false;
  auto readDesc = [name](HKEY key) {
    char text[260] = {};
    DWORD type = 0;
    DWORD size = sizeof text - 1;
    if (RegQueryValueExA(key, "DeviceDesc", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
      return false;
    text[size < sizeof text ? size : sizeof text - 1] = '\0';
    if (text[0] == '\0') return false;
    *name = text;
    return true;
  };
  bool found = false;
  char entryName[260];
  for (DWORD i = 0; !found; ++i) {
    DWORD size = sizeof entryName;
    LONG rc = RegEnumKeyExA(pci, i, entryName, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    if (std::strstr(entryName, pattern.c_str()) == nullptr) continue;
    HKEY entry = nullptr;
    if (RegOpenKeyExA(pci, entryName, 0, KEY_READ, &entry) != ERROR_SUCCESS) continue;
    found = readDesc(entry);
    char instance[260];
    for (DWORD j = 0; !found; ++j) {
      DWORD isize = sizeof instance;
      rc = RegEnumKeyExA(entry, j, instance, &isize, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_MORE_DATA) continue;
      if (rc != ERROR_SUCCESS) break;
      HKEY inst = nullptr;
      if (RegOpenKeyExA(entry, instance, 0, KEY_READ, &inst) != ERROR_SUCCESS) continue;
      found = readDesc(inst);
      RegCloseKey(inst);
    }
    RegCloseKey(entry);
  }
  RegCloseKey(pci);
  return found;
}

std::string Join(const std::vector<IrqLogDevice>& devices, std::string IrqLogDevice::*field) {
  std::string text;
  for (const IrqLogDevice& d : devices) {
    if (!text.empty()) text += ",";
    text += d.*field;
  }
  return text;
}

}  // namespace

DWORD CDiagnostics::RunIRQCheck(std::string* text, bool* shutdown) {
  *shutdown = false;
  HKEY irqKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kDiagnosticsKey) + "\\IRQTest").c_str(), 0,
                    KEY_ALL_ACCESS, &irqKey) != ERROR_SUCCESS) {
    LogErrorF("CDiagnostics::IRQTest - > Error in opening the key");
    *text = "Unexpected error occurred; Error in opening the key IRQTest key - DTS_IRQ_FAILED";
    return kIrqFailed;
  }
  RegDeleteValueA(irqKey, "ListOfDevice");

  char logPath[600];
  std::snprintf(logPath, sizeof logPath, "%s\\bin\\Orb.Log", m_szInstallDir);
  DeleteFileA(logPath);

  DWORD status = kIrqFailed;
  switch (RunOutsideProgram(nullptr, kIrqCheckerCommand, "IRQ Test")) {
    case ProgramRun::kNotStarted:
      LogErrorF("IRQ - Create process failed Err Code %d", static_cast<int>(GetLastError()));
      status = kIrqComponentNotFound;
      break;
    case ProgramRun::kTimedOut:
      // Counted as a checker that could not be run.
      status = kIrqComponentNotFound;
      break;
    case ProgramRun::kShutdown:
      *shutdown = true;
      break;
    case ProgramRun::kEnded: {
      const long code = ReadResultCode();
      LogInfoF("Result code of the IRQ test is %ld", code);
      if (code == 0) {
        status = kIrqPassed;
      } else if (code != 1) {
        LogErrorF("Fatal Error in irq test");
      }
      break;
    }
  }

  if (!*shutdown && status == kIrqPassed) {
    // The checker may leave its log a little after it ends: look once a second, for no
    // longer than the checker itself may take.
    DWORD waited = 0;
    while (GetFileAttributesA(logPath) == INVALID_FILE_ATTRIBUTES) {
      if (waited >= m_dwOutsideProgramWaitMs) {
        LogErrorF("IRQ Test -> no log from the IRQ checker, no longer waited for");
        status = kIrqFailed;
        break;
      }
      const DWORD slice =
          m_dwOutsideProgramWaitMs - waited < 1000 ? m_dwOutsideProgramWaitMs - waited : 1000;
      if (m_hDiagShutEvent != nullptr &&
          WaitForSingleObject(m_hDiagShutEvent, slice) == WAIT_OBJECT_0) {
        *shutdown = true;
        break;
      }
      waited += slice;
    }
  }

  if (!*shutdown && status == kIrqPassed) {
    std::FILE* log = OpenHostFile(logPath, "rb");
    if (log == nullptr) {
      LogErrorF("IRQ Test -> the log %s could not be opened", logPath);
      status = kIrqFailed;
    } else {
      IrqLogScan scan;
      ScanIrqLog(log, ORB_PCI_VENDOR_ID, &scan);
      std::fclose(log);
      if (!scan.adapterIrqFound) {
        LogInfoF("IRQ Test -> Orbilink IRQ could not be found");
      } else if (!scan.conflicts.empty()) {
        status = kIrqFailed;
        LogInfoF("IRQ Test -> devices %s of vendors %s share IRQ %s",
                 Join(scan.conflicts, &IrqLogDevice::deviceId).c_str(),
                 Join(scan.conflicts, &IrqLogDevice::vendorId).c_str(), scan.adapterIrq.c_str());
        std::string names;
        for (const IrqLogDevice& device : scan.conflicts) {
          std::string name;
          if (!DeviceDescription(device, &name)) continue;
          if (!names.empty()) names += ", ";
          names += name;
        }
        if (names.empty()) {
          *text =
              "Error in getting the device names which are conflicting with Orbilink device in "
              "IRQ";
        } else {
          RegSetValueExA(irqKey, "ListOfDevice", 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(names.c_str()),
                         static_cast<DWORD>(names.size() + 1));
          *text = "Conflict occurred in the devices " + names;
        }
      }
    }
  }
  RegCloseKey(irqKey);

  if (text->empty()) {
    if (status == kIrqPassed)
      *text = "No IRQ Conflict";
    else if (status == kIrqComponentNotFound)
      *text = "component required for IRQ diagnostics not found";
    else
      *text = "Unexpected error occurred- DTS_IRQ_FAILED";
  }
  return status;
}

BOOL CDiagnostics::IRQTest() {
  std::string text;
  DWORD status = kIrqFailed;
  bool shutdown = false;
  try {
    switch (m_dwPlatformType) {
      case 1:  // Windows 95
      case 2:  // Windows 98
        status = RunIRQCheck(&text, &shutdown);
        break;
      case 0:
      case 3:
      case 4:
        LogInfoF(
            "IRQ Test -> Operating system is WinNT, Win2000 or unknown, IRQ test won't be "
            "performed");
        status = kIrqPassed;
        text = "No IRQ Conflict";
        break;
      default:
        LogInfoF("IRQ Test ->Unknown case for platform type ");
        status = kIrqFailed;
        text = "Unexpected error occurred- DTS_IRQ_FAILED";
        break;
    }
  } catch (...) {
    status = kIrqFailed;
    text = "Unexpected error occurred";
  }
  // A shutdown ends the test without a result.
  if (shutdown) return TRUE;
  WriteResult(DIAGTEST_IRQ, "IRQ Test", "IRQ Test", text.c_str());
  SetTestStatus(DIAGTEST_IRQ, status);
  return status == kIrqPassed;
}
