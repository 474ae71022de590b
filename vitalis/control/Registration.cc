// Self-registration of the control server: the type library, the control and its property
// page under HKEY_CLASSES_ROOT, as a host looks them up (ProgID -> CLSID -> library).
#include <winport/error.h>
#include <winport/library.h>
#include <winport/registry.h>

#include <string>
#include <utility>
#include <vector>

#include "core/Exports.h"
#include "core/TraceLog.h"
#include "vitalis/VitalisCtrlApi.h"

extern "C" {
VITALIS_EXPORT int32_t DllRegisterServer();
VITALIS_EXPORT int32_t DllUnregisterServer();
}

namespace {

constexpr char kLibId[] = VITALIS_LIBID;
constexpr char kDispIid[] = "{1AC65FC9-1533-11D3-9404-0000C04F0ADC}";
constexpr char kEventsIid[] = "{1AC65FCA-1533-11D3-9404-0000C04F0ADC}";
constexpr char kCtrlClsid[] = "{1AC65FCB-1533-11D3-9404-0000C04F0ADC}";
constexpr char kPageClsid[] = "{1AC65FCC-1533-11D3-9404-0000C04F0ADC}";
constexpr char kCtrlName[] = "Vitalis Control";
constexpr char kPageName[] = "Vitalis Property Page";
// The dispatch interfaces are marshalled by the system's automation proxy.
constexpr char kDispatchProxy[] = "{00020420-0000-0000-C000-000000000046}";
// OLEMISC_SETCLIENTSITEFIRST | INVISIBLEATRUNTIME | INSIDEOUT | CANTLINKINSIDE |
// RECOMPOSEONRESIZE.
constexpr unsigned long kMiscStatus = 0x20491;

// The file of this library, as the in-process server's path.
std::string ServerPath() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<const char*>(&DllRegisterServer), &self))
    return {};
  char path[4096] = {};
  DWORD length = GetModuleFileNameA(self, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  return std::string(path, length);
}

// One key with its values: a default text and named texts.
struct KeyValues {
  std::string path;
  std::string defaultText;
  std::vector<std::pair<std::string, std::string>> named;
};

bool WriteKey(const KeyValues& entry) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, entry.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, &disposition) != ERROR_SUCCESS) {
    LogErrorF("DllRegisterServer - cannot create HKCR\\%s", entry.path.c_str());
    return false;
  }
  bool ok = true;
  auto set = [&](const char* name, const std::string& text) {
    if (RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS) {
      LogErrorF("DllRegisterServer - cannot write HKCR\\%s", entry.path.c_str());
      ok = false;
    }
  };
  if (!entry.defaultText.empty()) set(nullptr, entry.defaultText);
  for (const auto& [name, text] : entry.named) set(name.c_str(), text);
  RegCloseKey(key);
  return ok;
}

bool WriteAll(const std::vector<KeyValues>& entries) {
  for (const KeyValues& entry : entries)
    if (!WriteKey(entry)) return false;
  return true;
}

// Removes a key with everything below it; true when it is gone (or was never there).
bool DeleteTree(const std::string& path) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) return false;
  bool ok = true;
  for (;;) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (!DeleteTree(path + "\\" + name)) {
      ok = false;
      break;
    }
  }
  RegCloseKey(key);
  if (!ok) return false;
  std::string::size_type cut = path.rfind('\\');
  HKEY parent = HKEY_CLASSES_ROOT;
  bool closeParent = false;
  if (cut != std::string::npos) {
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.substr(0, cut).c_str(), 0, KEY_ALL_ACCESS, &parent) !=
        ERROR_SUCCESS)
      return false;
    closeParent = true;
  }
  std::string leaf = cut == std::string::npos ? path : path.substr(cut + 1);
  rc = RegDeleteKeyA(parent, leaf.c_str());
  if (closeParent) RegCloseKey(parent);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// True when the key has no subkeys and no values (or does not exist).
bool IsEmpty(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return true;
  DWORD subKeys = 0, values = 0;
  LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && subKeys == 0 && values == 0;
}

