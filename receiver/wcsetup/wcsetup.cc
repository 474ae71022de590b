// Stand-in for the webcast setup library.
#include <wcsetup.h>

#include "SimState.h"

extern "C" __attribute__((visibility("default"))) std::int32_t acSetupService(std::uint32_t) {
  receiver_sim::SimState s = receiver_sim::SimState::Load();
  if (s.Fails("acSetupService")) return 1;
  return static_cast<std::int32_t>(s.GetInt("wcsetup_result"));
}
