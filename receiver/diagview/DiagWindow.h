// The diagnostics application's window: the failed tests of the latest StatusAvailable as a
// table, with Fix and IRQ details, closing when the control says Shutdown.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <functional>
#include <string>

class ControlHost;

class DiagWindow : public QWidget {
  Q_OBJECT
 public:
  // `host` may be null (a window without a control, for tests); `say` reports each event.
  DiagWindow(ControlHost* host, std::function<void(const std::string&)> say,
             QWidget* parent = nullptr);

  QTableWidget* table() const { return m_table; }
  QLabel* statusLabel() const { return m_status; }
  QPushButton* fixButton() const { return m_fix; }
  QPushButton* irqButton() const { return m_irq; }

 signals:
  // After the table shows a StatusAvailable; after the window took a Shutdown.
  void statusShown();
  void shutdownShown();

 public slots:
  void OnStatusAvailable(const QString& text);
  void OnShutdown();
  void Fix();
  void ShowIrq();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  ControlHost* m_host;
  std::function<void(const std::string&)> m_say;
  QTableWidget* m_table;
  QLabel* m_status;
  QPushButton* m_fix;
  QPushButton* m_irq;
  QString m_lastText;
  bool m_fixed = false;    // a repair ran since the last status
  bool m_stopped = false;  // Stop was called
};
