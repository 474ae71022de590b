// Tests drive the simulated receiver behind the stand-in libraries through its state file,
// <prefix>/receiver-sim/state.ini, exactly as receiver-sim does.
#pragma once

#include <winport/clock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "testing.h"

class SimControl {
 public:
  // A receiver switched on now, with every other setting at its default.
  SimControl() {
    std::filesystem::create_directories(File().parent_path());
    std::ofstream(File(), std::ios::trunc)
        << "epoch=" << static_cast<long long>(winport::Now()) << '\n';
  }

  // Changes one setting and keeps the others, including what the stand-ins wrote themselves.
  void Set(const std::string& name, const std::string& value) {
    auto values = ReadAll();
    values[name] = value;
    // The folder may have been cleared since (fixtures empty the prefix in their set-up).
    std::filesystem::create_directories(File().parent_path());
    std::filesystem::path temp = File();
    temp += ".tmp";
    {
      std::ofstream out(temp, std::ios::trunc);
      for (const auto& [n, v] : values) out << n << '=' << v << '\n';
    }
    std::error_code ec;
    std::filesystem::rename(temp, File(), ec);
  }
  void Set(const std::string& name, long long value) { Set(name, std::to_string(value)); }

  // A setting as the file holds it; "" when the file does not set it.
  std::string Get(const std::string& name) const {
    auto values = ReadAll();
    auto it = values.find(name);
    return it == values.end() ? "" : it->second;
  }
  // A number the file holds (a counter a stand-in keeps); 0 when it holds none.
  long long Number(const std::string& name) const { return std::atoll(Get(name).c_str()); }

 private:
  static std::filesystem::path File() {
    return winport::testing::Prefix() / "receiver-sim" / "state.ini";
  }
  static std::map<std::string, std::string> ReadAll() {
    std::map<std::string, std::string> values;
    std::ifstream in(File());
    std::string line;
    while (std::getline(in, line)) {
      auto eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
  }
};
