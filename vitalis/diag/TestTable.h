// The configuration tests of the health module: their ids, registry subkeys and defaults.
#pragma once

#include "core/Win.h"

// Test ids (also the values the diagnostics application knows them by).
enum : DWORD {
  DIAGTEST_ADAPTER = 1,
  DIAGTEST_DNS = 2,
  DIAGTEST_DRVT = 3,
  DIAGTEST_IRQ = 4,
  DIAGTEST_REGISTRY = 5,
  DIAGTEST_PROXY = 6,
  DIAGTEST_SIGNAL = 7,
  DIAGTEST_TCPIP = 8,
  DIAGTEST_LAST_TEST = 9,
};

// "SOFTWARE\Tessaline\Orbilink\Diagnostics" of HKEY_LOCAL_MACHINE; one subkey per test.
inline constexpr const char kDiagnosticsKey[] = "SOFTWARE\\Tessaline\\Orbilink\\Diagnostics";

struct DiagTestDefaults {
  DWORD id;
  const char* traceName;
  const char* subKey;
  const char* testName;
  BOOL startUp;
  BOOL proceedOnError;
  BOOL includeInINIFile;
};

// The row of a test id, or null for an id outside 1 to 8.
const DiagTestDefaults* FindTestDefaults(DWORD id);
