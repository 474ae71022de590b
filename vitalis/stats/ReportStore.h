// Report store: owner of the period's statistics and of the report files.
// NOT DONE YET: this is a stand-in carrying only what the module core calls; every operation
// does nothing and returns the neutral result. The statistics work replaces it.
#pragma once

#include "core/Win.h"

class CVESDDInterface;

class CReportStore {
 public:
  CReportStore();
  virtual ~CReportStore();

  BOOL InitFromRegistry();
  void SetEnableType(BOOL siteId, BOOL serviceSpecific, BOOL enabled);
  void InitVesdd(CVESDDInterface* driver, DWORD channel);
  BOOL Initialize();
  void OnTimer();
  BOOL OnShutDown();
  // One DAK_GENERIC record, already checked by the caller to lie within its message.
  BOOL WriteGeneralData(const BYTE* message);

  // "MainDirectory", or empty when unknown.
  const char* GetBaseDirectory() const { return m_szBaseDir; }

 protected:
  char m_szBaseDir[MAX_PATH];
};
