#include "property_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace servala {

bool PropertyFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  values_.clear();
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    values_[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

bool PropertyFile::Save(const std::string& path) const {
  std::ostringstream out;
  for (const auto& [name, value] : values_) out << name << '=' << value << '\n';
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f << out.str();
    f.flush();
    if (!f) return false;
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) std::filesystem::remove(tmp, ec);
  return !ec;
}

std::string PropertyFile::ReadProperty(const std::string& name,
                                       const std::string& defaultValue) const {
  auto it = values_.find(name);
  return it == values_.end() ? defaultValue : it->second;
}

void PropertyFile::WriteProperty(const std::string& name, const std::string& value,
                                 const std::string& /*defaultValue*/) {
  // Every property is written, default or not, so the file shows the whole state.
  values_[name] = value;
}

}  // namespace servala
