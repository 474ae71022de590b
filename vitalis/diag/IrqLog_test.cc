// The IRQ checker's log as the IRQ test reads it: device blocks, the adapter's IRQ, and logs
// of any shape (long lines, no parentheses, binary bytes) read without overrun.
#include "diag/IrqLog.h"

#include <gtest/gtest.h>
#include <orbids.h>

#include <cstdio>
#include <string>

namespace {

IrqLogScan Scan(const std::string& text) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  IrqLogScan scan;
  ScanIrqLog(file, ORB_PCI_VENDOR_ID, &scan);
  std::fclose(file);
  return scan;
}

const std::string kAdapter = "Vendor ID " ORB_PCI_VENDOR_ID "\r\nDevice ID 0002\r\nIRQ (11)\r\n";

TEST(IrqLog, DevicesSharingTheAdaptersIrqWhereverTheyStand) {
  IrqLogScan scan =
      Scan("report\r\n\r\nVendor ID 1234\r\n\r\nDevice ID 5678\r\nIRQ Line (11)\r\n" + kAdapter +
           "Vendor ID 4321\r\nDevice ID 8765\r\nIRQ (5)\r\n"
           "\tVendor ID 1111\tx\nDevice 2222\nIRQ (11) and (5)\n");
  ASSERT_TRUE(scan.adapterIrqFound);
  EXPECT_EQ(scan.adapterIrq, "11");
  ASSERT_EQ(scan.conflicts.size(),
            1u);  // a first token that does not hold "Vendor ID" opens nothing
  EXPECT_EQ(scan.conflicts[0].vendorId, "1234");
  EXPECT_EQ(scan.conflicts[0].deviceId, "5678");

  scan = Scan(kAdapter + "Vendor ID 1111\nDevice ID 2222\nIRQ (11) and (5)\n");
  ASSERT_EQ(scan.conflicts.size(), 1u);
  EXPECT_EQ(scan.conflicts[0].vendorId, "1111");

  // Another device of the adapter's vendor is neither the adapter nor counted.
  scan = Scan("Vendor ID " ORB_PCI_VENDOR_ID "\nDevice ID 0003\nIRQ (11)\n");
  EXPECT_FALSE(scan.adapterIrqFound);
}

TEST(IrqLog, LogsOfAnyShapeAreReadWithinTheirLines) {
  // No parentheses around the adapter's IRQ: not found, and nobody is in conflict.
  IrqLogScan scan = Scan("Vendor ID " ORB_PCI_VENDOR_ID
                         "\nDevice ID 0002\nIRQ 11\n"
                         "Vendor ID 1234\nDevice ID 5678\nIRQ (11)\n");
  EXPECT_FALSE(scan.adapterIrqFound);
  EXPECT_TRUE(scan.conflicts.empty());

  // A line longer than 100 characters is cut: the IRQ beyond the cut is not seen, and the rest
  // of the line does not become a line of its own.
  const std::string pad(120, 'x');
  scan = Scan(kAdapter + "Vendor ID 1234\nDevice ID 5678" + pad + "\nIRQ (11)\n");
  ASSERT_EQ(scan.conflicts.size(), 1u);
  EXPECT_EQ(scan.conflicts[0].deviceId, "5678" + std::string(86, 'x'));
  scan = Scan(kAdapter + "Vendor ID 1234\nDevice ID 5678\n" + pad + "(11)\n");
  EXPECT_TRUE(scan.conflicts.empty());
  scan = Scan(kAdapter + "Vendor ID 1234 " + pad + "\nDevice ID 5678\nIRQ (11)\n");
  ASSERT_EQ(scan.conflicts.size(), 1u);
  EXPECT_EQ(scan.conflicts[0].vendorId.size(), 100u - 10u);

  // Blocks cut short, binary bytes, a huge line and an empty log end the scan quietly.
  std::string binary(5000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);
  for (const std::string& text :
       {std::string(), std::string("Vendor ID"), kAdapter + "Vendor ID 1234\nDevice ID 5678",
        binary, std::string(1 << 20, '('), "Vendor ID " + std::string(1 << 16, '7')}) {
    scan = Scan(text);
    EXPECT_TRUE(scan.conflicts.empty());
  }
  scan = Scan(kAdapter + "Vendor ID 1234\nDevice ID 5678");
  EXPECT_TRUE(scan.adapterIrqFound);
}

}  // namespace
