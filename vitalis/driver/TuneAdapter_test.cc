// The adapter tuner against the registry's parameter sets and the simulated receiver.
#include "driver/TuneAdapter.h"

#include <gtest/gtest.h>
#include <winport/clock.h>

#include <string>

#include "diag/TestTable.h"
#include "driver/DriverFixture_testing.h"

namespace {

using namespace vitalis_testing;

class CTestTuner : public CTuneAdapter {
 public:
  using CTuneAdapter::GetNextAcqParamSet;
  using CTuneAdapter::m_AcqState;
  using CTuneAdapter::m_CurrentParms;
  using CTuneAdapter::WriteWinVesddValues;
};

class TuneAdapterTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ResetTuning();
    Sim().Set("signal_low", 50);
    Sim().Set("signal_high", 70);
  }

  void Start(CTestTuner& tuner) {
    tuner.SetVesdd(&m_Vesdd, m_dwChannel);
    tuner.Init(nullptr);
  }

  // The frequencies of the sets the tuner hands out until it has none left.
  static std::vector<DWORD> Walk(CTestTuner& tuner) {
    std::vector<DWORD> freqs;
    while (tuner.GetNextAcqParamSet() && freqs.size() < 100)
      freqs.push_back(tuner.m_CurrentParms.dwRxFreq);
    return freqs;
  }

  static std::string Winvesdd(const char* name) {
    std::string text;
    return GetText(kWinvesddKey, name, &text) ? text : "<none>";
  }
  std::string SimValue(const char* name) { return Sim().Get(name); }
};

std::vector<DWORD> Range(DWORD from, DWORD to) {
  std::vector<DWORD> v;
  for (DWORD i = from; i <= to; ++i) v.push_back(i);
  return v;
}

TEST_F(TuneAdapterTest, TwentyFiveSetsComeInBatchesOfTwenty) {
  SetNumParms(25);
  for (DWORD i = 1; i <= 25; ++i) SetParamSet(i, i);
  CTestTuner tuner;
  Start(tuner);
  EXPECT_EQ(tuner.GetBagCount(), 20);
  EXPECT_EQ(tuner.GetNextRegistryIndex(), 21u);
  EXPECT_EQ(Walk(tuner), Range(1, 25));
  EXPECT_EQ(tuner.GetBagCount(), 5);
  // Once all were tried, a restart begins again at the first.
  tuner.Init(nullptr);
  EXPECT_EQ(Walk(tuner), Range(1, 25));
}

TEST_F(TuneAdapterTest, UnreadableSetsAreSkipped) {
  SetNumParms(25);
  for (DWORD i = 1; i <= 25; ++i) SetParamSet(i, i);
  // A value of the wrong type, a missing value, a missing key.
  SetText(std::string(kAcquisitionKey) + "\\Param005", "Timeout", "7");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kAcquisitionKey) + "\\Param020").c_str());
  SetValue(std::string(kAcquisitionKey) + "\\Param024", "BERTune", REG_DWORD, "\1\0", 2);
  CTestTuner tuner;
  Start(tuner);
  // The first batch takes two more in place of the two it skipped.
  EXPECT_EQ(tuner.GetBagCount(), 20);
  EXPECT_EQ(tuner.GetNextRegistryIndex(), 23u);
  std::vector<DWORD> want = Range(1, 25);
  std::erase(want, 5);
  std::erase(want, 20);
  std::erase(want, 24);
  EXPECT_EQ(Walk(tuner), want);

  // In the last batch too: the sets after an unreadable one are still read.
  SetNumParms(3);
  SetText(std::string(kAcquisitionKey) + "\\Param002", "Timeout", "7");
  tuner.Init(nullptr);
  EXPECT_EQ(Walk(tuner), (std::vector<DWORD>{1, 3}));
}

