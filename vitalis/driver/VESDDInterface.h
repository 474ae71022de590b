// The receive-driver access library "VESDD32.DLL". One object is shared by pointer between
// the module's threads; the library calls marked locked below run under the object's lock.
#pragma once

#include <vesdd32.h>
#include <winport/sync.h>
#include <winport/types.h>

#include "driver/LoadableModule.h"

class CVESDDInterface : public CLoadableModule {
 public:
  CVESDDInterface();
  ~CVESDDInterface() override;

  // Loads the library and binds all nineteen entry points; m_bLoaded says whether it worked.
  winport::BOOL Load() override;
  // Under the lock: frees the library and clears every entry point.
  winport::BOOL Unload();

  // Not locked. True iff the library result is 0 or more; the result is the channel handle.
  winport::BOOL OpenChannel(winport::DWORD mode, winport::DWORD* handle);
  winport::BOOL CloseChannel(winport::DWORD handle);
  // The driver's last error code; -1 when the entry point is missing.
  winport::DWORD GetLastError();

  // Locked.
  winport::DWORD GetSatelliteStatus(void* status, winport::DWORD handle);  // non-zero = filled
  winport::BOOL GetDriverOperationMode(winport::WORD* mode);
  winport::BOOL GetSiteID(char* buffer);
  winport::BOOL GetStats(winport::DWORD handle, void* buffer, winport::DWORD size);
  winport::BOOL GetMipsStats(winport::DWORD handle, void* buffer, winport::DWORD size);
  winport::BOOL GetSN(winport::DWORD handle, char* buffer);
  winport::BOOL GetDrvVersion(winport::DWORD handle, char* buffer);
  winport::DWORD GetStatsDump(winport::DWORD handle, char* buffer, winport::DWORD size);
  winport::DWORD ICSSetRange();
  winport::DWORD ICSGetConfiguration(VESDD_ICS_CONFIG* config);  // non-zero = filled
  winport::BOOL SetReceiveFreq(winport::DWORD channel, winport::DWORD freq);
  winport::BOOL GetBoundIPAddress(char* buffer, winport::DWORD size);

  // Library loaded and every entry point bound; users test it before calling.
  winport::BOOL m_bLoaded;

 private:
  void ClearEntryPoints();

  winport::CRITICAL_SECTION m_csLock;
  PFN_VesddOpenChannel m_pfnOpenChannel;
  PFN_VesddCloseChannel m_pfnCloseChannel;
  PFN_VesddGetSatelliteStatus m_pfnGetSatelliteStatus;
  PFN_VesddGetStats m_pfnGetStats;
  PFN_VesddGetDriverOperationMode m_pfnGetDriverOperationMode;
  PFN_VesddGetLastError m_pfnGetLastError;
  PFN_VesddGetSiteID m_pfnGetSiteID;
  PFN_VesddGetMipsStats m_pfnGetMipsStats;
  PFN_VesddClearMipsStats m_pfnClearMipsStats;
  PFN_VesddGetSN m_pfnGetSN;
  PFN_VesddGetDrvVersion m_pfnGetDrvVersion;
  PFN_VesddGetStatsDump m_pfnGetStatsDump;
  PFN_VesddICSSetRange m_pfnICSSetRange;
  PFN_VesddICSGetConfiguration m_pfnICSGetConfiguration;
  PFN_VesddSetReceiveFreq m_pfnSetReceiveFreq;
  PFN_VesddGetBoundIPAddress m_pfnGetBoundIPAddress;
  PFN_VesddGetAddrStatsEx m_pfnGetAddrStatsEx;
  PFN_VesddClearAddrStats m_pfnClearAddrStats;
};
