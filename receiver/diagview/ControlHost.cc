#include "ControlHost.h"

#include <winport/library.h>
#include <winport/registry.h>

#include <cstdio>
#include <vector>

using namespace winport;

namespace {

// The default text of a key of HKEY_CLASSES_ROOT; false when missing or not a text.
bool ClassDefault(const std::string& path, std::string* text) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0, size = 0;
  bool ok = false;
  if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_SZ && size > 0 && size < 65536) {
    std::vector<char> data(size + 1, '\0');
    if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) == ERROR_SUCCESS) {
      text->assign(data.data());
      ok = !text->empty();
    }
  }
  RegCloseKey(key);
  return ok;
}

// "{1AC65FCB-1533-11D3-9404-0000C04F0ADC}" as a GUID.
bool ParseGuid(const std::string& text, VitalisGuid* guid) {
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  char end = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%c", &d1, &d2, &d3, &b[0],
                  &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &end) != 11)
    return false;
  guid->Data1 = d1;
  guid->Data2 = static_cast<uint16_t>(d2);
  guid->Data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(b[i]);
  return true;
}

}  // namespace

ControlHost::~ControlHost() {
  Release();
  // The library stays loaded: its threads may still be ending as the process ends.
}

void ControlHost::Release() {
  if (m_ctrl != nullptr) m_ctrl->lpVtbl->Release(m_ctrl);
  m_ctrl = nullptr;
}

bool ControlHost::Create(std::string* error) {
  std::string clsidText;
  if (!ClassDefault(std::string(VITALIS_PROGID_CTRL) + "\\CLSID", &clsidText)) {
    *error = "the control " VITALIS_PROGID_CTRL " is not registered";
    return false;
  }
  VitalisGuid clsid{};
  if (!ParseGuid(clsidText, &clsid)) {
    *error = "the control's class id \"" + clsidText + "\" is malformed";
    return false;
  }
  std::string server;
  if (!ClassDefault("CLSID\\" + clsidText + "\\InprocServer32", &server)) {
    *error = "no library is registered for the control's class " + clsidText;
    return false;
  }
  m_library = LoadLibraryA(server.c_str());
  if (m_library == nullptr) {
    *error = "cannot load the control's library " + server;
    return false;
  }
  auto getClassObject =
      reinterpret_cast<VitalisDllGetClassObjectFn>(GetProcAddress(m_library, "DllGetClassObject"));
  if (getClassObject == nullptr) {
    *error = server + " has no DllGetClassObject";
    return false;
  }
  const VitalisGuid factoryIid = VITALIS_IID_IClassFactory;
  void* made = nullptr;
  int32_t rc = getClassObject(&clsid, &factoryIid, &made);
  if (rc != VITALIS_S_OK || made == nullptr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(rc));
    *error = std::string("the library gives no factory for the control (") + code + ")";
    return false;
  }
  auto* factory = static_cast<VitalisClassFactory*>(made);
  void* object = nullptr;
  rc = factory->lpVtbl->CreateInstance(factory, &object);
  factory->lpVtbl->Release(factory);
  if (rc != VITALIS_S_OK || object == nullptr) {
    *error = "the control could not be created";
    return false;
  }
  m_ctrl = static_cast<VitalisCtrl*>(object);
  VitalisCtrlSink sink{this, &ControlHost::OnShutdown, &ControlHost::OnStatus};
  m_ctrl->lpVtbl->Advise(m_ctrl, &sink);
  return true;
}

void ControlHost::SetHandlers(std::function<void()> onShutdown,
                              std::function<void(const std::string&)> onStatus) {
  std::lock_guard hold(m_lock);
  m_onShutdown = std::move(onShutdown);
  m_onStatus = std::move(onStatus);
}

void ControlHost::OnShutdown(void* context) {
  auto* self = static_cast<ControlHost*>(context);
  std::function<void()> handler;
  {
    std::lock_guard hold(self->m_lock);
    handler = self->m_onShutdown;
  }
  if (handler) handler();
}

void ControlHost::OnStatus(void* context, const char* text) {
  auto* self = static_cast<ControlHost*>(context);
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard hold(self->m_lock);
    handler = self->m_onStatus;
  }
  if (handler) handler(text != nullptr ? text : "");
}

bool ControlHost::Init() {
  return m_ctrl != nullptr && m_ctrl->lpVtbl->Init(m_ctrl) != 0;
}

bool ControlHost::Stop() {
  return m_ctrl != nullptr && m_ctrl->lpVtbl->Stop(m_ctrl) != 0;
}

int ControlHost::FixProblem(const std::string& testIds) {
  return m_ctrl != nullptr ? m_ctrl->lpVtbl->FixProblem(m_ctrl, testIds.c_str()) : 0;
}

std::string ControlHost::ShowIRQResult() {
  if (m_ctrl == nullptr) return "";
  char* text = m_ctrl->lpVtbl->ShowIRQResult(m_ctrl);
  std::string result = text != nullptr ? text : "";
  m_ctrl->lpVtbl->FreeString(text);
  return result;
}
