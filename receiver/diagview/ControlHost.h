// The health module's control, found the way a COM host finds it: the ProgID's CLSID in the
// registry, the library registered for that CLSID, the library's class factory.
#pragma once

#include <vitalis/VitalisCtrlApi.h>
#include <winport/types.h>

#include <functional>
#include <mutex>
#include <string>

class ControlHost {
 public:
  ControlHost() = default;
  ~ControlHost();
  ControlHost(const ControlHost&) = delete;
  ControlHost& operator=(const ControlHost&) = delete;

  // Finds, loads and creates the control; false with a message for the user.
  bool Create(std::string* error);

  // Called on the control's thread.
  void SetHandlers(std::function<void()> onShutdown,
                   std::function<void(const std::string&)> onStatus);

  // Destroys the control (its named objects go with it); the calls below then do nothing.
  void Release();

  bool Init();
  bool Stop();
  int FixProblem(const std::string& testIds);
  std::string ShowIRQResult();

 private:
  static void OnShutdown(void* context);
  static void OnStatus(void* context, const char* text);

  winport::HMODULE m_library = nullptr;
  VitalisCtrl* m_ctrl = nullptr;
  std::mutex m_lock;
  std::function<void()> m_onShutdown;
  std::function<void(const std::string&)> m_onStatus;
};