TEST_F(TuneAdapterTest, OneSetIsNeverReadAndEveryRetryEndsIn700) {
  SetNumParms(1);
  SetParamSet(1, 12345);
  CTestTuner tuner;
  Start(tuner);
  EXPECT_EQ(tuner.GetBagCount(), 0);
  Sim().Set("signal_drop", 1);
  EXPECT_FALSE(tuner.IsAdapterTuned());
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(ACQLOST));
  EXPECT_FALSE(tuner.IsAdapterTuned());
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(REACQLOST));
  for (int attempt = 0; attempt < 2; ++attempt) {
    CDiagnostics::SetTestStatus(DIAGTEST_SIGNAL, 0);
    tuner.TuneAdapter();
    EXPECT_EQ(Status(DIAGTEST_SIGNAL), 700u);
    // Only the Winvesdd frequency is ever applied.
    EXPECT_EQ(SimValue("receive_freq"), "11000");
    EXPECT_EQ(tuner.GetAcqTimeoutValue(), 15000u);
    EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(REACQLOST));
  }
  // A missing NumParms keeps the count it had.
  DeleteValue(kAcquisitionKey, "NumParms");
  tuner.Init(nullptr);
  EXPECT_EQ(tuner.GetNumParms(), 0u);
}

TEST_F(TuneAdapterTest, SignalLevelsAndTheAcquisitionStates) {
  CTestTuner tuner;
  Start(tuner);
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(START));
  CDiagnostics::SetTestStatus(DIAGTEST_SIGNAL, 700);

  Sim().Set("signal_level", 70);  // at the upper threshold: good
  EXPECT_EQ(tuner.GetSatelliteStatus(), static_cast<DWORD>(SS_GOOD));
  Sim().Set("signal_level", 50);  // at the lower threshold: marginal, which counts as tuned
  EXPECT_EQ(tuner.GetSatelliteStatus(), static_cast<DWORD>(SS_MARGINAL));
  EXPECT_TRUE(tuner.IsAdapterTuned());
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(GOOD));
  EXPECT_EQ(Status(DIAGTEST_SIGNAL), 0u);  // the first tuned check clears the failure

  Sim().Set("signal_level", 49);
  EXPECT_EQ(tuner.GetSatelliteStatus(), static_cast<DWORD>(SS_BAD));
  // No signal is bad whatever the thresholds.
  Sim().Set("signal_low", 0);
  Sim().Set("signal_high", 0);
  Sim().Set("signal_drop", 1);
  EXPECT_EQ(tuner.GetSatelliteStatus(), static_cast<DWORD>(SS_BAD));
  Sim().Set("fail", "VesddGetSatelliteStatus");
  Sim().Set("signal_drop", 0);
  EXPECT_EQ(tuner.GetSatelliteStatus(), static_cast<DWORD>(SS_BAD));
  Sim().Set("fail", "");

  // GOOD -> ACQLOST by a tuning attempt (retune with the current values), then by bad checks.
  Sim().Set("signal_drop", 1);
  tuner.TuneAdapter();
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(ACQLOST));
  EXPECT_FALSE(tuner.IsAdapterTuned());
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(REACQLOST));
  EXPECT_FALSE(tuner.IsAdapterTuned());
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(REACQLOST));
  // Any good check, from any state, is GOOD.
  Sim().Set("signal_drop", 0);
  EXPECT_TRUE(tuner.IsAdapterTuned());
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(GOOD));

  // Without a driver interface the signal is bad and no frequency is set.
  CTestTuner unbound;
  unbound.Init(nullptr);
  EXPECT_EQ(unbound.GetSatelliteStatus(), static_cast<DWORD>(SS_BAD));
  Sim().Set("receive_freq", "none");
  unbound.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "none");
}

