#include "winport/device.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing.h"
#include "winport/error.h"
#include "winport/file.h"
#include "winport/handle.h"

namespace winport {
namespace {

void WriteDevice(const std::string& name, const std::string& text) {
  auto dir = winport::testing::Prefix() / "devices";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name) << text;
}

// The device list, the target of one name, and the buffer rules of the query.
TEST(Device, QueryDosDeviceListsDrivesAndDevices) {
  std::filesystem::create_directories(winport::testing::Prefix() / "drive_c");
  WriteDevice("VESNDIS0", "target=\\Device\\VESNDIS0\n");
  WriteDevice("COM1", "");
  char buffer[256];
  DWORD n = QueryDosDeviceA(nullptr, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), std::string("C:\0COM1\0VESNDIS0\0\0", 18));
  EXPECT_EQ(QueryDosDeviceA(nullptr, buffer, 17), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  n = QueryDosDeviceA("vesndis0", buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), std::string("\\Device\\VESNDIS0\0\0", 18));
  n = QueryDosDeviceA("COM1", buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), std::string("\\Device\\COM1\0\0", 14));
  EXPECT_EQ(QueryDosDeviceA("VESNDIS1", buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(QueryDosDeviceA("..", buffer, sizeof buffer), 0u);
}

// Requests are answered from the device file as it stands at each call.
TEST(Device, IoControlAnswersFromTheDeviceFile) {
  WriteDevice("VESNDIS0", "target=\\Device\\VESNDIS0\nioctl.00170002.02010200=e8030000\n");
  HANDLE device = CreateFileA("\\\\.\\VESNDIS0", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  const DWORD oid = 0x00020102;
  unsigned char out[64] = {};
  DWORD returned = 99;
  ASSERT_TRUE(DeviceIoControl(device, 0x00170002, &oid, 4, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(out[0] | out[1] << 8, 1000);
  EXPECT_FALSE(DeviceIoControl(device, 0x00170002, &oid, 4, out, 3, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  const DWORD other = 0x00010101;
  EXPECT_FALSE(DeviceIoControl(device, 0x00170002, &other, 4, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  WriteDevice("VESNDIS0", "ioctl.00170002.02010200=zz\n");
  EXPECT_FALSE(DeviceIoControl(device, 0x00170002, &oid, 4, out, sizeof out, &returned, nullptr));
  EXPECT_TRUE(CloseHandle(device));

  EXPECT_EQ(CreateFileA("\\\\.\\VESNDIS1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeviceIoControl(nullptr, 0x00170002, &oid, 4, out, sizeof out, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace winport
