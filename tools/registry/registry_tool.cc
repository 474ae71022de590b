// registry: the registry of a prefix from the shell.
//   registry query KEY [NAME]
//   registry set KEY NAME --sz TEXT | --expand-sz TEXT | --dword N | --binary HEX | --multi-sz A B
//   ... registry delete KEY [NAME] registry export [KEY] registry import FILE
// Exit status: 0 done, 1 key or value missing, 2 bad usage, bad file or any other failure.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "regfile.h"
#include "winport/error.h"
#include "winport/registry.h"

using namespace winport;

namespace {

constexpr int kOk = 0;
constexpr int kMissing = 1;
constexpr int kFailed = 2;

int Usage() {
  std::fputs(
      "usage: registry query KEY [NAME]\n"
      "       registry set KEY NAME --sz TEXT | --expand-sz TEXT | --dword N | --binary HEX |"
      " --multi-sz A B ...\n"
      "       registry delete KEY [NAME]\n"
      "       registry export [KEY]\n"
      "       registry import FILE\n"
      "KEY is written like HKLM\\SOFTWARE\\Tessaline (HKCR, HKCU, HKLM, HKU or their long names);\n"
      "NAME \"\" is the key's default value.\n",
      stderr);
  return kFailed;
}

int Fail(const std::string& what, LONG code) {
  std::string text;
  if (!ErrorMessageText(static_cast<DWORD>(code), &text)) text = "error " + std::to_string(code);
  std::fprintf(stderr, "registry: %s: %s\n", what.c_str(), text.c_str());
  return code == ERROR_FILE_NOT_FOUND ? kMissing : kFailed;
}

bool SplitKey(const std::string& path, HKEY* root, std::string* sub) {
  if (regfile::SplitKeyPath(path, root, sub)) return true;
  std::fprintf(stderr, "registry: %s: unknown root key (use HKCR, HKCU, HKLM or HKU)\n",
               path.c_str());
  return false;
}

void PrintData(DWORD type, const std::string& data) {
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::printf("%s\n", std::string(data.c_str()).c_str());
  } else if (type == REG_DWORD && data.size() == 4) {
    DWORD v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(data[k]);
    std::printf("%u\n", v);
  } else if (type == REG_MULTI_SZ) {
    size_t p = 0;
    while (p < data.size() && data[p] != '\0') {
      size_t end = data.find('\0', p);
      if (end == std::string::npos) end = data.size();
      std::printf("%s\n", data.substr(p, end - p).c_str());
      p = end + 1;
    }
  } else {
    for (size_t i = 0; i < data.size(); ++i)
      std::printf("%s%02x", i ? " " : "", static_cast<unsigned char>(data[i]));
    std::printf("\n");
  }
}

// The key's values as the editor writes them, then its subkeys, one [KEY\Sub] line each.
int ListKey(const std::string& keyPath, HKEY root, const std::string& sub) {
  HKEY h = nullptr;
  LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &h);
  if (rc != ERROR_SUCCESS) return Fail(keyPath, rc);
  std::string name = keyPath;
  while (!name.empty() && name.back() == '\\') name.pop_back();
  std::string out = regfile::FormatSection(name);
  std::string valueName(16384, '\0'), data;
  for (DWORD i = 0; rc == ERROR_SUCCESS; ++i) {
    DWORD cch = static_cast<DWORD>(valueName.size()), type = 0, cb = 0;
    rc = RegEnumValueA(h, i, valueName.data(), &cch, nullptr, &type, nullptr, &cb);
    if (rc != ERROR_SUCCESS) break;
    data.assign(cb, '\0');
    cch = static_cast<DWORD>(valueName.size());
    rc = RegEnumValueA(h, i, valueName.data(), &cch, nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()), &cb);
    if (rc == ERROR_SUCCESS)
      out +=
          regfile::FormatValue(std::string_view(valueName.data(), cch), type, data.substr(0, cb));
  }
  char child[512];
  for (DWORD i = 0; rc == ERROR_NO_MORE_ITEMS || rc == ERROR_SUCCESS; ++i) {
    DWORD cch = sizeof child;
    rc = RegEnumKeyExA(h, i, child, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS) out += regfile::FormatSection(name + "\\" + child);
    if (rc == ERROR_NO_MORE_ITEMS) {
      rc = ERROR_SUCCESS;
      break;
    }
  }
  RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return Fail(keyPath, rc);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return kOk;
}

int Query(const std::string& keyPath, const char* name) {
  HKEY root;
  std::string sub;
  if (!SplitKey(keyPath, &root, &sub)) return kFailed;
  if (!name) return ListKey(keyPath, root, sub);
  HKEY h = nullptr;
  LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_QUERY_VALUE, &h);
  if (rc != ERROR_SUCCESS) return Fail(keyPath, rc);
  DWORD type = 0, cb = 0;
  std::string data;
  do {
    data.resize(cb);
    rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &cb);
  } while (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && cb > data.size()));
  RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return Fail(keyPath + " \"" + name + "\"", rc);
  data.resize(cb);
  PrintData(type, data);
  return kOk;
}

