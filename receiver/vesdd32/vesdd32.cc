// Stand-in for the receive-driver access library, answering from the simulated receiver.
#include <vesdd32.h>
#include <winport/clock.h>
#include <winport/registry.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "SimState.h"

#define VESDD_EXPORT extern "C" __attribute__((visibility("default")))

using receiver_sim::CopyText;
using receiver_sim::PutU16;
using receiver_sim::PutU32;
using receiver_sim::SimState;

namespace {
// "True iff 0" entry points answer 1 when made to fail.
constexpr std::uint32_t kFailed = 1;

constexpr const char kWinvesddKey[] = "SOFTWARE\\Tessaline\\Orbilink\\Winvesdd";

// A Winvesdd value as the driver reads it: decimal text. False when missing or not text.
bool ReadWinvesdd(const std::string& name, long long* value) {
  winport::HKEY key = nullptr;
  if (winport::RegOpenKeyExA(winport::HKEY_LOCAL_MACHINE, kWinvesddKey, 0, winport::KEY_READ,
                             &key) != winport::ERROR_SUCCESS)
    return false;
  char text[64] = {};
  winport::DWORD type = 0, size = sizeof text - 1;
  bool ok = winport::RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                      reinterpret_cast<winport::BYTE*>(text),
                                      &size) == winport::ERROR_SUCCESS &&
            type == winport::REG_SZ;
  winport::RegCloseKey(key);
  if (ok) *value = std::strtoll(text, nullptr, 10);
  return ok;
}

// Whether the frequency and the Winvesdd values match one of the sets; no sets: any tuning does.
bool MatchesGoodSet(const std::string& goodSets, std::uint32_t freq) {
  if (goodSets.empty()) return true;
  std::stringstream sets(goodSets);
  std::string set;
  while (std::getline(sets, set, ';')) {
    if (set.empty()) continue;
    bool match = true;
    std::stringstream pairs(set);
    std::string pair;
    while (match && std::getline(pairs, pair, ',')) {
      auto eq = pair.find('=');
      if (eq == std::string::npos) continue;
      std::string name = pair.substr(0, eq);
      long long want = std::strtoll(pair.c_str() + eq + 1, nullptr, 10), have = 0;
      if (name == "VESDD_RX_FREQ")
        match = static_cast<long long>(freq) == want;
      else
        match = ReadWinvesdd(name, &have) && have == want;
    }
    if (match) return true;
  }
  return false;
}

}  // namespace

VESDD_EXPORT std::int32_t VesddOpenChannel(std::uint32_t /*mode*/) {
  SimState s = SimState::Load();
  if (s.Fails("VesddOpenChannel")) return -1;
  return static_cast<std::int32_t>(s.GetInt("channel"));
}

VESDD_EXPORT std::int32_t VesddCloseChannel(std::uint32_t /*handle*/) {
  return SimState::Load().Fails("VesddCloseChannel") ? -1 : 0;
}

VESDD_EXPORT std::uint32_t VesddGetLastError() {
  return static_cast<std::uint32_t>(SimState::Load().GetInt("driver_error"));
}

VESDD_EXPORT std::uint32_t VesddGetSatelliteStatus(void* status, std::uint32_t /*handle*/) {
  SimState s = SimState::Load();
  if (status == nullptr || s.Fails("VesddGetSatelliteStatus")) return 0;
  std::memset(status, 0, SATELLITE_STATUS_SIZE);
  PutU16(status, SATSTAT_LOW_THRESHOLD, static_cast<std::uint16_t>(s.GetInt("signal_low")));
  PutU16(status, SATSTAT_HIGH_THRESHOLD, static_cast<std::uint16_t>(s.GetInt("signal_high")));
  PutU16(status, SATSTAT_SIGNAL, s.Signal());
  return 1;
}

VESDD_EXPORT std::uint32_t VesddGetDriverOperationMode() {
  SimState s = SimState::Load();
  if (s.Fails("VesddGetDriverOperationMode")) return 0;
  return static_cast<std::uint32_t>(s.GetInt("operation_mode"));
}

VESDD_EXPORT std::uint32_t VesddGetSiteID(char* buffer) {
  SimState s = SimState::Load();
  if (buffer == nullptr || s.Fails("VesddGetSiteID")) return kFailed;
  CopyText(buffer, VESDD_SITEID_LEN, s.Get("site_id"));
  return 0;
}

VESDD_EXPORT std::uint32_t VesddGetStats(std::uint32_t /*handle*/, void* buffer,
                                         std::uint32_t size) {
  SimState s = SimState::Load();
  if (buffer == nullptr || size < VESNDIS_STATS_SIZE || s.Fails("VesddGetStats")) return kFailed;
  std::memset(buffer, 0, VESNDIS_STATS_SIZE);
  std::uint32_t bytes = s.Counter("bytes_received");
  // Megabytes follow the whole run, not the wrapping byte counter.
  unsigned long long total = static_cast<unsigned long long>(s.GetInt("bytes_received")) +
                             static_cast<unsigned long long>(s.GetInt("bytes_received_rate")) *
                                 static_cast<unsigned long long>(s.Elapsed());
  PutU32(buffer, VESNDIS_CRC_ERRORS, s.Counter("crc_errors"));
  PutU32(buffer, VESNDIS_RESET_COUNT, s.Counter("reset_count"));
  PutU32(buffer, VESNDIS_BYTES_RECEIVED, bytes);
  PutU32(buffer, VESNDIS_MEGABYTES_RECEIVED, static_cast<std::uint32_t>(total / 1048576));
  PutU32(buffer, VESNDIS_MULTICAST_ADDS, s.Counter("multicast_adds"));
  return 0;
}

