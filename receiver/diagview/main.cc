// diagview: the product's diagnostics application ("%s\bin\diagview.exe" under the install
// directory), which the health module starts when a configuration test fails. It hosts the
// module's control (found through the registry by its ProgID), shows the failed tests of each
// StatusAvailable, offers the repairs and the IRQ test's outcome, and closes on Shutdown.
//
//   diagview [--headless] [--no-idle] [--exit N]
//   --headless  no window: one line per event on standard output, commands on standard input
//               ("fix TEXT", "irq", "stop"); also chosen when there is no display
//   --no-idle   never report ready for input (the module's wait for it runs out)
//   --exit N    end at once with code N, as an application that fails to start
//
// Every event line also goes to the file DIAGVIEW_LOG names (and sets the auto-reset named
// event DIAGVIEW_SIGNAL names); "refresh N:" lines carry the stored status of each test.
#include <winport/handle.h>
#include <winport/process.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "ControlHost.h"
#include "DiagWindow.h"

using namespace winport;

namespace {

constexpr const char* kTestKeys[] = {"Adapter_Check",
                                     "DNSCheck",
                                     "DRVT",
                                     "IRQTest",
                                     "Multiple_RegKey_Test",
                                     "ProxyServer_Check",
                                     "Signal_Strength_Check",
                                     "TCPIP_Check"};

// "1=0 2=0 ... 8=807": each test's stored status ("-" when it cannot be read).
std::string StatusLine() {
  std::string line;
  for (int id = 1; id <= 8; ++id) {
    std::string path =
        std::string("SOFTWARE\\Tessaline\\Orbilink\\Diagnostics\\") + kTestKeys[id - 1];
    std::string value = "-";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      DWORD type = 0, data = 0, size = sizeof data;
      if (RegQueryValueExA(key, "TestStatus", nullptr, &type, reinterpret_cast<BYTE*>(&data),
                           &size) == ERROR_SUCCESS &&
          type == REG_DWORD && size == sizeof data)
        value = std::to_string(data);
      RegCloseKey(key);
    }
    if (!line.empty()) line += ' ';
    line += std::to_string(id) + "=" + value;
  }
  return line;
}

void Say(const std::string& line) {
  std::printf("diagview: %s\n", line.c_str());
  std::fflush(stdout);
  if (const char* log = std::getenv("DIAGVIEW_LOG"); log != nullptr && *log != '\0')
    std::ofstream(log, std::ios::app) << line << '\n';
  // Lets a test wait for each line instead of polling the file.
  if (const char* name = std::getenv("DIAGVIEW_SIGNAL"); name != nullptr && *name != '\0') {
    if (HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name)) {
      SetEvent(event);
      CloseHandle(event);
    }
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: diagview [--headless] [--no-idle] [--exit N]\n"
               "  --headless  no window: one line per event, commands on standard input\n"
               "              (fix TEXT, irq, stop); also chosen when there is no display\n"
               "  --no-idle   never report ready for input (the module's wait runs out)\n"
               "  --exit N    end at once with code N, as an application that fails to start\n");
  return 64;
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') return true;
  return false;
}

// The headless host: events as lines, commands from standard input.
class HeadlessHost : public QObject {
 public:
  explicit HeadlessHost(ControlHost* host) : m_host(host) {}

  void Command(const std::string& line) {
    if (line.rfind("fix ", 0) == 0) {
      int result = m_host->FixProblem(line.substr(4));
      m_fixed = true;
      Say("fix " + std::to_string(result));
    } else if (line == "fix") {
      Say("fix " + std::to_string(m_host->FixProblem("")));
    } else if (line == "irq") {
      Say("irq " + m_host->ShowIRQResult());
    } else if (line == "stop") {
      Close();
    } else if (!line.empty()) {
      Say("unknown command: " + line);
    }
  }
  void Shutdown() {
    Say("shutdown");
    if (m_fixed) Say("restart required");
    Close();
  }
  void Close() {
    if (m_closed) return;
    m_closed = true;
    m_host->Stop();
    Say("closing");
    QCoreApplication::exit(0);
  }

 private:
  ControlHost* m_host;
  bool m_fixed = false;
  bool m_closed = false;
};

}  // namespace

int main(int argc, char** argv) {
  bool reportIdle = true;
  bool headless = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--no-idle")) {
      reportIdle = false;
    } else if (!std::strcmp(argv[i], "--headless")) {
      headless = true;
    } else if (!std::strcmp(argv[i], "--exit") && i + 1 < argc) {
      return std::atoi(argv[i + 1]);
    } else {
      return Usage();
    }
  }
  if (const char* env = std::getenv("DIAGVIEW_HEADLESS"); env != nullptr && *env != '\0')
    headless = true;
  if (!HasDisplay()) headless = true;

  std::unique_ptr<QCoreApplication> app;
  if (headless)
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QApplication>(argc, argv);

  ControlHost host;
  std::string error;
  if (!host.Create(&error)) {
    std::fprintf(stderr, "diagview: %s\n", error.c_str());
    return 1;
  }

  std::unique_ptr<HeadlessHost> console;
  std::unique_ptr<DiagWindow> window;
  QObject* target = nullptr;
  if (headless) {
    console = std::make_unique<HeadlessHost>(&host);
    target = console.get();
  } else {
    window = std::make_unique<DiagWindow>(&host, Say);
    target = window.get();
  }
  // The control's events arrive on its own thread; they are handled on this one.
  unsigned refreshes = 0;
  host.SetHandlers(
      [&, target] {
        QMetaObject::invokeMethod(
            target,
            [&] {
              if (console)
                console->Shutdown();
              else
                window->OnShutdown();
            },
            Qt::QueuedConnection);
      },
      [&, target](const std::string& text) {
        QMetaObject::invokeMethod(
            target,
            [&, text] {
              Say("status " + text);
              Say("refresh " + std::to_string(++refreshes) + ": " + StatusLine());
              if (window) window->OnStatusAvailable(QString::fromStdString(text));
            },
            Qt::QueuedConnection);
      });

  if (!host.Init()) {
    std::fprintf(stderr, "diagview: the control did not start (another application ran)\n");
    return 1;
  }
  Say("running");

  if (headless) {
    // Commands are read beside the event loop; the end of the input ends only the reading.
    std::thread([target, &console] {
      std::string line;
      while (std::getline(std::cin, line))
        QMetaObject::invokeMethod(
            target, [&console, line] { console->Command(line); }, Qt::QueuedConnection);
    }).detach();
  } else {
    window->show();
  }
  if (reportIdle) ReportInputIdle();
  int code = app->exec();
  window.reset();
  host.Release();
  std::fflush(stdout);
  // The reading thread may still wait on standard input: leave without unwinding under it.
  std::_Exit(code);
}