TEST_F(TuneAdapterTest, WalkingTheSetsFindsTheOneThatLocks) {
  SetNumParms(3);
  SetParamSet(1, 12100, 0);
  SetParamSet(2, 12200, 4);
  SetParamSet(3, 12300, 6);
  // Only the third set locks the receiver.
  Sim().Set("good_sets", "VESDD_RX_FREQ=12300,ReceiveSymbolRate=20003");
  Sim().Set("locked", 0);
  CTestTuner tuner;
  Start(tuner);

  // Lost at the start: a retune with the Winvesdd values as they are.
  EXPECT_FALSE(tuner.IsAdapterTuned());  // ACQLOST
  tuner.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "11000");
  EXPECT_EQ(Winvesdd("ReceiveSymbolRate"), "<none>");
  EXPECT_FALSE(tuner.IsAdapterTuned());  // REACQLOST
  tuner.TuneAdapter();                   // the first set; a time-out of 0 is 15 s
  EXPECT_EQ(SimValue("receive_freq"), "12100");
  EXPECT_EQ(Winvesdd("ReceiveSymbolRate"), "20001");
  EXPECT_EQ(tuner.GetAcqTimeoutValue(), 15000u);
  EXPECT_FALSE(tuner.IsAdapterTuned());
  tuner.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "12200");
  EXPECT_EQ(tuner.GetAcqTimeoutValue(), 4000u);
  EXPECT_FALSE(tuner.IsAdapterTuned());
  tuner.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "12300");
  EXPECT_EQ(Winvesdd("VESDD_RX_FREQ"), "12300");
  EXPECT_EQ(Winvesdd("FilterRolloff"), "7");
  EXPECT_EQ(Winvesdd("Timeout"), "<none>");
  EXPECT_EQ(tuner.GetAcqTimeoutValue(), 6000u);
  EXPECT_TRUE(tuner.IsAdapterTuned());
  EXPECT_EQ(tuner.GetAcqState(), static_cast<DWORD>(GOOD));

  // An acquisition that takes its time: no signal until it is done.
  Sim().Set("acquire_time", 30);
  tuner.TuneAdapter();
  EXPECT_EQ(Sim().Get("locked"), "1");
  EXPECT_FALSE(tuner.IsAdapterTuned());
  winport::AdvanceClock(30);
  EXPECT_TRUE(tuner.IsAdapterTuned());
}

TEST_F(TuneAdapterTest, WinvesddValuesWrittenAndReadBack) {
  CTestTuner tuner;
  Start(tuner);
  // Parameters that are not set are not written; the rest as decimal text.
  tuner.m_CurrentParms.dwRxFreq = 0x80000000u;
  tuner.m_CurrentParms.dwBERTune = 9;
  EXPECT_TRUE(tuner.WriteWinVesddValues());
  EXPECT_EQ(Winvesdd("VESDD_RX_FREQ"), "-2147483648");
  EXPECT_EQ(Winvesdd("BERTune"), "9");
  EXPECT_EQ(Winvesdd("LNBControl"), "<none>");
  tuner.m_AcqState = ACQLOST;
  tuner.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "2147483648");

  // A frequency text that fills the 18-byte buffer without its zero is read within it; a longer
  // one, or one that is not text, is not read and no frequency is set.
  SetValue(kWinvesddKey, "VESDD_RX_FREQ", REG_SZ, "000000000000012345", 18);
  tuner.m_CurrentParms.dwRxFreq = ACQ_PARM_NOT_SET;
  tuner.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "12345");
  EXPECT_EQ(tuner.GetFrequency(), 12345u);
  SetText(kWinvesddKey, "VESDD_RX_FREQ", "0000000000000000099");
  tuner.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "12345");
  SetDword(kWinvesddKey, "VESDD_RX_FREQ", 777);
  tuner.TuneAdapter();
  EXPECT_EQ(SimValue("receive_freq"), "12345");

  // Without the Winvesdd key nothing is written.
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kWinvesddKey);
  EXPECT_FALSE(tuner.WriteWinVesddValues());
}

TEST_F(TuneAdapterTest, DestructionClearsTheSignalFailureEvenWithAPassOpen) {
  SetNumParms(4);
  for (DWORD i = 1; i <= 4; ++i) SetParamSet(i, i);
  CDiagnostics::SetTestStatus(DIAGTEST_SIGNAL, 700);
  {
    CTestTuner tuner;
    Start(tuner);
    ASSERT_TRUE(tuner.GetNextAcqParamSet());
  }
  EXPECT_EQ(Status(DIAGTEST_SIGNAL), 0u);
}

}  // namespace