std::string Dir(const std::string& path) {
  std::string::size_type cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::vector<KeyValues> TypeLibKeys(const std::string& server) {
  std::string lib = std::string("TypeLib\\") + kLibId + "\\1.0";
  std::vector<KeyValues> keys = {
      {lib, VITALIS_TYPELIB_HELP, {}},
      {lib + "\\0\\win32", server, {}},
      {lib + "\\FLAGS", "0", {}},
      {lib + "\\HELPDIR", Dir(server), {}},
  };
  for (auto [iid, name] : {std::pair{kDispIid, "_DVitalis"}, {kEventsIid, "_DVitalisEvents"}}) {
    std::string base = std::string("Interface\\") + iid;
    keys.push_back({base, name, {}});
    keys.push_back({base + "\\ProxyStubClsid32", kDispatchProxy, {}});
    keys.push_back({base + "\\TypeLib", kLibId, {{"Version", "1.0"}}});
  }
  return keys;
}

std::vector<KeyValues> ControlKeys(const std::string& server) {
  std::string clsid = std::string("CLSID\\") + kCtrlClsid;
  return {
      {clsid, kCtrlName, {}},
      {clsid + "\\ProgID", VITALIS_PROGID_CTRL, {}},
      {clsid + "\\InprocServer32", server, {{"ThreadingModel", "Apartment"}}},
      {clsid + "\\Insertable", "", {}},
      {clsid + "\\Control", "", {}},
      {clsid + "\\MiscStatus", "0", {}},
      {clsid + "\\MiscStatus\\1", std::to_string(kMiscStatus), {}},
      {clsid + "\\TypeLib", kLibId, {}},
      {clsid + "\\Version", "1.0", {}},
      {clsid + "\\ToolboxBitmap32", server + ", 1", {}},
      {VITALIS_PROGID_CTRL, kCtrlName, {}},
      {std::string(VITALIS_PROGID_CTRL) + "\\CLSID", kCtrlClsid, {}},
      {std::string(VITALIS_PROGID_CTRL) + "\\Insertable", "", {}},
  };
}

std::vector<KeyValues> PageKeys(const std::string& server) {
  std::string clsid = std::string("CLSID\\") + kPageClsid;
  return {
      {clsid, kPageName, {}},
      {clsid + "\\ProgID", VITALIS_PROGID_PROPPAGE, {}},
      {clsid + "\\InprocServer32", server, {{"ThreadingModel", "Apartment"}}},
      {VITALIS_PROGID_PROPPAGE, kPageName, {}},
      {std::string(VITALIS_PROGID_PROPPAGE) + "\\CLSID", kPageClsid, {}},
  };
}

}  // namespace

extern "C" {

VITALIS_EXPORT int32_t DllRegisterServer() {
  InitModuleTrace(false);
  std::string server = ServerPath();
  if (server.empty()) {
    LogErrorF("DllRegisterServer - the library's own path is unknown");
    return VITALIS_SELFREG_E_TYPELIB;
  }
  if (!WriteAll(TypeLibKeys(server))) return VITALIS_SELFREG_E_TYPELIB;
  if (!WriteAll(ControlKeys(server)) || !WriteAll(PageKeys(server))) return VITALIS_SELFREG_E_CLASS;
  LogInfoF("DllRegisterServer - registered %s", server.c_str());
  return VITALIS_S_OK;
}

VITALIS_EXPORT int32_t DllUnregisterServer() {
  InitModuleTrace(false);
  std::string lib = std::string("TypeLib\\") + kLibId;
  bool typeLib = DeleteTree(lib + "\\1.0") && DeleteTree(std::string("Interface\\") + kDispIid) &&
                 DeleteTree(std::string("Interface\\") + kEventsIid);
  if (typeLib && IsEmpty(lib)) typeLib = DeleteTree(lib);
  if (!typeLib) {
    LogErrorF("DllUnregisterServer - cannot remove the type library");
    return VITALIS_SELFREG_E_TYPELIB;
  }
  for (const std::string& key :
       {std::string("CLSID\\") + kCtrlClsid, std::string(VITALIS_PROGID_CTRL),
        std::string("CLSID\\") + kPageClsid, std::string(VITALIS_PROGID_PROPPAGE)}) {
    if (!DeleteTree(key)) {
      LogErrorF("DllUnregisterServer - cannot remove HKCR\\%s", key.c_str());
      return VITALIS_SELFREG_E_CLASS;
    }
  }
  LogInfoF("DllUnregisterServer - unregistered");
  return VITALIS_S_OK;
}

}  // extern "C"
