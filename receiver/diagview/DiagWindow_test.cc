// The diagnostics window's table on the offscreen platform: each StatusAvailable text replaces
// the rows, with the code's name and a plain line; malformed items are left out.
#include "DiagWindow.h"

#include <QSignalSpy>
#include <QTest>
#include <string>
#include <vector>

class DiagWindowTest : public QObject {
  Q_OBJECT
 private slots:
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
};

QTEST_MAIN(DiagWindowTest)
#include "DiagWindow_test.moc"
