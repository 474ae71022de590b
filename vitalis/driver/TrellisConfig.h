// The transport control "Trellis.ocx". Built for a single probe; its entry points are shared
// by every object of the class and cleared when one of them unloads.
#pragma once

#include <trellis.h>
#include <winport/types.h>

#include "driver/LoadableModule.h"

class CTrellisConfig : public CLoadableModule {
 public:
  CTrellisConfig();
  ~CTrellisConfig() override;

  winport::BOOL Load() override;
  winport::BOOL Unload();

  winport::BOOL OpenChannel();   // non-zero = opened
  winport::BOOL CloseChannel();  // non-zero = closed
  winport::DWORD GetLastError();
  // The transport probe: non-zero when the control answered. Leaves the library unloaded.
  winport::BOOL IsTrellisResponding();

 private:
  winport::DWORD m_dwChannel;
  static PFN_TrellisOpenChannel s_pfnOpenChannel;
  static PFN_TrellisCloseChannel s_pfnCloseChannel;
  static PFN_TrellisGetLastError s_pfnGetLastError;
};
