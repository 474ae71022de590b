// Stand-in for the webcast setup library.
#include <wcsetup.h>

#include <string>

#include "SimState.h"

extern "C" __attribute__((visibility("default"))) std::int32_t acSetupService(std::uint32_t) {
  receiver_sim::SimState s = receiver_sim::SimState::Load();
  receiver_sim::SetValue("wcsetup_count", std::to_string(s.GetInt("wcsetup_count") + 1), nullptr);
  if (s.Fails("acSetupService")) return 1;
  return static_cast<std::int32_t>(s.GetInt("wcsetup_result"));
}

// Entry points the simulation says are missing vanish from this library's exports on load.
__attribute__((constructor)) static void HideEntryPointsOnLoad() {
  receiver_sim::HideMissingEntryPoints(reinterpret_cast<const void*>(&HideEntryPointsOnLoad));
}
