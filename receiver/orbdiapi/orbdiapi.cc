// Stand-in for the diagnostics interface library.
#include <orbdiapi.h>

#include <sstream>
#include <string>
#include <vector>

#include "SimState.h"

using receiver_sim::SimState;

namespace {

std::vector<ORBDI_ADAPTER> Adapters(const SimState& s) {
  std::vector<ORBDI_ADAPTER> list;
  std::stringstream in(s.Get("adapters"));
  std::string item;
  while (std::getline(in, item, ',')) {
    auto colon = item.find(':');
    if (item.empty()) continue;
    ORBDI_ADAPTER a{};
    a.busType = static_cast<std::uint32_t>(std::stoul(item.substr(0, colon), nullptr, 0));
    if (colon != std::string::npos)
      a.state = static_cast<std::uint32_t>(std::stoul(item.substr(colon + 1), nullptr, 0));
    list.push_back(a);
  }
  return list;
}

}  // namespace

std::uint32_t ORBDI_EnumAdapters(ORBDI_ADAPTER* entries, std::uint32_t* count) {
  SimState s = SimState::Load();
  if (count == nullptr) return ORBDIERR_INVALIDPARAM;
  if (s.Fails("ORBDI_EnumAdapters")) return ORBDIERR_FAILURE;
  std::vector<ORBDI_ADAPTER> list;
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
  for (std::uint32_t i = 0; i < n; ++i) entries[i] = list[i];
  *count = n;
  return ORBDIERR_SUCCESS;
}

std::uint32_t ORBDI_GetAdapterClass(std::uint32_t /*busType*/, std::uint32_t* adapterClass) {
  SimState s = SimState::Load();
  if (adapterClass == nullptr) return ORBDIERR_INVALIDPARAM;
  if (s.Fails("ORBDI_GetAdapterClass")) return ORBDIERR_FAILURE;
  *adapterClass = static_cast<std::uint32_t>(s.GetInt("adapter_class"));
  return ORBDIERR_SUCCESS;
}

std::uint32_t ORBDI_GetAdapterType(std::uint32_t) {
  return static_cast<std::uint32_t>(SimState::Load().GetInt("adapter_type"));
}

std::uint32_t ORBDI_GetPlatformType(std::uint32_t) {
  return static_cast<std::uint32_t>(SimState::Load().GetInt("platform_type"));
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
