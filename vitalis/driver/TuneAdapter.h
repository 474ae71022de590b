// The adapter tuner: the acquisition state of the receiver and the acquisition parameter sets
// that the service information keeps in the registry. A set is handed to the receive driver
// through the Winvesdd key, then the driver is told the frequency; while the signal stays lost
// the tuner walks through the sets. Runs only on the tuning thread.
#pragma once

#include <winport/sync.h>

#include "core/Win.h"
#include "reports/ProxyBag.h"

class CDriverState;
class CVESDDInterface;

inline constexpr const char kServiceInformationKey[] =
    "SOFTWARE\\Tessaline\\Orbilink\\ServiceInformation";
inline constexpr const char kAcquisitionKey[] =
    "SOFTWARE\\Tessaline\\Orbilink\\ServiceInformation\\Acquisition";
inline constexpr const char kWinvesddKey[] = "SOFTWARE\\Tessaline\\Orbilink\\Winvesdd";

// A parameter that is not set.
constexpr DWORD ACQ_PARM_NOT_SET = 0xFFFFFFFF;

// One acquisition parameter set; every bag item is a heap copy of one.
struct ACQ_PARMS {
  DWORD dwBERTune;
  DWORD dwRxFreq;  // "VESDD_RX_FREQ"
  DWORD dwReceiveSymbolRate;
  DWORD dwModulationType;
  DWORD dwViterbiMode;
  DWORD dwScramblerMode;
  DWORD dwFramingMode;
  DWORD dwLNBControl;
  DWORD dwFilterRolloff;
  DWORD dwTimeout;  // seconds
};
static_assert(sizeof(ACQ_PARMS) == 40);

enum AcqState : DWORD { START = 0, GOOD = 1, ACQLOST = 2, REACQLOST = 3 };
enum SignalLevel : DWORD { SS_GOOD = 1, SS_MARGINAL = 2, SS_BAD = 3 };

class CTuneAdapter {
 public:
  static constexpr int MAX_COUNT_IN_BAG = 20;
  // The signal strength test's status when no parameter set gives a usable signal.
  static constexpr DWORD SIGNAL_TEST_FAILED = 700;

  CTuneAdapter();
  ~CTuneAdapter();
  CTuneAdapter(const CTuneAdapter&) = delete;
  CTuneAdapter& operator=(const CTuneAdapter&) = delete;

  // With the owner at start; with null, start over at the first parameter set.
  void Init(CDriverState* owner);
  void SetVesdd(CVESDDInterface* vesdd, DWORD channel) {
    m_pVesdd = vesdd;
    m_dwChannel = channel;
  }

  // One tuning attempt according to the acquisition state.
  void TuneAdapter();
  // True unless the signal is bad; advances the acquisition state.
  BOOL IsAdapterTuned();
  DWORD GetSatelliteStatus();
  // The current set's acquisition time-out in milliseconds (15 s when it has none).
  DWORD GetAcqTimeoutValue();
  void SetSignalTestFailure(DWORD code);

  // Ends a pass over the bag that is still open. The bag's lock is held from a pass's start
  // until it is exhausted, so the thread that walks the sets calls this before it ends.
  void EndPass();

  DWORD GetAcqState() const { return m_AcqState; }
  DWORD GetNumParms() const { return m_dwNumParms; }
  DWORD GetNextRegistryIndex() const { return m_dwNextIndex; }
  int GetBagCount() { return m_Bag.GetCount(); }
  const ACQ_PARMS& GetCurrentParms() const { return m_CurrentParms; }
  DWORD GetFrequency() const { return m_dwFrequency; }

 protected:
  void InitializeAcqParams();
  void InitFromRegistry();
  BOOL ReadNumParms();
  int ReadNextSetInBag();
  BOOL ReadParms(ACQ_PARMS* set, const char* keyName);
  BOOL GetAcqParms(ACQ_PARMS* set);
  BOOL GetNextAcqParamSet();
  void TuneAdapterWithAcqParm(BOOL retune);
  void SetAcqTimerTimeout();
  BOOL WriteWinVesddValues();
  BOOL ReadFreq();
  void CleanOutBag();
  void BeginPass();

  CVESDDInterface* m_pVesdd;
  CDriverState* m_pOwner;
  ProxyBag m_Bag;
  DWORD m_dwNumParms;
  DWORD m_dwNextIndex;
  ACQ_PARMS m_CurrentParms;
  DWORD m_AcqState;
  DWORD m_dwChannel;
  BOOL m_bTuned;
  BOOL m_bFirstTime;
  CRITICAL_SECTION m_csLock;
  // The frequency last read back from the Winvesdd key.
  DWORD m_dwFrequency;
  // Sets handed out in the current pass, and whether a pass holds the bag's iteration.
  int m_nBagPosition;
  bool m_bInPass;
};