VESDD_EXPORT std::uint32_t VesddGetMipsStats(std::uint32_t /*handle*/, void* buffer,
                                             std::uint32_t size) {
  SimState s = SimState::Load();
  if (buffer == nullptr || size < MIPS_STATS_SIZE || s.Fails("VesddGetMipsStats")) return kFailed;
  std::memset(buffer, 0, MIPS_STATS_SIZE);
  PutU32(buffer, MIPS_HEARTBEAT, s.Counter("heartbeat"));
  PutU32(buffer, MIPS_FRAMES_PROCESSED, s.Counter("frames_processed"));
  PutU32(buffer, MIPS_FRAMES_ACCEPTED, s.Counter("frames_accepted"));
  PutU32(buffer, MIPS_FRAMES_REJECTED, s.Counter("frames_rejected"));
  PutU32(buffer, MIPS_LOW_ON_BUFFERS, s.Counter("low_on_buffers"));
  PutU32(buffer, MIPS_DATA_LIMIT_ERRORS, s.Counter("data_limit_errors"));
  PutU32(buffer, MIPS_RAW_SIGNAL_QUALITY, s.Signal());
  PutU32(buffer, MIPS_F_ERRORS, s.Counter("f_errors"));
  return 0;
}

VESDD_EXPORT std::uint32_t VesddClearMipsStats(std::uint32_t /*handle*/) {
  return SimState::Load().Fails("VesddClearMipsStats") ? kFailed : 0;
}

VESDD_EXPORT std::uint32_t VesddGetSN(std::uint32_t /*handle*/, char* buffer) {
  SimState s = SimState::Load();
  if (buffer == nullptr || s.Fails("VesddGetSN")) return kFailed;
  CopyText(buffer, VESDD_SN_LEN, s.Get("serial"));
  return 0;
}

VESDD_EXPORT std::uint32_t VesddGetDrvVersion(std::uint32_t /*handle*/, char* buffer) {
  SimState s = SimState::Load();
  if (buffer == nullptr || s.Fails("VesddGetDrvVersion")) return kFailed;
  CopyText(buffer, VESDD_DRVVERSION_LEN, s.Get("driver_version"));
  return 0;
}

// Non-zero = the dump was written.
VESDD_EXPORT std::uint32_t VesddGetStatsDump(std::uint32_t type, char* buffer, std::uint32_t size,
                                             std::uint32_t /*handle*/) {
  SimState s = SimState::Load();
  if (buffer == nullptr || size == 0 || type != 5 || s.Fails("VesddGetStatsDump")) return 0;
  CopyText(buffer, size, s.GetText("address_stats"));
  return 1;
}

VESDD_EXPORT std::uint32_t VesddICSSetRange() {
  return SimState::Load().Fails("VesddICSSetRange") ? 0 : 1;
}

VESDD_EXPORT std::uint32_t VesddICSGetConfiguration(VESDD_ICS_CONFIG* config) {
  SimState s = SimState::Load();
  if (config == nullptr || s.Fails("VesddICSGetConfiguration")) return 0;
  std::memset(config, 0, sizeof(*config));
  config->flags = static_cast<std::uint32_t>(s.GetInt("ics_flags"));
  return 1;
}

// The driver takes its acquisition parameters from the Winvesdd key and the frequency from the
// call: the receiver locks when they match one of the simulation's good sets.
VESDD_EXPORT std::uint32_t VesddSetReceiveFreq(std::uint32_t /*channel*/, std::uint32_t freq) {
  SimState s = SimState::Load();
  if (s.Fails("VesddSetReceiveFreq")) return kFailed;
  bool locked = MatchesGoodSet(s.Get("good_sets"), freq);
  std::map<std::string, std::string> changes{
      {"receive_freq", std::to_string(freq)},
      {"locked", std::to_string(locked ? 1 : 0)},
      {"tuned_at", std::to_string(static_cast<long long>(winport::Now()))},
  };
  std::string error;
  receiver_sim::SetValues(changes, &error);
  return 0;
}

VESDD_EXPORT std::uint32_t VesddGetBoundIPAddress(char* buffer, std::uint32_t size) {
  SimState s = SimState::Load();
  if (buffer == nullptr || s.Fails("VesddGetBoundIPAddress")) return 0;
  CopyText(buffer, size, s.Get("ip_address"));
  return static_cast<std::uint32_t>(s.GetInt("bound_ip_result"));
}

VESDD_EXPORT std::uint32_t VesddGetAddrStatsEx(std::uint32_t /*handle*/, void* buffer,
                                               std::uint32_t size) {
  SimState s = SimState::Load();
  if (buffer == nullptr || s.Fails("VesddGetAddrStatsEx")) return kFailed;
  CopyText(static_cast<char*>(buffer), size, s.GetText("address_stats"));
  return 0;
}

#ifndef VESDD_WITHOUT_CLEARADDRSTATS
VESDD_EXPORT std::uint32_t VesddClearAddrStats(std::uint32_t /*handle*/) {
  return SimState::Load().Fails("VesddClearAddrStats") ? kFailed : 0;
}
#endif

// Entry points the simulation says are missing vanish from this library's exports on load.
__attribute__((constructor)) static void HideEntryPointsOnLoad() {
  receiver_sim::HideMissingEntryPoints(reinterpret_cast<const void*>(&HideEntryPointsOnLoad));
}
