// Stand-in for the outside IRQ checker, run as "RUNDLL32.EXE IRQASSIST.DLL,DOIRQCheck" (built
// as RUNDLL32 and found on PATH). It leaves "ResultCode" under
// "Software\Tessaline\Orbilink\DeviceInstall" and, on success, the log "Orb.Log" in the bin
// folder of the install directory: a block of three lines per PCI device ("Vendor ID <id>",
// "Device ID <id>", "IRQ (<n>)"), the adapter's first, with the devices and IRQs of the
// simulation. A device given with a description also gets its entry under "Enum\PCI", as the
// system's device registry would hold it.
#include <orbids.h>
#include <strings.h>
#include <winport/clock.h>
#include <winport/file.h>
#include <winport/registry.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "SimState.h"

using namespace winport;

using receiver_sim::InstallDirectory;

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

void SetText(HKEY root, const std::string& path, const char* name, const std::string& value) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      &disposition) != ERROR_SUCCESS)
    return;
  if (value.empty() && name != nullptr)
    RegDeleteValueA(key, name);
  else
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
}

std::string Block(const std::string& vendor, const std::string& device, const std::string& irq) {
  std::string text = "Vendor ID " + vendor + "\r\nDevice ID " + device + "\r\n";
  text += irq.empty() || irq == "-" ? "IRQ none\r\n" : "IRQ (" + irq + ")\r\n";
  return text + "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || strcasecmp(argv[1], "IRQASSIST.DLL,DOIRQCheck") != 0) {
    std::fprintf(stderr, "usage: RUNDLL32.EXE IRQASSIST.DLL,DOIRQCheck\n");
    return 2;
  }
  // A checker kept waiting ends without a result once let go, so that one left running by a
  // test cannot write into a later one.
  bool hung = false;
  for (int i = 0; i < 6000 && receiver_sim::SimState::Load().GetInt("irq_hang") == 1; ++i) {
    hung = true;
    Sleep(100);
  }
  if (hung) return 1;
  const receiver_sim::SimState state = receiver_sim::SimState::Load();
  receiver_sim::SetValue("irq_count", std::to_string(state.GetInt("irq_count") + 1), nullptr);

  std::string log = "IRQ Assist device report\r\n\r\n";
  log += Block(ORB_PCI_VENDOR_ID, "0002", state.Get("irq_adapter_irq"));
  for (const std::string& device : Split(state.Get("irq_devices"), ';')) {
    std::vector<std::string> f = Split(device, ':');
    if (f.size() < 3) continue;
    log += Block(f[0], f[1], f[2]);
    if (f.size() > 3 && !f[3].empty())
      SetText(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_" + f[0] + "&DEV_" + f[1] + "\\0000",
              "DeviceDesc", f[3]);
  }
  if (!state.Get("irq_log_text").empty()) log = state.GetText("irq_log_text");

  if (state.GetInt("irq_log") != 0) {
    const std::string path = InstallDirectory() + "\\bin\\Orb.Log";
    std::FILE* file = OpenHostFile(path.c_str(), "wb");
    if (file == nullptr) {
      std::fprintf(stderr, "RUNDLL32: cannot write %s\n", path.c_str());
      return 1;
    }
    std::fwrite(log.data(), 1, log.size(), file);
    std::fclose(file);
  }
  // The result is left last: the module reads it once the checker has ended.
  SetText(HKEY_LOCAL_MACHINE, "Software\\Tessaline\\Orbilink\\DeviceInstall", "ResultCode",
          state.Get("irq_result"));
  std::printf("RUNDLL32: IRQ check done, result %s\n", state.Get("irq_result").c_str());
  return 0;
}
