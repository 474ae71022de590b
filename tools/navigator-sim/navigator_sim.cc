// navigator-sim: stands in for the product's navigator. Registers a window of class
// "Orbilink Navigator", prints every message the health module posts to it, one line each, and
// with --connect answers a connection request as the navigator does: DAK_CONNSTATE records
// into the usability mailslot, CONNECTING, then CONNECTED after the dial time (or IDLE with
// --fail-connect), and IDLE again once the module reports the upload's outcome.
#include <pthread.h>
#include <signal.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>
#include <winport/message.h>
#include <winport/window.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace winport;

namespace {

constexpr const char* kSlot = "\\\\.\\mailslot\\DAKUsabilitySlot";
constexpr std::uint32_t kDakConnState = 4;

const char* const kUsage =
    "usage: navigator-sim [--connect] [--fail-connect] [--dial-ms N] | /SHOWWCPROPS\n"
    "  Registers the \"Orbilink Navigator\" window and prints each message it receives:\n"
    "    WM_CanSendHealthReport | WM_HealthReportSent code=N | WM_CLOSE\n"
    "  --connect       answer WM_CanSendHealthReport with DAK_CONNSTATE CONN_CONNECTING, then\n"
    "                  CONN_CONNECTED after --dial-ms (default 500), and CONN_IDLE once\n"
    "                  WM_HealthReportSent arrives\n"
    "  --fail-connect  with --connect: CONN_CONNECTING, then CONN_IDLE (the dial failed)\n"
    "  /SHOWWCPROPS    (installed as orbnav.exe) shows the webcast properties, closed at once\n"
    "  Lines starting with \"sent\" tell what it wrote to the mailslot. Ends on SIGINT, SIGTERM\n"
    "  or WM_CLOSE.\n";

const char* StateName(std::uint32_t state) {
  switch (state) {
    case 0:
      return "CONN_IDLE";
    case 1:
      return "CONN_CONNECTING";
    default:
      return "CONN_CONNECTED";
  }
}

// Writes one DAK_CONNSTATE record (identifier, state; little-endian) into the module's mailslot.
void SendConnState(std::uint32_t state) {
  unsigned char record[8];
  for (int i = 0; i < 4; ++i) {
    record[i] = static_cast<unsigned char>(kDakConnState >> (8 * i));
    record[4 + i] = static_cast<unsigned char>(state >> (8 * i));
  }
  HANDLE slot = CreateFileA(kSlot, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  bool ok = slot != INVALID_HANDLE_VALUE &&
            WriteFile(slot, record, sizeof record, &written, nullptr) && written == sizeof record;
  DWORD error = ok ? 0 : GetLastError();
  if (slot != INVALID_HANDLE_VALUE) CloseHandle(slot);
  if (ok)
    std::printf("sent DAK_CONNSTATE %s\n", StateName(state));
  else
    std::printf("sent DAK_CONNSTATE %s failed (error %u: no health module running?)\n",
                StateName(state), static_cast<unsigned>(error));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool connect = false;
  bool failConnect = false;
  long dialMs = 500;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--connect") {
      connect = true;
    } else if (arg == "--fail-connect") {
      connect = true;
      failConnect = true;
    } else if (arg == "--dial-ms" && i + 1 < argc) {
      char* end = nullptr;
      dialMs = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || dialMs < 0 || dialMs > 3600000) {
        std::fprintf(stderr, "navigator-sim: bad --dial-ms %s\n%s", argv[i], kUsage);
        return 2;
      }
    } else if (arg == "/SHOWWCPROPS") {
      // Started by the health module's proxy repair: the navigator shows its webcast
      // properties; here the user closes them at once.
      std::printf("navigator-sim: webcast properties shown (/SHOWWCPROPS)\n");
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "navigator-sim: unknown argument %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }

  // Signals are taken by one thread of their own, which closes the window like a user would.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  HWND window = CreateMessageWindow("Orbilink Navigator");
  if (window == nullptr) {
    std::fprintf(stderr, "navigator-sim: cannot create the window (error %u)\n",
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }
  const UINT canSend = RegisterWindowMessageA("WM_CanSendHealthReport");
  const UINT reportSent = RegisterWindowMessageA("WM_HealthReportSent");
  std::thread([window, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    PostMessageA(window, WM_CLOSE, 0, 0);
  }).detach();

  std::printf("navigator-sim: window \"Orbilink Navigator\" ready%s\n",
              connect ? (failConnect ? " (dial fails)" : " (dials on request)") : "");
  std::fflush(stdout);

  bool connected = false;
  UINT_PTR dialTimer = 0;
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_CLOSE) {
      std::printf("WM_CLOSE\n");
      std::fflush(stdout);
      break;
    }
    if (msg.message == WM_TIMER && msg.wParam == dialTimer && dialTimer != 0) {
      KillTimer(nullptr, dialTimer);
      dialTimer = 0;
      connected = !failConnect;
      SendConnState(connected ? 2 : 0);
      continue;
    }
    if (msg.message == canSend && canSend != 0) {
      std::printf("WM_CanSendHealthReport\n");
      std::fflush(stdout);
      if (connect && !connected && dialTimer == 0) {
        SendConnState(1);
        dialTimer = SetTimer(nullptr, 0, static_cast<UINT>(dialMs), nullptr);
        if (dialTimer == 0) {
          connected = !failConnect;
          SendConnState(connected ? 2 : 0);
        }
      }
    } else if (msg.message == reportSent && reportSent != 0) {
      std::printf("WM_HealthReportSent code=%u\n", static_cast<unsigned>(msg.wParam));
      std::fflush(stdout);
      if (connect && connected) {
        connected = false;
        SendConnState(0);
      }
    }
  }
  DestroyWindow(window);
  return 0;
}
