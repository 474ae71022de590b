// Stand-in for the diagnostics interface library.
#include <orbdiapi.h>
#include <winport/system.h>

#include <sstream>
#include <string>
#include <vector>

#include "SimState.h"

using receiver_sim::SimState;

namespace {

struct SimAdapter {
  ORBDI_ADAPTER entry;
  long long adapterClass;  // -1: the common "adapter_class"
};

// "bus:flags[:class]" items; a malformed list throws (the caller turns that into a failure).
std::vector<SimAdapter> Adapters(const SimState& s) {
  std::vector<SimAdapter> list;
  std::stringstream in(s.Get("adapters"));
  std::string item;
  while (std::getline(in, item, ',')) {
    auto colon = item.find(':');
    if (item.empty()) continue;
    SimAdapter a{{}, -1};
    a.entry.busType = static_cast<std::uint32_t>(std::stoul(item.substr(0, colon), nullptr, 0));
    if (colon != std::string::npos) {
      auto second = item.find(':', colon + 1);
      a.entry.state = static_cast<std::uint32_t>(
          std::stoul(item.substr(colon + 1, second - colon - 1), nullptr, 0));
      if (second != std::string::npos) a.adapterClass = std::stoll(item.substr(second + 1));
    }
    list.push_back(a);
  }
  return list;
}

}  // namespace

std::uint32_t ORBDI_EnumAdapters(ORBDI_ADAPTER* entries, std::uint32_t* count) {
  SimState s = SimState::Load();
  if (count == nullptr) return ORBDIERR_INVALIDPARAM;
  if (s.Fails("ORBDI_EnumAdapters")) return ORBDIERR_FAILURE;
  std::vector<SimAdapter> list;
  try {
    list = Adapters(s);
  } catch (...) {
    return ORBDIERR_FAILURE;
  }
  if (list.empty()) {
    *count = 0;
    return ORBDIERR_NOENTRIES;
  }
  if (entries == nullptr) {
    *count = static_cast<std::uint32_t>(list.size());
    return ORBDIERR_SUCCESS;
  }
  std::uint32_t n = *count < list.size() ? *count : static_cast<std::uint32_t>(list.size());
  for (std::uint32_t i = 0; i < n; ++i) entries[i] = list[i].entry;
  *count = n;
  return ORBDIERR_SUCCESS;
}

// The class of the first adapter on that bus that gives its own, else the common one.
std::uint32_t ORBDI_GetAdapterClass(std::uint32_t busType, std::uint32_t* adapterClass) {
  SimState s = SimState::Load();
  if (adapterClass == nullptr) return ORBDIERR_INVALIDPARAM;
  if (s.Fails("ORBDI_GetAdapterClass")) return ORBDIERR_FAILURE;
  long long found = s.GetInt("adapter_class");
  try {
    for (const SimAdapter& a : Adapters(s)) {
      if (a.entry.busType == busType && a.adapterClass >= 0) {
        found = a.adapterClass;
        break;
      }
    }
  } catch (...) {
    return ORBDIERR_FAILURE;
  }
  *adapterClass = static_cast<std::uint32_t>(found);
  return ORBDIERR_SUCCESS;
}

std::uint32_t ORBDI_GetAdapterType(std::uint32_t) {
  return static_cast<std::uint32_t>(SimState::Load().GetInt("adapter_type"));
}

// Unless set, the platform the system's version query presents: NT 4 is 3, NT 5 is 4 and the
// Windows 9x family 1.
std::uint32_t ORBDI_GetPlatformType(std::uint32_t) {
  SimState s = SimState::Load();
  if (!s.Get("platform_type").empty()) return static_cast<std::uint32_t>(s.GetInt("platform_type"));
  winport::OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!winport::GetVersionExA(&version)) return 4;
  if (version.dwPlatformId != winport::VER_PLATFORM_WIN32_NT) return 1;
  return version.dwMajorVersion <= 4 ? 3 : 4;
}

std::uint32_t ORBDI_TestTCPStack() {
  SimState s = SimState::Load();
  if (s.Fails("ORBDI_TestTCPStack")) return 0;
  return static_cast<std::uint32_t>(s.GetInt("tcp_stack"));
}

std::uint32_t ORBDI_ControlProxyService(std::uint32_t) {
  SimState s = SimState::Load();
  receiver_sim::SetValue("proxy_service_count", std::to_string(s.GetInt("proxy_service_count") + 1),
                         nullptr);
  if (s.Fails("ORBDI_ControlProxyService")) return ORBDIERR_FAILURE;
  return static_cast<std::uint32_t>(s.GetInt("proxy_service"));
}
