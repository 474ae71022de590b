// A property bag kept in a text file, one "Name=Value" line per property.
#pragma once

#include <map>
#include <string>

#include "servala/server.h"

namespace servala {

class PropertyFile : public PropertyBag {
 public:
  // Reads `path`; false when it does not exist or cannot be read.
  bool Load(const std::string& path);
  // Writes all properties to `path` (through a temporary file, so it is never half-written).
  bool Save(const std::string& path) const;

  std::string ReadProperty(const std::string& name, const std::string& defaultValue) const override;
  void WriteProperty(const std::string& name, const std::string& value,
                     const std::string& defaultValue) override;

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace servala
