// Devices described by files under <prefix>/devices (see winport/device.h).
#include "winport/device.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "device_internal.h"
#include "winport/error.h"
#include "winport/prefix.h"

namespace winport {
namespace detail {
namespace {

namespace fs = std::filesystem;

struct DeviceObject : KernelObject {
  fs::path file;
};

fs::path DeviceDir() {
  return PrefixPath() / "devices";
}

// The device file of a name, found without regard to case; empty when there is none.
fs::path FindDevice(std::string_view name) {
  if (name.empty() || name.find_first_of("/\\") != std::string_view::npos) return {};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(DeviceDir(), ec)) {
    std::string file = entry.path().filename().string();
    if (file.size() == name.size() && strncasecmp(file.c_str(), name.data(), name.size()) == 0 &&
        entry.is_regular_file(ec))
      return entry.path();
  }
  return {};
}

std::map<std::string, std::string> ReadDevice(const fs::path& file) {
  std::map<std::string, std::string> values;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto eq = line.find('=');
    if (eq == std::string::npos || line.empty() || line[0] == '#') continue;
    values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string Hex(const void* data, DWORD size) {
  if (data == nullptr || size == 0) return "-";
  std::string out;
  const auto* p = static_cast<const unsigned char*>(data);
  char two[3];
  for (DWORD i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", p[i]);
    out += two;
  }
  return out;
}

bool Unhex(const std::string& text, std::vector<unsigned char>* bytes) {
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return false;
    bytes->push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return true;
}

// Appends "name\0" when it fits below `max` (leaving room for the final NUL).
bool Append(const std::string& name, char* buffer, DWORD max, DWORD* used) {
  if (*used + name.size() + 1 + 1 > max) return false;
  std::memcpy(buffer + *used, name.c_str(), name.size() + 1);
  *used += static_cast<DWORD>(name.size() + 1);
  return true;
}

}  // namespace

bool IsDevicePath(std::string_view path) {
  return path.size() > 4 && (path.substr(0, 4) == "\\\\.\\" || path.substr(0, 4) == "//./");
}

std::shared_ptr<KernelObject> OpenDevice(std::string_view path, DWORD* error) {
  fs::path file = FindDevice(path.substr(4));
  if (file.empty()) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  auto device = std::make_shared<DeviceObject>();
  device->file = file;
  return device;
}

}  // namespace detail

DWORD QueryDosDeviceA(const char* deviceName, char* targetPath, DWORD max) {
  using namespace detail;
  if (targetPath == nullptr && max != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::vector<std::string> names;
  if (deviceName == nullptr) {
    std::error_code ec;
    std::vector<std::string> drives, devices;
    for (const auto& entry : fs::directory_iterator(PrefixPath(), ec)) {
      std::string file = entry.path().filename().string();
      if (file.size() == 7 && file.rfind("drive_", 0) == 0 && entry.is_directory(ec))
        drives.push_back(std::string(1, static_cast<char>(std::toupper(file[6]))) + ":");
    }
    for (const auto& entry : fs::directory_iterator(DeviceDir(), ec))
      if (entry.is_regular_file(ec)) devices.push_back(entry.path().filename().string());
    std::sort(drives.begin(), drives.end());
    std::sort(devices.begin(), devices.end());
    names = drives;
    names.insert(names.end(), devices.begin(), devices.end());
  } else {
    std::string name = deviceName;
    if (name.size() == 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])) &&
        fs::is_directory(PrefixPath() /
                         ("drive_" + std::string(1, static_cast<char>(std::tolower(name[0])))))) {
      names.push_back("\\Device\\HarddiskVolume" + std::to_string(std::tolower(name[0]) - 'a' + 1));
    } else {
      fs::path file = FindDevice(name);
      if (file.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
      }
      auto values = ReadDevice(file);
      names.push_back(values.count("target") ? values["target"] : "\\Device\\" + name);
    }
  }
  DWORD used = 0;
  for (const std::string& name : names) {
    if (!Append(name, targetPath, max, &used)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
  }
  if (used + 1 > max) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  targetPath[used++] = '\0';
  SetLastError(ERROR_SUCCESS);
  return used;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out,
                     DWORD outSize, DWORD* returned, void*) {
  using namespace detail;
  auto device = std::dynamic_pointer_cast<DeviceObject>(LookupHandle(handle));
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (returned != nullptr) *returned = 0;
  char key[32];
  std::snprintf(key, sizeof key, "ioctl.%08x.", static_cast<unsigned>(code));
  auto values = ReadDevice(device->file);
  auto it = values.find(key + Hex(in, inSize));
  std::vector<unsigned char> answer;
  if (it == values.end() || !Unhex(it->second, &answer)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (answer.size() > outSize || (out == nullptr && !answer.empty())) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!answer.empty()) std::memcpy(out, answer.data(), answer.size());
  if (returned != nullptr) *returned = static_cast<DWORD>(answer.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace winport
