#include "DiagWindow.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "ControlHost.h"
#include "StatusText.h"

DiagWindow::DiagWindow(ControlHost* host, std::function<void(const std::string&)> say,
                       QWidget* parent)
    : QWidget(parent), m_host(host), m_say(std::move(say)) {
  setWindowTitle(tr("Orbilink Diagnostics"));
  m_table = new QTableWidget(0, 4, this);
  m_table->setHorizontalHeaderLabels({tr("Test"), tr("Status"), tr("Code"), tr("What it means")});
  m_table->horizontalHeader()->setStretchLastSection(true);
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_table->verticalHeader()->hide();
  m_status = new QLabel(tr("No failed tests reported."), this);
  m_status->setWordWrap(true);
  m_fix = new QPushButton(tr("Fix"), this);
  m_fix->setEnabled(false);
  m_irq = new QPushButton(tr("IRQ details"), this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_fix);
  buttons->addWidget(m_irq);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_table);
  layout->addWidget(m_status);
  layout->addLayout(buttons);
  connect(m_fix, &QPushButton::clicked, this, &DiagWindow::Fix);
  connect(m_irq, &QPushButton::clicked, this, &DiagWindow::ShowIrq);
  resize(640, 320);
}

void DiagWindow::OnStatusAvailable(const QString& text) {
  m_lastText = text;
  m_fixed = false;
  std::vector<FailedTest> rows = ParseFailedTests(text.toStdString());
  m_table->setRowCount(static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const FailedTest& row = rows[static_cast<size_t>(i)];
    m_table->setItem(i, 0, new QTableWidgetItem(QString::fromStdString(row.testName)));
    m_table->setItem(i, 1, new QTableWidgetItem(QString::number(row.code)));
    m_table->setItem(i, 2, new QTableWidgetItem(QString::fromStdString(row.codeName)));
    m_table->setItem(i, 3, new QTableWidgetItem(QString::fromStdString(row.advice)));
  }
  m_fix->setEnabled(!rows.empty());
  m_status->setText(rows.empty()
                        ? tr("No failed tests reported.")
                        : tr("%n test(s) failed.", nullptr, static_cast<int>(rows.size())));
  emit statusShown();
}

void DiagWindow::Fix() {
  if (m_host == nullptr || m_lastText.isEmpty()) return;
  int result = m_host->FixProblem(m_lastText.toStdString());
  m_fixed = true;
  m_say("fix " + std::to_string(result));
  m_status->setText(result == 1 ? tr("The repair succeeded.") : tr("The repair did not succeed."));
}

void DiagWindow::ShowIrq() {
  if (m_host == nullptr) return;
  std::string text = m_host->ShowIRQResult();
  m_say("irq " + text);
  if (text == "0")
    m_status->setText(tr("No interrupt conflict was found."));
  else if (text == "2")
    m_status->setText(tr("The interrupt check could not run: a component is missing."));
  else if (text == "1")
    m_status->setText(tr("The interrupt check failed."));
  else
    m_status->setText(
        tr("Devices sharing the receiver's interrupt: %1").arg(QString::fromStdString(text)));
}

void DiagWindow::OnShutdown() {
  m_say("shutdown");
  if (m_fixed) {
    m_say("restart required");
    m_status->setText(tr("The repair needs a restart of the PC. The PC restarts now."));
  }
  close();
  emit shutdownShown();
}

void DiagWindow::closeEvent(QCloseEvent* event) {
  if (!m_stopped && m_host != nullptr) {
    m_stopped = true;
    m_host->Stop();
  }
  m_say("closing");
  event->accept();
}
