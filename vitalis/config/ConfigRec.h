// Configuration record worker: writes one configuration record when the product changed.
// NOT DONE YET: this is a stand-in carrying only what the module core calls; its thread
// starts and idles until it is asked to stop.
#pragma once

#include "core/IdleWorker.h"
#include "core/Win.h"

class CReportStore;

class CConfigRec : public CIdleWorker {
 public:
  explicit CConfigRec(CReportStore* store);
  ~CConfigRec() override;
  const char* GetClassName() override { return "CConfigRec (Config Thread)"; }

 protected:
  CReportStore* m_pReportStore;
};
