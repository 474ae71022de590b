// The table of configuration tests with their defaults.
#include "diag/TestTable.h"

namespace {

constexpr DiagTestDefaults kTests[] = {
    {DIAGTEST_ADAPTER, "DIAGTEST_ADAPTER", "Adapter_Check", "ADP", 0, 1, 1},
    {DIAGTEST_DNS, "DIAGTEST_DNS", "DNSCheck", "DNS", 0, 0, 1},
    {DIAGTEST_DRVT, "DIAGTEST_DRVT", "DRVT", "DRVT", 0, 0, 0},
    {DIAGTEST_IRQ, "DIAG_IQ", "IRQTest", "IRQ", 1, 1, 1},
    {DIAGTEST_REGISTRY, "DIAGTEST_REGISTRY", "Multiple_RegKey_Test", "PCI", 1, 1, 1},
    {DIAGTEST_PROXY, "DIAGTEST_PROXY", "ProxyServer_Check", "PXY", 0, 0, 1},
    {DIAGTEST_SIGNAL, "DIAGTEST_SIGNAL", "Signal_Strength_Check", "SIG", 0, 0, 0},
    {DIAGTEST_TCPIP, "DIAG_TCP", "TCPIP_Check", "TCP", 0, 0, 1},
};

}  // namespace

const DiagTestDefaults* FindTestDefaults(DWORD id) {
  for (const auto& row : kTests)
    if (row.id == id) return &row;
  return nullptr;
}
