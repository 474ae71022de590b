// The failed tests as the compact text the control hands to the diagnostics application, and
// that text read back into a list of test ids.
#include <winport/registry.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/TraceLog.h"
#include "diag/DiagLock.h"
#include "diag/Diagnostics.h"

namespace {

constexpr std::size_t kParseTextMax = 1000;

// The C library's atoi, without its undefined behaviour for numbers out of range.
int LeadingNumber(const char* text) {
  errno = 0;
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string Item(DWORD id, long long code) {
  char item[40];
  std::snprintf(item, sizeof item, "%lu,%lld;", static_cast<unsigned long>(id), code);
  return item;
}

}  // namespace

void CDiagnostics::ReadDRVTTestString(char* text, DWORD size) {
  if (text == nullptr || size == 0) return;
  text[0] = '\0';
  std::string path = std::string(kDiagnosticsKey) + "\\DRVT";
  HKEY key = nullptr;
  std::string value;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD type = 0;
    DWORD length = 0;
    if (RegQueryValueExA(key, "TestStr", nullptr, &type, nullptr, &length) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && length > 0) {
      std::vector<char> data(static_cast<std::size_t>(length) + 1, '\0');
      if (RegQueryValueExA(key, "TestStr", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                           &length) == ERROR_SUCCESS)
        value.assign(data.data());  // up to the first terminator, however long
    }
    RegCloseKey(key);
  }
  if (value.empty()) {
    LogInfoF("CDiagnostics::ReadDRVTTestString - TestString not found");
    LogInfoF("No DRVT status available - i.e. nothing to report");
    return;
  }
  std::string items;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t comma = value.find(',', start);
    std::string token =
        value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!token.empty()) items += Item(DIAGTEST_DRVT, LeadingNumber(token.c_str()));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::snprintf(text, size, "%s", items.c_str());
}

void CDiagnostics::GetFailedTestIDInStr(char* text, std::size_t size) {
  if (text == nullptr || size == 0) return;
  std::vector<std::string> items;
  {
    CDiagLock hold(&m_csLock);
    for (DWORD i = 1; i < DIAGTEST_LAST_TEST; ++i) {
      DIAG_TEST_ENTRY& entry = m_Tests[i];
      const DWORD status = entry.dwTestStatus;
      switch (entry.dwId) {
        case DIAGTEST_ADAPTER:
          if (status == ADAPTER_PCI_DISABLE || status == ADAPTER_USB_DISABLE ||
              status == ADAPTER_USB_USBNDIS_DISABLE || status == ADAPTER_USBNDIS_DISABLE)
            m_bAdapterDisable = TRUE;
          if (status != 0 && status != ADAPTER_PCI && status != ADAPTER_USB &&
              status != ADAPTER_PCIDVB && status != ADAPTER_USBDVB)
            items.push_back(Item(entry.dwId, status));
          break;
        case DIAGTEST_DNS:
          if (status != 0) items.push_back(Item(entry.dwId, status));
          // A name resolution failure is reported once.
          SetTestStatus(DIAGTEST_DNS, 0);
          entry.dwTestStatus = 0;
          break;
        case DIAGTEST_DRVT:
          if (status != 0) {
            // The whole token list, however long; whole items are kept below.
            char drvt[4096];
            ReadDRVTTestString(drvt, sizeof drvt);
            for (const char* p = drvt; *p != '\0';) {
              const char* end = std::strchr(p, ';');
              if (end == nullptr) break;
              items.emplace_back(p, end + 1);
              p = end + 1;
            }
          }
          break;
        case DIAGTEST_IRQ:
          break;
        case DIAGTEST_REGISTRY:
          if (status != 0) items.push_back(Item(entry.dwId, 500));
          break;
        case DIAGTEST_PROXY:
        case DIAGTEST_TCPIP:
          if (status != 0) items.push_back(Item(entry.dwId, status));
          break;
        case DIAGTEST_SIGNAL:
          if (status != 0) items.push_back(Item(entry.dwId, 700));
          break;
        default:
          LogErrorF(
              "CDiagnostics::GetFailedTestIDInStr- unknown id - should never happen id = %d, i= "
              "%d",
              static_cast<int>(entry.dwId), static_cast<int>(i));
          break;
      }
    }
  }
  // Whole items only, as many as the caller's buffer holds; the rest is dropped.
  std::size_t used = strnlen(text, size - 1);
  std::size_t dropped = 0;
  for (const std::string& item : items) {
    if (used + item.size() + 1 > size) {
      ++dropped;
      continue;
    }
    std::memcpy(text + used, item.data(), item.size());
    used += item.size();
  }
  text[used] = '\0';
  if (dropped != 0)
    LogErrorF("CDiagnostics::GetFailedTestIDInStr - %lu failed items did not fit and are left out",
              static_cast<unsigned long>(dropped));
}

BOOL CDiagnostics::ParseTest(const char* text, DWORD* ids, DWORD capacity) {
  if (ids == nullptr || capacity == 0) return FALSE;
  ids[0] = 0;
  if (text == nullptr) return FALSE;
  std::string copy(text, strnlen(text, kParseTextMax));
  DWORD count = 0;
  std::size_t start = 0;
  while (start < copy.size()) {
    std::size_t semi = copy.find(';', start);
    std::string item =
        copy.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
    start = semi == std::string::npos ? copy.size() : semi + 1;
    if (item.empty()) continue;
    // GetIDFromString: the decimal id before the first comma.
    std::string idText = item.substr(0, item.find(','));
    char* end = nullptr;
    errno = 0;
    long id = std::strtol(idText.c_str(), &end, 10);
    if (end == idText.c_str() || errno != 0) {
      LogInfoF("GetIDFromString in valid test = %s", item.c_str());
      continue;
    }
    if (id < 1 || id >= static_cast<long>(DIAGTEST_LAST_TEST)) {
      LogInfoF("CDiagnostics::ParseTest....Invalid Test encountered == %s", item.c_str());
      continue;
    }
    if (count + 1 >= capacity) {
      LogErrorF("CDiagnostics::ParseTest - more ids than room for them, the rest is ignored");
      break;
    }
    ids[count++] = static_cast<DWORD>(id);
  }
  ids[count] = 0;
  return count > 0;
}
