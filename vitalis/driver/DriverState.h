// Driver state and tuning worker.
// NOT DONE YET: this is a stand-in carrying only what the module core calls; its thread
// starts and idles until it is asked to stop.
#pragma once

#include "core/IdleWorker.h"
#include "core/Win.h"

class CDiagnostics;
class CVESDDInterface;

class CDriverState : public CIdleWorker {
 public:
  explicit CDriverState(CDiagnostics* diagnostics);
  ~CDriverState() override;
  const char* GetClassName() override { return "CDriverState (Tuning Thread)"; }

  void Init();
  void InitVesdd(CVESDDInterface* driver, DWORD channel);
  void UpdateConfig();
  void UIConfigUpdate();

 protected:
  CDiagnostics* m_pDiagnostics;
};