bool ParseHex(const std::string& text, std::string* out) {
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits.push_back(c);
  }
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    out->push_back(static_cast<char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

int Set(const std::vector<std::string>& args) {
  // args: KEY NAME --type VALUE...
  if (args.size() < 4) return Usage();
  const std::string& keyPath = args[0];
  const std::string& name = args[1];
  const std::string& kind = args[2];
  DWORD type;
  std::string data;
  if (kind == "--sz" || kind == "--expand-sz") {
    if (args.size() != 4) return Usage();
    type = kind == "--sz" ? REG_SZ : REG_EXPAND_SZ;
    data = args[3];
    data.push_back('\0');
  } else if (kind == "--dword") {
    if (args.size() != 4) return Usage();
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(args[3].c_str(), &end, 0);
    if (args[3].empty() || *end || errno || v > 0xFFFFFFFFull || args[3][0] == '-') {
      std::fprintf(stderr, "registry: --dword wants a number from 0 to 4294967295, not \"%s\"\n",
                   args[3].c_str());
      return kFailed;
    }
    type = REG_DWORD;
    for (int k = 0; k < 4; ++k) data.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
  } else if (kind == "--binary") {
    if (args.size() != 4) return Usage();
    type = REG_BINARY;
    if (!ParseHex(args[3], &data)) {
      std::fprintf(stderr,
                   "registry: --binary wants hex bytes (like 0a1b2c or 0a,1b,2c), not \"%s\"\n",
                   args[3].c_str());
      return kFailed;
    }
  } else if (kind == "--multi-sz") {
    type = REG_MULTI_SZ;
    for (size_t i = 3; i < args.size(); ++i) {
      if (args[i].empty()) {
        std::fputs("registry: --multi-sz strings cannot be empty\n", stderr);
        return kFailed;
      }
      data += args[i];
      data.push_back('\0');
    }
    data.push_back('\0');
  } else {
    return Usage();
  }
  HKEY root;
  std::string sub;
  if (!SplitKey(keyPath, &root, &sub)) return kFailed;
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                            nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return Fail(keyPath, rc);
  rc = RegSetValueExA(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                      static_cast<DWORD>(data.size()));
  RegCloseKey(h);
  if (rc != ERROR_SUCCESS) return Fail(keyPath + " \"" + name + "\"", rc);
  return kOk;
}

int Delete(const std::string& keyPath, const char* name) {
  HKEY root;
  std::string sub;
  if (!SplitKey(keyPath, &root, &sub)) return kFailed;
  if (!name) {
    while (!sub.empty() && sub.back() == '\\') sub.pop_back();
    if (sub.empty()) {
      std::fprintf(stderr, "registry: %s: a root key cannot be deleted\n", keyPath.c_str());
      return kFailed;
    }
    LONG rc = regfile::DeleteTree(root, sub);
    return rc == ERROR_SUCCESS ? kOk : Fail(keyPath, rc);
  }
  HKEY h = nullptr;
  LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_SET_VALUE, &h);
  if (rc != ERROR_SUCCESS) return Fail(keyPath, rc);
  rc = RegDeleteValueA(h, name);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS ? kOk : Fail(keyPath + " \"" + name + "\"", rc);
}

int Export(const char* keyPath) {
  if (keyPath) {
    HKEY root;
    std::string sub;
    if (!SplitKey(keyPath, &root, &sub)) return kFailed;
  }
  std::string text;
  LONG rc = regfile::Export(keyPath ? keyPath : "", &text);
  if (rc != ERROR_SUCCESS) return Fail(keyPath ? keyPath : "the registry", rc);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? kOk : kFailed;
}

int Import(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "registry: %s: cannot open the file\n", file.c_str());
    return kFailed;
  }
  std::ostringstream s;
  s << in.rdbuf();
  regfile::Document doc;
  std::string error;
  if (!regfile::Parse(s.str(), &doc, &error)) {
    std::fprintf(stderr, "registry: %s: %s\n", file.c_str(), error.c_str());
    return kFailed;
  }
  if (regfile::Import(doc, &error) != ERROR_SUCCESS) {
    std::fprintf(stderr, "registry: %s: %s (nothing imported)\n", file.c_str(), error.c_str());
    return kFailed;
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  const std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "query" && (args.size() == 1 || args.size() == 2))
    return Query(args[0], args.size() == 2 ? args[1].c_str() : nullptr);
  if (cmd == "set") return Set(args);
  if (cmd == "delete" && (args.size() == 1 || args.size() == 2))
    return Delete(args[0], args.size() == 2 ? args[1].c_str() : nullptr);
  if (cmd == "export" && args.size() <= 1) return Export(args.empty() ? nullptr : args[0].c_str());
  if (cmd == "import" && args.size() == 1) return Import(args[0]);
  return Usage();
}
