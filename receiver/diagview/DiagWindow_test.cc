// The diagnostics window on the offscreen platform: each StatusAvailable text replaces the
// table's rows, with the code's name and a plain line (malformed items are left out), and with
// the module's registered control behind it, Fix and IRQ details reach the control and a repair
// that needs a restart closes the window and asks for the restart.
#include "DiagWindow.h"

#include <winport/handle.h>
#include <winport/library.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <QFile>
#include <QMetaObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <vector>

#include "ControlHost.h"

using namespace winport;

namespace {

constexpr char kDiag[] = "SOFTWARE\\Tessaline\\Orbilink\\Diagnostics\\";

void SetValue(const std::string& subKey, const char* name, DWORD type, const void* data,
              DWORD size) {
  HKEY key = nullptr;
  QCOMPARE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kDiag + subKey).c_str(), 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr),
           static_cast<LONG>(ERROR_SUCCESS));
  QCOMPARE(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
           static_cast<LONG>(ERROR_SUCCESS));
  RegCloseKey(key);
}
void SetStatus(const std::string& subKey, DWORD status) {
  SetValue(subKey, "TestStatus", REG_DWORD, &status, sizeof status);
}
DWORD Status(const std::string& subKey) {
  HKEY key = nullptr;
  DWORD data = 0xffffffff, size = sizeof data;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kDiag + subKey).c_str(), 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    RegQueryValueExA(key, "TestStatus", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
  }
  return data;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class DiagWindowTest : public QObject {
  Q_OBJECT
 private slots:
  // A machine of the test's own, before anything uses one.
  void initTestCase() {
    QVERIFY(m_prefix.isValid());
    qputenv("WINPORT_PREFIX", m_prefix.path().toUtf8());
  }

  void RowsFollowTheLatestStatusText() {
    std::vector<std::string> said;
    DiagWindow window(nullptr, [&](const std::string& line) { said.push_back(line); });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.table()->rowCount(), 0);
    QVERIFY(!window.fixButton()->isEnabled());

    window.OnStatusAvailable("1,112;8,807;3,0;");
    QTableWidget* table = window.table();
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(table->item(0, 0)->text(), QString("Adapter"));
    QCOMPARE(table->item(0, 1)->text(), QString("112"));
    QCOMPARE(table->item(0, 2)->text(), QString("DTS_ADAPTER_ERROR_NO_HEARTBEAT"));
    QVERIFY(table->item(0, 3)->text().contains("does not answer"));
    QCOMPARE(table->item(1, 0)->text(), QString("TCP/IP"));
    QCOMPARE(table->item(1, 2)->text(), QString("DTS_NEED_AUTOSETUP"));
    QCOMPARE(table->item(2, 0)->text(), QString("Receive driver"));
    QCOMPARE(table->item(2, 2)->text(), QString("DTS_SUCCESS"));  // a DRVT token's number
    QVERIFY(window.fixButton()->isEnabled());
    QVERIFY(window.statusLabel()->text().contains("3"));

    // Malformed items and unknown codes: skipped, and shown without a name.
    window.OnStatusAvailable("x;6,;,5;6,99999999999;2,4242;;7");
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 0)->text(), QString("Name resolution (DNS)"));
    QCOMPARE(table->item(0, 1)->text(), QString("4242"));
    QCOMPARE(table->item(0, 2)->text(), QString(""));

    window.OnStatusAvailable("");
    QCOMPARE(table->rowCount(), 0);
    QVERIFY(!window.fixButton()->isEnabled());

    // Shutdown closes the window, telling the host's log.
    window.OnShutdown();
    QVERIFY(!window.isVisible());
    QCOMPARE(said.front(), std::string("shutdown"));
    QCOMPARE(said.back(), std::string("closing"));
  }

  void FixAndIrqDetailsCallTheControl() {
    // The control registered as an installation registers it, found and created by ProgID.
    HMODULE library = LoadLibraryA(VITALIS_LIBRARY);
    QVERIFY(library != nullptr);
    auto registerServer =
        reinterpret_cast<VitalisDllRegisterServerFn>(GetProcAddress(library, "DllRegisterServer"));
    QVERIFY(registerServer != nullptr);
    QCOMPARE(registerServer(), 0);
    ControlHost host;
    std::string error;
    QVERIFY2(host.Create(&error), error.c_str());

    std::vector<std::string> said;
    DiagWindow window(&host, [&](const std::string& line) { said.push_back(line); });
    // The control's events come on its own thread; the window takes them on this one.
    host.SetHandlers(
        [&] { QMetaObject::invokeMethod(&window, &DiagWindow::OnShutdown, Qt::QueuedConnection); },
        [&](const std::string& text) {
          QMetaObject::invokeMethod(
              &window, [&window, text] { window.OnStatusAvailable(QString::fromStdString(text)); },
              Qt::QueuedConnection);
        });
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(host.Init());

    // The module reports a TCP/IP test whose repair needs a restart.
    SetStatus("TCPIP_Check", DTS_ICSNOTPORTMAPPED);
    QSignalSpy shown(&window, &DiagWindow::statusShown);
    HANDLE refresh = OpenEventA(EVENT_MODIFY_STATE, FALSE, "DIAG_EVENT");
    QVERIFY(refresh != nullptr);
    SetEvent(refresh);
    CloseHandle(refresh);
    QVERIFY(shown.wait(20000));
    QCOMPARE(window.table()->rowCount(), 1);
    QCOMPARE(window.table()->item(0, 0)->text(), QString("TCP/IP"));
    QCOMPARE(window.table()->item(0, 1)->text(), QString("805"));
    QCOMPARE(window.table()->item(0, 2)->text(), QString("DTS_ICSNOTPORTMAPPED"));

    // IRQ details: the control's answer for the stored IRQ result, in words.
    SetStatus("IRQTest", DTS_IRQ_FAILED);
    const char devices[] = "IRQ 11: Sound Blaster, Orbilink PCI receiver";
    SetValue("IRQTest", "ListOfDevice", REG_SZ, devices, sizeof devices);
    QTest::mouseClick(window.irqButton(), Qt::LeftButton);
    QCOMPARE(said.back(), std::string("irq ") + devices);
    QVERIFY(window.statusLabel()->text().contains(devices));
    SetStatus("IRQTest", DTS_COMPONENTNOTFOUND);
    QTest::mouseClick(window.irqButton(), Qt::LeftButton);
    QCOMPARE(said.back(), std::string("irq 2"));
    QVERIFY(window.statusLabel()->text().contains("component is missing"));

    // Fix repairs the shown tests; the restart it needs closes the window, which says so,
    // and the control's Stop asks for the restart, which the simulation records.
    QSignalSpy shutdown(&window, &DiagWindow::shutdownShown);
    QTest::mouseClick(window.fixButton(), Qt::LeftButton);
    QCOMPARE(said.back(), std::string("fix 1"));
    QCOMPARE(Status("TCPIP_Check"), 0u);
    QVERIFY(shutdown.wait(20000));
    QVERIFY(!window.isVisible());
    QVERIFY(window.statusLabel()->text().contains("restart"));
    QCOMPARE(said.back(), std::string("closing"));
    const QString sim = m_prefix.path() + "/receiver-sim/";
    QVERIFY(ReadAll(sim + "state.ini").contains("exit_windows_count=1\n"));
    QVERIFY(ReadAll(sim + "trace.log").contains("Util_ExitWindows: restart 1 requested"));
    host.Release();
  }

 private:
  QTemporaryDir m_prefix;
};

QTEST_MAIN(DiagWindowTest)
#include "DiagWindow_test.moc"
