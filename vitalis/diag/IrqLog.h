// The IRQ checker's log: device blocks of three lines ("Vendor ID ...", the device id, the IRQ
// in parentheses); which other devices share the adapter's interrupt line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct IrqLogDevice {
  std::string vendorId;
  std::string deviceId;
  std::string irq;
};

struct IrqLogScan {
  bool adapterIrqFound = false;
  std::string adapterIrq;
  // The other devices whose IRQ is the adapter's, in the order of the log.
  std::vector<IrqLogDevice> conflicts;
};

// Longest line taken from the log; the rest of a longer line is dropped.
inline constexpr std::size_t kIrqLogLineMax = 100;

// Scans an open log; `adapterVendorId` is the adapter's PCI vendor id (four hexadecimal digits).
void ScanIrqLog(std::FILE* log, const char* adapterVendorId, IrqLogScan* scan);
