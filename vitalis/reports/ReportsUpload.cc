// The upload run: the body of the reports thread. Every waiting report file goes to the server
// over its own TCP connection as one PUT request; the answers are collected over all open
// connections at once, and a file is deleted only when its own connection said 202.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/TraceLog.h"
#include "reports/ProxyBag.h"
#include "reports/Reports.h"
#include "stats/ReportStore.h"

namespace {

constexpr int kBagCapacity = 10;
constexpr int kMaxWriteAttempts = 20;
constexpr DWORD kShutdownPollMs = 5;
constexpr int kWriteWaitMs = 1000;
// While a connection or an answer line is waited for, the shutdown request is looked at this
// often.
constexpr int kSliceMs = 100;

// Waits for `events` on one socket; true when it came.
bool WaitFor(SOCKET s, short events, int milliseconds) {
  pollfd one{s, events, 0};
  int n;
  do {
    n = ::poll(&one, 1, milliseconds);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

const char* Shown(const char* path) {
  return path != nullptr ? path : "(null)";
}

}  // namespace

BOOL CReports::InitializeReportsThread() {
  m_TxBag = new (std::nothrow) CFileTx(kBagCapacity);
  if (m_TxBag == nullptr) {
    LogErrorF("CReports::InitializeReportsThread - FATAL - could not allocate memory");
    m_bInitOK = FALSE;
    return FALSE;
  }
  if (m_bTracing) {
    LogErrorF("CReports::InitializeReportsThread -tracing enabled");
    if (CreateDirectoryA(m_szBackupDir, nullptr) ||
        winport::GetLastError() == ERROR_ALREADY_EXISTS) {
      LogInfoF("CReports::InitializeReportsThread - directory created = %s", m_szBackupDir);
    } else {
      LogInfoF("CReports::InitializeReportsThread - directory couldnot be created %d",
               static_cast<int>(winport::GetLastError()));
    }
  }
  m_dwWaitSeconds = 1;

  bool badServer = m_szServerAddress[0] == '\0' || m_dwServerPort == 0;
  if (!badServer)
    LogInfoF("CReports::InitializeReportsThread - Valid IP address and port ");
  else
    m_bInitOK = FALSE;

  if (SetEvent(m_hInitEvent)) {
    LogInfoF("CReports::InitializeReportsThread - event set");
  } else {
    LogErrorF("CReports::Run -- SetEvent  failed");
    m_bInitOK = FALSE;
  }
  if (m_bInitOK) return TRUE;

  if (badServer) LogInfoF("CReports::InitializeReportsThread - Invalid ip - not sending reports");
  SendHRReportSentMsg(HR_SENT_ABORTED);
  delete m_TxBag;
  m_TxBag = nullptr;
  return FALSE;
}

void CReports::PopulateTxBag() {
  LogInfoF("CReports::PopulateTxBag() - ");
  const std::string dir = std::string(m_pReportStore->GetBaseDirectory()) + "\\Vitalis";
  const std::string pattern = dir + "\\HR*.ini";
  LogInfoF("CReports::PopulateTxBag- looking for files in dir = %s", pattern.c_str());

  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::string full = dir + "\\" + data.cFileName;
    if (full.size() >= MAX_PATH) continue;  // cannot be named in a path buffer
    char* path = new (std::nothrow) char[MAX_PATH]();
    if (path == nullptr) break;
    std::memcpy(path, full.c_str(), full.size());
    LogInfoF("CReports::PopulateTxBag- while loop for file = %s", data.cFileName);
    char current[MAX_PATH];
    m_pReportStore->GetCurrentReportPath(current, sizeof current);
    if (strcasecmp(path, current) == 0) {
      LogInfoF("CReports::PopulateTxBag- file %s is the current  ini file", data.cFileName);
      delete[] path;
      continue;
    }
    if (m_TxBag->Put(path)) {
      LogInfoF("CReports::PopulateTxBag- file added to the bag = %s", path);
    } else {
      delete[] path;  // not stored: still ours
    }
  } while (FindNextFileA(find, &data));
  if (!FindClose(find)) LogError("CReports::PopulateTxBag: FindClose", winport::GetLastError());
}

BOOL CReports::Run() {
  LogInfoF("CReports::Run ");
  m_bInitOK = TRUE;
  if (!InitializeReportsThread()) return FALSE;

  char siteId[16] = {};
  m_pReportStore->GetSiteID(siteId);
  if (siteId[0] == '\0') std::snprintf(siteId, sizeof siteId, "N.A.");
  PopulateTxBag();
  const int fileCount = m_TxBag->GetFileCount();
  LogInfoF("CReports::Run - No of HR files for tx = %d", fileCount);

  BOOL bAllOver = FALSE;
  BOOL bContinue = FALSE;
  BOOL bChkForRead = FALSE;
  BOOL bSendCurrentINI = FALSE;
  char* currentFile = nullptr;
  bool skipLoop = false;
  m_nRecordIndex = -1;
  if (ShutdownRequested()) {
    LogInfoF("CReports::Run - shutdown event encountered");
    skipLoop = true;
  } else {
    m_nSListSize = fileCount + 1;
    m_SList = new (std::nothrow) TxRecord*[m_nSListSize]();
    if (m_SList == nullptr) {
      LogErrorF("CReports::Run FATAL ERROR - could not allocate mem.");
      m_nSListSize = 0;
      skipLoop = true;
    } else if (fileCount == 0) {
      LogInfoF("CReports::Run - only one file is present i.e the current ini file");
      bSendCurrentINI = TRUE;
    } else {
      LogInfoF("CReports::Run - There are more than one ini file present to be Tx'ed.");
    }
  }

  m_TxBag->BeginIteration();
  bool stopAfterPass = false;
  while (!skipLoop) {
    bContinue = FALSE;
    HANDLE file = INVALID_HANDLE_VALUE;
    TxRecord* record = nullptr;
    bool leave = false;
    try {
      LogInfoF("CReports::Run - at the start of the while loop");
      char* path = nullptr;
      bool pathEmpty = false;
      if (!bSendCurrentINI) {
        path = static_cast<char*>(m_TxBag->Next());
        LogInfoF("CReports::Run PickingUP another name from the bag %s", Shown(path));
      } else {
        delete[] currentFile;
        currentFile = new (std::nothrow) char[MAX_PATH]();
        if (currentFile == nullptr) {
          LogInfoF("Could not allocate mem for the current ini file obj.");
        } else {
          bChkForRead = TRUE;
          char current[MAX_PATH];
          m_pReportStore->GetCurrentReportPath(current, sizeof current);
          const char* slash = std::strrchr(current, '\\');
          LogInfoF("CReports::Run - picking up the current INI file for Tx %s",
                   slash != nullptr ? slash + 1 : current);
          LogInfoF("CReports::Run - will attempt Tx for the file %s", current);
          if (current[0] == '\0') {
            bAllOver = TRUE;
            pathEmpty = true;
          } else {
            std::snprintf(currentFile, MAX_PATH, "%s", current);
            m_pReportStore->GetNewININame();
            path = currentFile;
          }
        }
      }

      if (pathEmpty) {
        // nothing to send: straight to the end of the pass
      } else if (path == nullptr) {
        LogInfoF("obFileTx = NULL CReports::Run()- no more data to send");
        bChkForRead = m_nRecordIndex >= 0;
        if (bSendCurrentINI || m_nRecordIndex < 0) bAllOver = TRUE;
      } else if (m_nRecordIndex + 1 >= m_nSListSize ||
                 (record = new (std::nothrow) TxRecord) == nullptr) {
        LogErrorF("CReports::Run FATAL ERROR - could not allocate mem.");
        leave = true;
      } else {
        record->m_pszPath = path;
        m_SList[++m_nRecordIndex] = record;
        LogInfoF("CReports::Run - made new m_SList object for file = %s", path);
        if (ShutdownRequested()) {
          LogInfoF("CReports::Run - shutdown encountered");
        } else {
          SendFile(record, siteId, &file, &bAllOver, &bContinue);
        }
      }
    } catch (...) {
      LogErrorF("CReports::Run - fatal unhandled exception occured inside while");
    }
    if (leave) break;

    if (file != INVALID_HANDLE_VALUE) {
      if (CloseHandle(file))
        LogInfoF("CReports::Run - closed file %s", record->m_pszPath);
      else
        LogErrorF("CReports::Run - could not close file handle %s %d", record->m_pszPath,
                  static_cast<int>(winport::GetLastError()));
    }
    if (record != nullptr)
      LogInfoF("CReports::Run - outside __except - while loop processing was for file %s",
               record->m_pszPath);
    LogInfoF(
        "CReports::Run - the values of flags bAllOver = %d ... bContinue = %d...  "
        "....bChkForRead = %d......bSendCurrentINI = %d",
        static_cast<int>(bAllOver), static_cast<int>(bContinue), static_cast<int>(bChkForRead),
        static_cast<int>(bSendCurrentINI));
    if (bAllOver) {
      LogInfoF("CReports::Run - inside while - received bAllOver TRUE -exiting while");
      break;
    }
    if (bContinue) {
      LogInfoF(
          "CReports::Run - inside while after except - received bContinue TRUE -not adding "
          "socket for read.");
      if (record != nullptr && record->m_Socket != INVALID_SOCKET) CloseSock(&record->m_Socket);
    }
    if (ShutdownRequested()) {
      LogInfoF(
          "CReports::Run - inside while after except - received m_bShutDown TRUE -exiting "
          "while.");
      break;
    }
    if (bChkForRead) {
      LogInfoF(
          "CReports::Run - bChkForRead TRUE - all obj's in the bag processed- now checking for "
          "current ini file");
      if (bSendCurrentINI) {
        bAllOver = TRUE;
        if (bContinue) {
          LogInfoF("CReports::Run-  Could not send the current ini file successfully");
          break;
        }
        LogInfoF("CReports::Run-  Selecting the current ini file socket for read.");
        if (record != nullptr) record->m_bAwaitingResponse = TRUE;
        selectForRead();
        break;
      }
      char current[MAX_PATH];
      m_pReportStore->GetCurrentReportPath(current, sizeof current);
      if (!m_pReportStore->FileReadyForTx(current)) {
        LogInfoF("CReports::Run - bChkForRead - don't send current ini file %s", current);
        bSendCurrentINI = FALSE;
        stopAfterPass = true;
        bAllOver = TRUE;
      } else {
        LogInfoF("CReports::Run - bChkForRead - send the current ini file %s", current);
        bSendCurrentINI = TRUE;
      }
    }
    if (!bChkForRead && !bContinue && record != nullptr) {
      LogInfoF("CReports::Run - inside while after except - selecting current socket for read");
      record->m_bAwaitingResponse = TRUE;
    } else {
      LogInfoF("CReports::Run - inside while - not selecting current socket for read.");
    }
    int ready = selectForRead();
    LogInfoF("inside while - we have %d sockets having data on them ", ready);
    if (ready > 0) {
      LogInfoF(
          "CReports:Run - inside while after except - we have data on one of the sockets to be "
          "read.");
      if (ShutdownRequested()) break;
      ReadResponses(ready);
    }
    ChkForServTimeout();
    LogInfoF("CReports::Run - at the end of the while loop");
    if (stopAfterPass) break;
  }

  LogInfoF("CReports::Run() - outside while loop");
  if (m_TxBag != nullptr)
    m_TxBag->EndIteration();
  else
    LogInfoF("m_TxBag == NULL");

  if (bAllOver && !ShutdownRequested()) {
    LogInfoF("CReports:Run -  inside bAllOver and !m_bShutDown");
    while (!ShutdownRequested() && !ChkForServTimeout()) {
      int ready = selectForRead();
      LogInfoF("outside while we have %d sockets waiting for read", ready);
      if (ready > 0) {
        LogInfoF("CReports::Run- outside while - there is data to be read.");
        ReadResponses(ready);
      } else if (m_ReadSet.m_nCount == 0 && ready == 0) {
        // Only connections that are read no more are left: their time-out is all that can
        // end them, so wait for it here rather than spin.
        WaitForShutDown(m_dwWaitSeconds * 1000);
      }
    }
  }

  // The current file's record points at this text until its record is freed.
  CleanupReportsThread();
  delete[] currentFile;

  if (ShutdownRequested()) {
    LogInfoF("CReports::Run - shutdown message received aborting op.- outside while loop");
    SendHRReportSentMsg(HR_SENT_ABORTED);
    return FALSE;
  }
  LogInfoF("CReports::Run - successfully sent the health reports ");
  SendHRReportSentMsg(HR_SENT_DONE);
  m_bStarted = FALSE;
  return TRUE;
}

void CReports::SendFile(TxRecord* record, const char* siteId, HANDLE* file, BOOL* bAllOver,
                        BOOL* bContinue) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(m_dwServerPort));
  if (m_dwServerPort > 0xFFFF || ::inet_pton(AF_INET, m_szServerAddress, &server.sin_addr) != 1) {
    LogErrorF(
        "CReports Error: Unable to convert server address into appropriate form - aborting Tx "
        "operation");
    *bAllOver = TRUE;
    return;
  }

  record->m_Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (record->m_Socket == INVALID_SOCKET) {
    LogError("CReports::Run: Invalid Socket- skipping this file error code ",
             winport::ErrorFromErrno(errno));
    *bContinue = TRUE;
    return;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(record->m_Socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    LogErrorF("CReports Error: bind error - skipping file");
    *bContinue = TRUE;
    return;
  }
  linger lingering{1, 30};
  if (::setsockopt(record->m_Socket, SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering) != 0) {
    LogErrorF(
        "CReports Error: setsockopt() unable to set SO_LINGER on, err code = %d - skipping file",
        errno);
    *bContinue = TRUE;
    return;
  }

  LogInfoF("CReports::Run - will attempt to read from the file %s", record->m_pszPath);
  *file = CreateFileA(record->m_pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (*file == INVALID_HANDLE_VALUE) {
    LogErrorF(
        "ERROR - CReports::Run() - could not open file for sending - skipping file err code = %d",
        static_cast<int>(winport::GetLastError()));
    *bContinue = TRUE;
    return;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(*file, &high);
  if (size == INVALID_FILE_SIZE && winport::GetLastError() != ERROR_SUCCESS) {
    LogErrorF("ERROR - CReports::run - GetFileSize Error - skipping file err code %d",
              static_cast<int>(winport::GetLastError()));
    *bContinue = TRUE;
    return;
  }
  if (high != 0 || size > 0x7FFFFFF0u) {
    // Content-Length is written as a signed 32-bit number.
    LogErrorF("ERROR - CReports::run - GetFileSize Error - skipping file err code %d",
              223 /* ERROR_FILE_TOO_LARGE */);
    *bContinue = TRUE;
    return;
  }
  if (size == 0) {
    LogErrorF("CReports ::Run Inconsistency,  file size is 0, not transmitting for this file");
    *bContinue = TRUE;
    return;
  }
  if (size > m_dwMaxTxUnit)
    LogInfoF(" File size %d > %d - will Tx in chunks", static_cast<int>(size),
             static_cast<int>(m_dwMaxTxUnit));

  char body[64];
  int bodyLength = std::snprintf(body, sizeof body, "BODY %02d %s %c", 3, siteId, '\r');
  char header[128];
  int headerLength = std::snprintf(header, sizeof header, "PUT %s %s%c%cContent-Length:%d%c%c%c%c",
                                   "Request-URI", "HTTP/1.0", '\r', '\n',
                                   static_cast<int>(bodyLength + size + 2), '\r', '\n', '\r', '\n');

  int on = 1;
  if (::setsockopt(record->m_Socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
    LogErrorF("CReports::run(), Error, TCP_NODELAY fail, err=%i", errno);
  if (::setsockopt(record->m_Socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
    LogErrorF("CReports::run(), Error, SO_KEEPALIVE fail");

  if (ShutdownRequested()) {
    LogInfoF("CReports:,  info tx aborted - shutting down thread");
    return;
  }
  if (!ConnectToServer(record->m_Socket, &server, sizeof server)) {
    LogInfoF(
        "ERROR - CReports::Run - Error, unable to connect to the hr server, skipping for current "
        "file code = %d",
        errno);
    *bContinue = TRUE;
    return;
  }
  if (!SendWhole(record->m_Socket, header, static_cast<DWORD>(headerLength))) {
    LogErrorF("CReports::Run Error: Unable to send request hdr to cht server, err code = %d",
              errno);
    CloseSock(&record->m_Socket);
    *bContinue = TRUE;
    return;
  }
  if (ShutdownRequested()) {
    LogInfoF("CReports:,  info tx aborted - shutting down thread");
    return;
  }
  if (!SendWhole(record->m_Socket, body, static_cast<DWORD>(bodyLength))) {
    LogInfoF(
        "Error - CReports Error: Unable to send entity body hdr to cht server, err code = "
        "%d-skipping file",
        errno);
    CloseSock(&record->m_Socket);
    *bContinue = TRUE;
    return;
  }
  record->m_tLastSend = winport::Now();

  switch (TxFile(*file, size, m_nRecordIndex)) {
    case 0:
      LogInfoF("No error in Transmitting the file %s", record->m_pszPath);
      break;
    case 1:
    case 2:
      *bContinue = TRUE;
      break;
    case 3:
      break;
    default:
      LogInfoF("CReports - unknown return value");
      break;
  }
}

bool CReports::ConnectToServer(SOCKET s, const void* address, unsigned addressLength) {
  if (::connect(s, static_cast<const sockaddr*>(address), addressLength) == 0) return true;
  if (errno != EINPROGRESS) return false;
  // A server that never answers the connection is given the answer time-out, no more.
  const ULONGLONG deadline = winport::GetTickCount64() + kAnswerTimeout * 1000;
  for (;;) {
    if (WaitFor(s, POLLOUT, kSliceMs)) break;
    if (ShutdownRequested() || winport::GetTickCount64() >= deadline) {
      errno = ETIMEDOUT;
      return false;
    }
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  if (error != 0) {
    errno = error;
    return false;
  }
  return true;
}

bool CReports::SendWhole(SOCKET s, const char* data, DWORD length) {
  DWORD sent = 0;
  while (sent < length) {
    if (!WaitFor(s, POLLOUT, kWriteWaitMs)) {
      errno = ETIMEDOUT;
      return false;
    }
    ssize_t n = ::send(s, data + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    sent += static_cast<DWORD>(n);
  }
  return true;
}

int CReports::TxFile(HANDLE file, DWORD size, int index) {
  const DWORD chunk = std::min(size, m_dwMaxTxUnit);
  LogInfoF("TxFile File Size = %d, Buffer Size  = %d", static_cast<int>(size),
           static_cast<int>(chunk));
  char* buffer = new (std::nothrow) char[chunk + 3];
  if (buffer == nullptr) {
    LogErrorF("TxFile: unable to alloc memory for readBuf");
    return 3;
  }
  TxRecord* record = m_SList[index];
  int result = 0;
  DWORD handled = 0;
  while (result == 0 && handled < size) {
    std::memset(buffer, 0, chunk + 3);
    // Never more than the size announced in Content-Length, even if the file grew meanwhile.
    const DWORD wanted = std::min(chunk, size - handled);
    DWORD read = 0;
    if (!ReadFile(file, buffer, wanted, &read, nullptr)) {
      LogInfoF("TxFile - error reading from file - skipping file ERR_READ");
      result = 1;
      break;
    }
    if (read < wanted) {
      LogErrorF(
          "TxFile: inconsistency in reading report data from file, not able to read predefined "
          "size");
      LogErrorF(
          "CReports::Run Preread file size for file - %s =s %d, actual bytes read =s %d - "
          "ERR_READ",
          record->m_pszPath, static_cast<int>(size), static_cast<int>(read));
      result = 1;
      break;
    }
    DWORD packet = read;
    if (handled + read >= size) {
      LogInfoF("TxFile: This is the last packet of the file ");
      buffer[read] = '\r';
      buffer[read + 1] = '\n';
      packet += 2;
    }
    handled += read;
    result = TxBuffer(buffer, packet);
    if (result == 0) {
      if (m_bTracing) {
        LogInfoF("TxFile - Backing up the Tx'd file %s  into file %d", record->m_pszPath, index);
        MkBkup(index, buffer, packet);
      }
      LogInfoF("TxFile - file sent = %s, bytes sent = %ld, actual bytes = %d", record->m_pszPath,
               static_cast<long>(packet), static_cast<int>(read));
    } else {
      LogErrorF("TxFile : Error occured in Transmission ");
    }
  }
  delete[] buffer;
  return result;
}

int CReports::TxBuffer(const char* packet, DWORD length) {
  TxRecord* record = m_SList[m_nRecordIndex];
  DWORD sent = 0;
  int failed = 0;
  int result = 0;
  while (sent < length && result == 0) {
    if (!WaitForShutDown(kShutdownPollMs)) {
      LogInfoF("TxBuffer,  info tx aborted - shutting down thread");
      result = 3;
      break;
    }
    // The write set holds only this socket, armed afresh for every attempt.
    m_WriteSet.Clear();
    m_WriteSet.Add(record->m_Socket);
    if (!WaitFor(record->m_Socket, POLLOUT, kWriteWaitMs)) {
      ++failed;
      LogInfoF("TxBuffer, The sock is not ready for writing for file %s", record->m_pszPath);
      if (failed < kMaxWriteAttempts) {
        LogInfoF("Failed send attempt number = %d", failed);
      } else {
        LogInfoF("Failed to transmit in the number of threashold times %d", kMaxWriteAttempts);
        result = 2;
      }
      continue;
    }
    failed = 0;
    ssize_t n = ::send(record->m_Socket, packet + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      LogErrorF("TxBuffer: sending data to cht server %d", errno);
      CloseSock(&record->m_Socket);
      result = 2;
      break;
    }
    sent += static_cast<DWORD>(n);
    LogInfoF("TxBuffer: Sent %d bytes to cht server", static_cast<int>(n));
    record->m_tLastSend = winport::Now();
  }
  return result;
}

int CReports::selectForRead() {
  m_ReadSet.Clear();
  m_WriteSet.Clear();
  m_ExceptSet.Clear();
  for (int i = 0; i <= m_nRecordIndex; ++i) {
    TxRecord* record = m_SList[i];
    if (record == nullptr) continue;
    if (!record->m_bAwaitingResponse || record->m_bResponseHandled) {
      LogInfoF("SelectForRead(), skipped %s becz notsetforread or AckRecd", record->m_pszPath);
    } else if (record->m_Socket == INVALID_SOCKET) {
      LogInfoF("SelectForRead(), skipped %s for inva skt", record->m_pszPath);
    } else if (record->m_bNoMoreReads) {
      LogInfoF("SelectForRead(), skipped %s, its answer was read already", record->m_pszPath);
    } else if (m_ReadSet.Add(record->m_Socket)) {
      LogInfoF("SelectForRead(), added %s", record->m_pszPath);
    }
  }
  LogInfoF("SelectForRead(), added %d sockets for %s", m_ReadSet.m_nCount,
           "determining read status");
  if (m_ReadSet.m_nCount == 0) return 0;

  pollfd fds[SocketSet::kMax];
  for (int i = 0; i < m_ReadSet.m_nCount; ++i) fds[i] = pollfd{m_ReadSet.m_Sockets[i], POLLIN, 0};
  int n = ::poll(fds, static_cast<nfds_t>(m_ReadSet.m_nCount),
                 static_cast<int>(m_dwWaitSeconds * 1000));
  if (n < 0) {
    LogErrorF("CReports::selectForRead(): select returns error, code = %d", errno);
    m_ReadSet.Clear();
    return -1;
  }
  // Leave in the read set only the sockets found readable, as select does.
  SocketSet ready;
  for (int i = 0; i < m_ReadSet.m_nCount; ++i)
    if (fds[i].revents != 0) ready.Add(fds[i].fd);
  m_ReadSet = ready;
  return n;
}

void CReports::ReadResponses(int ready) {
  int counted = 0;
  for (int i = 0; i <= m_nRecordIndex && counted < ready; ++i) {
    TxRecord* record = m_SList[i];
    if (record == nullptr) continue;
    LogInfoF("checking for server response for %s", record->m_pszPath);
    if (!record->m_bAwaitingResponse || record->m_bResponseHandled) continue;
    LogInfoF("CReports::Run - Try to read from the server socket");
    // The answer is in (or the socket failed): the exchange is over and its socket closed.
    auto done = [&](bool traceRemoval) {
      record->m_bAwaitingResponse = FALSE;
      record->m_bResponseHandled = TRUE;
      LogInfoF("CReports::Run- closing socket for file %s", record->m_pszPath);
      if (traceRemoval)
        LogInfoF("CReports::Run - removing the socket for the file %s from the list",
                 record->m_pszPath);
      CloseSock(&record->m_Socket);
      ++counted;
    };
    switch (ChkForServResponse(record)) {
      case 0:
        LogInfoF("CReports::Run-  successfully read data on socket for %s", record->m_pszPath);
        if (DeleteTxFile(record->m_pszPath)) record->m_bDeleted = TRUE;
        done(true);
        break;
      case 1:
        LogInfoF(
            "CReports::Run-server received incomplete data - will retransmit next time file =%s",
            record->m_pszPath);
        done(false);
        break;
      case 2:
        LogInfoF("CReports::Run-server socket error - will retransmit next time file = %s",
                 record->m_pszPath);
        done(true);
        break;
      default:
        LogErrorF("CReports::Run - the socket does not have data to be read from -> %s",
                  record->m_pszPath);
        break;
    }
  }
}

int CReports::ChkForServResponse(TxRecord* record) {
  LogInfoF("CReports::ChkForServResponse - entered");
  const SOCKET s = record->m_Socket;
  if (s == INVALID_SOCKET || record->m_bNoMoreReads || !m_ReadSet.Contains(s)) return 3;
  LogInfoF("CReports::ChkForServResponse - server has sent data");

  char line[kLineBuffer] = {};
  int kept = 0;
  // A peer that sends part of a line and stalls is given up at the answer time-out, counted
  // from the file's last packet as for a peer that sends nothing.
  for (;;) {
    char byte = 0;
    ssize_t n = ::recv(s, &byte, 1, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (ShutdownRequested()) return 3;
      if (winport::Now() - record->m_tLastSend > kAnswerTimeout) {
        LogErrorF("CReports Error: Error while reading over socket, err code = %d", ETIMEDOUT);
        return 2;
      }
      WaitFor(s, POLLIN, kSliceMs);
      continue;
    }
    if (n != 1) {
      // A connection closed before the line ended is a read error too (no error code then).
      LogErrorF("CReports Error: Error while reading over socket, err code = %d",
                n < 0 ? errno : 0);
      return 2;
    }
    if (byte == '\n') {
      if (kept == 0) {
        LogInfoF(
            "CReports Error, ChkForServResponse()Syntax error while reading response line from "
            "hr server, recd till now --->");
        LogErrorF("%s", line);
        continue;
      }
      if (line[kept - 1] == '\r') break;
      continue;
    }
    line[kept++] = byte;
    if (kept == kLineBuffer - 1) {
      LogErrorF(
          "CReports Error: Error while reading response line from server, size being exceeded");
      // The rest of this line must never be taken for an answer of its own.
      record->m_bNoMoreReads = TRUE;
      return 3;
    }
  }

  LogInfoF("CReports::ChkForServResponse() receives response from the cht server ----->%s", line);
  switch (parseResponseForStatus(line)) {
    case 202:
      return 0;
    case 400:
      LogInfoF("CReports Error in file tx to server, need to retx");
      return 1;
    case 500:
      // The answer is read: anything the server sends after it is not the first line.
      record->m_bNoMoreReads = TRUE;
      return 3;
    default:
      LogInfoF("CReports::ChkForServResponse(), invalid response recd from HR server");
      record->m_bNoMoreReads = TRUE;
      return 3;
  }
}

int CReports::parseResponseForStatus(const char* line) {
  const char* blank = std::strchr(line, ' ');
  if (blank == nullptr) {
    LogInfoF("CReports::parseResponseForStatus(), syntax error in server response, missing blank");
    return -1;
  }
  const char* at = blank + 1;
  if (*at == '\0') return -1;
  int value = 0;
  for (int i = 0; i < 4 && at[i] >= '0' && at[i] <= '9'; ++i) value = value * 10 + (at[i] - '0');
  return value;
}

BOOL CReports::ChkForServTimeout() {
  BOOL nothingAwaited = TRUE;
  for (int i = 0; i <= m_nRecordIndex; ++i) {
    TxRecord* record = m_SList[i];
    if (record == nullptr) continue;
    LogInfoF("CReports::ChkForServTimeout - checking for timeout for file %s", record->m_pszPath);
    if (!record->m_bAwaitingResponse || record->m_bResponseHandled) {
      LogInfoF("CReports::ChkForServTimeout - already received ack for this file %s",
               record->m_pszPath);
      continue;
    }
    nothingAwaited = FALSE;
    LogInfoF("CReports::ChkForServTimeout - checking the file %s", record->m_pszPath);
    if (winport::Now() - record->m_tLastSend > kAnswerTimeout) {
      LogInfoF("ChkForServTimeout - timeout expired for this file %s -- closing socket",
               record->m_pszPath);
      LogInfoF("ChkForServTimeout - removing the socket for the file %s from the list",
               record->m_pszPath);
      CloseSock(&record->m_Socket);
      record->m_bAwaitingResponse = FALSE;
    }
  }
  return nothingAwaited;
}

BOOL CReports::DeleteTxFile(const char* path) {
  LogInfoF("CReports::DeleteTxFile -deleteing file");
  LogInfoF("fullpath %s", path);
  if (!DeleteFileA(path)) {
    LogErrorF("CReports::DeleteTxFile - Couldnot delete file error code =%d %s",
              static_cast<int>(winport::GetLastError()), path);
    return FALSE;
  }
  return TRUE;
}

void CReports::MkBkup(int index, const char* packet, DWORD length) {
  LogInfoF("CReports::MkBkup");
  char name[32];
  std::snprintf(name, sizeof name, "\\file%4d.txt", index);
  const std::string path = std::string(m_szBackupDir) + name;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LogInfoF("CReports::Run() - error opening the file for writing ");
    return;
  }
  LogInfoF("CReports::Run - Attempting to write to file %s", path.c_str());
  DWORD written = 0;
  if (!WriteFile(file, packet, length, &written, nullptr) || written != length)
    LogError("CReports::WriteBinData -could not write to file error no = ",
             winport::GetLastError());
  CloseHandle(file);
}

void CReports::CloseSock(SOCKET* s) {
  if (*s != INVALID_SOCKET && ::close(*s) != 0 && errno != EBADF)
    LogErrorF("CloseSock: Unable to close socket successfully, err code = %d", errno);
  *s = INVALID_SOCKET;
}

void CReports::CleanupReportsThread() {
  LogInfoF("CReports::CleanupReportsThread - count of sockets opened in all =%d", m_nRecordIndex);
  // Every connection is closed and every record freed, after a shutdown too: a run that ends
  // leaves nothing open behind it.
  if (m_SList != nullptr) {
    for (int i = 0; i <= m_nRecordIndex; ++i) {
      TxRecord* record = m_SList[i];
      if (record == nullptr) continue;
      LogInfoF("CReports::Run - deleting object for file %s", record->m_pszPath);
      if (record->m_Socket != INVALID_SOCKET) {
        LogInfoF("CReports::Run -  Closing socket for file %s", record->m_pszPath);
        CloseSock(&record->m_Socket);
      }
      delete record;
      m_SList[i] = nullptr;
    }
    delete[] m_SList;
    m_SList = nullptr;
  }
  m_nSListSize = 0;
  m_nRecordIndex = -1;

  LogInfoF("CReports::CleanupReportsThread(), Starting check on bag to delete objects");
  if (m_TxBag != nullptr) {
    m_TxBag->BeginIteration();
    while (char* path = static_cast<char*>(m_TxBag->Get())) {
      LogInfoF("CReports::CleanupReportsThread - Deleting obj for file %s", path);
      delete[] path;
    }
    m_TxBag->EndIteration();
    delete m_TxBag;
    m_TxBag = nullptr;
  }
  LogInfoF("CReports::CleanupReportsThread - End of check");
}
