// Stand-in for the transport control.
#include <trellis.h>

#include "SimState.h"

#define TRELLIS_EXPORT extern "C" __attribute__((visibility("default")))

using receiver_sim::SimState;

TRELLIS_EXPORT std::int32_t TrellisOpenChannel(std::uint32_t* channel, std::uint32_t /*flags*/,
                                               std::uint32_t /*mode*/) {
  SimState s = SimState::Load();
  if (channel == nullptr || s.GetInt("trellis_present") == 0 || s.Fails("TrellisOpenChannel"))
    return 0;
  *channel = 7;
  return 1;
}

TRELLIS_EXPORT std::int32_t TrellisCloseChannel(std::uint32_t channel) {
  return channel != 0 && !SimState::Load().Fails("TrellisCloseChannel");
}

TRELLIS_EXPORT std::uint32_t TrellisGetLastError() {
  return static_cast<std::uint32_t>(SimState::Load().GetInt("trellis_error"));
}

// Entry points the simulation says are missing vanish from this library's exports on load.
__attribute__((constructor)) static void HideEntryPointsOnLoad() {
  receiver_sim::HideMissingEntryPoints(reinterpret_cast<const void*>(&HideEntryPointsOnLoad));
}
