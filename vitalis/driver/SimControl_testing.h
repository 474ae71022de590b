// Tests drive the simulated receiver behind the stand-in libraries through its state file,
// <prefix>/receiver-sim/state.ini, exactly as receiver-sim does.
#pragma once

#include <winport/clock.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "testing.h"

class SimControl {
 public:
  SimControl() { Set("epoch", std::to_string(static_cast<long long>(winport::Now()))); }

  void Set(const std::string& name, const std::string& value) {
    m_values[name] = value;
    auto file = winport::testing::Prefix() / "receiver-sim" / "state.ini";
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::trunc);
    for (const auto& [n, v] : m_values) out << n << '=' << v << '\n';
  }
  void Set(const std::string& name, long long value) { Set(name, std::to_string(value)); }

 private:
  std::map<std::string, std::string> m_values;
};
