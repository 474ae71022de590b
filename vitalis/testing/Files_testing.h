// Test support: files whose creation times are strictly in the order they were made.
#pragma once

#include <gtest/gtest.h>
#include <winport/file.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vitalis_testing {

// Makes `dir`/`name` holding `content`, created strictly after the file `last` recorded (file
// systems stamp times with a coarse clock: probe files are made until the time has moved on,
// and a rename keeps it). Returns the path.
inline std::string MakeFileAfter(const std::filesystem::path& dir, const std::string& name,
                                 const std::string& content, FILETIME* last) {
  const std::filesystem::path probe = dir / ".probe";
  for (;;) {
    std::filesystem::remove(probe);
    std::ofstream(probe, std::ios::binary) << content;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(GetFileAttributesExA(probe.c_str(), GetFileExInfoStandard, &data));
    if (CompareFileTime(&data.ftCreationTime, last) > 0) {
      *last = data.ftCreationTime;
      break;
    }
  }
  std::filesystem::rename(probe, dir / name);
  return (dir / name).string();
}

}  // namespace vitalis_testing
