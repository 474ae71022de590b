// Receive-driver access library: exported entry points and the records they fill.
// Loaded at run time by file name ("VESDD32.DLL") and bound by name.
#pragma once

#include <cstdint>

extern "C" {

// Error codes of VesddGetLastError.
enum : std::uint32_t {
  VESERR_SUCCESS = 0,
  VESERR_BINDTOPORT = 4,
  VESERR_ICSNOTPORTMAPPED = 9,
  VESERR_ICSPROTOCOLNOTBOUND = 10,
};

// Record sizes and the offsets of the words the module reads (little-endian u32 unless noted).
constexpr std::uint32_t VESNDIS_STATS_SIZE = 244;
constexpr std::uint32_t VESNDIS_CRC_ERRORS = 68;
constexpr std::uint32_t VESNDIS_RESET_COUNT = 120;
constexpr std::uint32_t VESNDIS_BYTES_RECEIVED = 128;
constexpr std::uint32_t VESNDIS_MEGABYTES_RECEIVED = 132;
constexpr std::uint32_t VESNDIS_MULTICAST_ADDS = 200;

constexpr std::uint32_t MIPS_STATS_SIZE = 128;
constexpr std::uint32_t MIPS_HEARTBEAT = 0;
constexpr std::uint32_t MIPS_FRAMES_PROCESSED = 4;
constexpr std::uint32_t MIPS_FRAMES_ACCEPTED = 8;
constexpr std::uint32_t MIPS_FRAMES_REJECTED = 12;
constexpr std::uint32_t MIPS_LOW_ON_BUFFERS = 16;
constexpr std::uint32_t MIPS_DATA_LIMIT_ERRORS = 68;
constexpr std::uint32_t MIPS_RAW_SIGNAL_QUALITY = 84;
constexpr std::uint32_t MIPS_F_ERRORS = 88;

// Satellite status: u16 lower threshold at 4, upper threshold at 6, signal strength at 8.
constexpr std::uint32_t SATELLITE_STATUS_SIZE = 12;
constexpr std::uint32_t SATSTAT_LOW_THRESHOLD = 4;
constexpr std::uint32_t SATSTAT_HIGH_THRESHOLD = 6;
constexpr std::uint32_t SATSTAT_SIGNAL = 8;

// Text buffers the callers provide. The library never writes more than these.
constexpr std::uint32_t VESDD_SITEID_LEN = 10;       // site ID incl. terminator
constexpr std::uint32_t VESDD_SN_LEN = 7;            // serial number incl. terminator
constexpr std::uint32_t VESDD_DRVVERSION_LEN = 120;  // driver version incl. terminator
constexpr std::uint32_t VESDD_IPADDR_LEN = 80;       // bound IP address buffer
constexpr std::uint32_t VESDD_STATSDUMP_LEN = 4000;  // address statistics dump

// ICS configuration record; bit 0 of flags: connection sharing enabled, bit 1 shared with the
// receiver, bit 2 bound to it, bit 3 port mapping configured.
struct VESDD_ICS_CONFIG {
  std::uint32_t flags;
  std::uint32_t reserved[3];
};

// Entry points (the argument order is the library's).
using PFN_VesddOpenChannel = std::int32_t (*)(std::uint32_t mode);
using PFN_VesddCloseChannel = std::int32_t (*)(std::uint32_t handle);
using PFN_VesddGetLastError = std::uint32_t (*)();
using PFN_VesddGetSatelliteStatus = std::uint32_t (*)(void* status, std::uint32_t handle);
using PFN_VesddGetDriverOperationMode = std::uint32_t (*)();
using PFN_VesddGetSiteID = std::uint32_t (*)(char* buffer);
using PFN_VesddGetStats = std::uint32_t (*)(std::uint32_t handle, void* buffer, std::uint32_t size);
using PFN_VesddGetMipsStats = std::uint32_t (*)(std::uint32_t handle, void* buffer,
                                                std::uint32_t size);
using PFN_VesddClearMipsStats = std::uint32_t (*)(std::uint32_t handle);
using PFN_VesddGetSN = std::uint32_t (*)(std::uint32_t handle, char* buffer);
using PFN_VesddGetDrvVersion = std::uint32_t (*)(std::uint32_t handle, char* buffer);
using PFN_VesddGetStatsDump = std::uint32_t (*)(std::uint32_t type, char* buffer,
                                                std::uint32_t size, std::uint32_t handle);
using PFN_VesddICSSetRange = std::uint32_t (*)();
using PFN_VesddICSGetConfiguration = std::uint32_t (*)(VESDD_ICS_CONFIG* config);
using PFN_VesddSetReceiveFreq = std::uint32_t (*)(std::uint32_t channel, std::uint32_t freq);
using PFN_VesddGetBoundIPAddress = std::uint32_t (*)(char* buffer, std::uint32_t size);
using PFN_VesddGetAddrStatsEx = std::uint32_t (*)(std::uint32_t handle, void* buffer,
                                                  std::uint32_t size);
using PFN_VesddClearAddrStats = std::uint32_t (*)(std::uint32_t handle);

}  // extern "C"
