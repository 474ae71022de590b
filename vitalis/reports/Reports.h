// Reports worker. On the primary thread it keeps the daily reporting schedule: a random minute
// inside the reporting hour, the transmission mode, the connection state the navigator announces
// and the requests to the navigator. Its own thread is one upload run: every waiting report
// file goes to the health-reporting server over a TCP connection of its own, and each file the
// server accepts is deleted.
#pragma once

#include <ctime>

#include "core/Thread.h"
#include "core/Win.h"

class CReportStore;
class CVESDDInterface;
class CFileTx;

// Connection states announced by the navigator (DAK_CONNSTATE).
constexpr DWORD CONN_IDLE = 0;
constexpr DWORD CONN_CONNECTING = 1;
constexpr DWORD CONN_CONNECTED = 2;

// First parameter of "WM_HealthReportSent".
constexpr WPARAM HR_SENT_DONE = 0;
constexpr WPARAM HR_SENT_ABORTED = 1;
constexpr WPARAM NO_REPORT_TO_SEND = 2;

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

// One report file of an upload run.
struct TxRecord {
  char* m_pszPath = nullptr;  // the bag's text or the current-report buffer; not owned
  SOCKET m_Socket = INVALID_SOCKET;
  std::time_t m_tLastSend = 0;
  BOOL m_bAwaitingResponse = FALSE;
  BOOL m_bDeleted = FALSE;
  BOOL m_bResponseHandled = FALSE;
  // An answer line was read that leaves the file waiting (status 500, an invalid or over-long
  // line): nothing more is read from this connection, which is left to its answer time-out.
  BOOL m_bNoMoreReads = FALSE;
};

// A set of up to 64 sockets for one readiness check.
struct SocketSet {
  static constexpr int kMax = 64;
  int m_nCount = 0;
  SOCKET m_Sockets[kMax] = {};
  void Clear() { m_nCount = 0; }
  bool Add(SOCKET s);
  bool Contains(SOCKET s) const;
};

class CReports : public CThread {
 public:
  explicit CReports(CReportStore* store);
  ~CReports() override;
  const char* GetClassName() override { return "CReports (Reports Thread)"; }

  // The upload run (the reports thread's body).
  BOOL Run() override;

  void InitVesdd(CVESDDInterface* driver, DWORD channel);
  BOOL InitFromRegistry();
  void GetTxMode();
  void OnTimer();
  // A DAK_CONNSTATE record, already checked by the caller to be as long as its layout.
  void ConnectionMessage(const BYTE* message);
  BOOL RequestForConnection();
  BOOL SendHRReportSentMsg(WPARAM code);

  // Seconds the server has to answer a file after its last packet.
  static constexpr std::time_t kAnswerTimeout = 10;
  static constexpr DWORD kDefaultTxUnit = 10240;
  // Longest answer line kept: the status line must end before this many bytes.
  static constexpr int kLineBuffer = 255;

 protected:
  // Schedule.
  UINT GetRandomHour();
  std::time_t GetNewReportingTime();
  BOOL IsReportingHour();
  BOOL IsReportingTime();
  void HandleReportingTime();
  void ConnStateChange(DWORD newState);
  void OnConnected();
  void OnDisconnected();
  BOOL IsIPAddrCorrect(const char* address);
  BOOL IsThreadRunning();

  // Upload run.
  BOOL InitializeReportsThread();
  void PopulateTxBag();
  int TxFile(HANDLE file, DWORD size, int index);
  int TxBuffer(const char* packet, DWORD length);
  int selectForRead();
  int ChkForServResponse(TxRecord* record);
  static int parseResponseForStatus(const char* line);
  BOOL ChkForServTimeout();
  BOOL DeleteTxFile(const char* path);
  void MkBkup(int index, const char* packet, DWORD length);
  void CloseSock(SOCKET* s);
  void CleanupReportsThread();
  // Reads the servers' answers on the sockets the latest readiness check found ready.
  void ReadResponses(int ready);
  // One pass's sending of a file (socket set-up, header, body line, file), with the pass flags.
  void SendFile(TxRecord* record, const char* siteId, HANDLE* file, BOOL* bAllOver,
                BOOL* bContinue);
  // Connects `s` to the server, giving up after the answer time-out or on a shutdown request.
  bool ConnectToServer(SOCKET s, const void* address, unsigned addressLength);
  // Sends a short piece (header, body line) whole, waiting at most 1 s for each part.
  bool SendWhole(SOCKET s, const char* data, DWORD length);
  BOOL ShutdownRequested() { return !WaitForShutDown(0); }

  TxRecord** m_SList;
  int m_nSListSize;
  int m_nRecordIndex;  // index of the latest record of the run, -1 when none
  UINT m_uReportingHour;
  CReportStore* m_pReportStore;
  DWORD m_dwConnState;
  DWORD m_dwPrevConnState;
  int m_nConnAttempts;
  std::time_t m_tReportingTime;
  CVESDDInterface* m_pVesdd;
  DWORD m_dwChannel;
  CFileTx* m_TxBag;
  SocketSet m_ReadSet;
  SocketSet m_WriteSet;
  SocketSet m_ExceptSet;
  DWORD m_dwWaitSeconds;
  DWORD m_dwMaxTxUnit;
  BOOL m_bReportingTimeSet;
  UINT m_uTxMode;
  BOOL m_bTracing;
  char m_szServerAddress[16];
  DWORD m_dwServerPort;
  char m_szBackupDir[MAX_PATH];
  BOOL m_bWeRequested;
  BOOL m_bHourDone;
};
