// Webcast set-up: the product's webcast service may be installed suspended. This object notes
// whether it is, and once a configuration change finds it enabled, sets it up once through the
// webcast setup library ("wcsetup.ocx") and starts the proxy service. Used on the primary thread.
#pragma once

#include <wcsetup.h>

#include "core/Win.h"
#include "driver/LoadableModule.h"

class CWebcastSetup : public CLoadableModule {
 public:
  CWebcastSetup();
  ~CWebcastSetup() override;

  // Loads "wcsetup.ocx" and binds "acSetupService"; true when both succeeded.
  BOOL Load() override;
  // Asks the utility library whether the webcast service is suspended.
  void ReadWebcastStatus();
  // Sets the service up: acSetupService, then the proxy service. True when every step succeeded.
  BOOL ConfigureWebcast();
  // On a configuration change: sets the service up when it was suspended and no longer is.
  void UpdateWebcastStatus();

  BOOL IsSuspended() const { return m_bSuspended; }

 protected:
  BOOL m_bSuspended;
  PFN_acSetupService m_pfnAcSetupService;
};
