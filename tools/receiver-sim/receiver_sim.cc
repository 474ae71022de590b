// receiver-sim show | set NAME VALUE | reset: the simulated receiver's settings in the prefix.
#include <cstdio>
#include <cstring>
#include <string>

#include "SimState.h"

namespace {

void Usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: receiver-sim show            print every setting and its current value\n"
      "       receiver-sim set NAME VALUE  change one setting (takes effect at once)\n"
      "       receiver-sim reset           back to the defaults; the receiver restarts now\n"
      "\n"
      "The state lives in <prefix>/receiver-sim/state.ini (WINPORT_PREFIX names the\n"
      "prefix). Counters rise from their value at the epoch by NAME_rate per second of\n"
      "the winport clock; setting a counter (crc_errors, reset_count, low_on_buffers,\n"
      "bytes_received) makes it jump at once. The receiver locks when the Winvesdd values\n"
      "it is tuned with match one of good_sets; set locked 0 to make it lose the lock.\n"
      "\nSettings (default in brackets):\n");
  for (const auto& v : receiver_sim::Variables())
    std::fprintf(out, "  %-24s %s [%s]\n", v.name, v.help, v.defaultValue);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string command = argv[1], error;
  if (command == "show" && argc == 2) {
    receiver_sim::SimState s = receiver_sim::SimState::Load();
    for (const auto& v : receiver_sim::Variables())
      std::printf("%s=%s\n", v.name, s.Get(v.name).c_str());
    for (const auto& [name, value] : s.Values())
      if (!receiver_sim::FindVariable(name)) std::printf("%s=%s\n", name.c_str(), value.c_str());
    std::printf("# signal now %u, heartbeat now %u\n", s.Signal(), s.Counter("heartbeat"));
    return 0;
  }
  if (command == "set" && argc == 4) {
    if (!receiver_sim::FindVariable(argv[2])) {
      std::fprintf(stderr, "receiver-sim: unknown setting %s (see --help)\n", argv[2]);
      return 2;
    }
    if (std::strchr(argv[3], '\n') != nullptr) {
      std::fprintf(stderr, "receiver-sim: write line feeds as \\n\n");
      return 2;
    }
    if (!receiver_sim::SetValue(argv[2], argv[3], &error)) {
      std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (command == "reset" && argc == 2) {
    if (!receiver_sim::ResetState(&error)) {
      std::fprintf(stderr, "receiver-sim: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  Usage(stderr);
  return 2;
}
