// The main window's Registers view: register maps read and written through
// the bench's adapter, address box and output table.

#include "app/mainwindow.h"

#include "app/registersdock.h"
#include "app/watchdock.h"
#include "i2c/orvi2c.h"
#include "projects/projectspanel.h"
#include "transactions/i2ctransaction.h"
#include "ui_mainwindow.h"

#include <QActionGroup>

void MainWindow::setupDocks()
{
    // The registers first: Tab reaches the docks in the order they were made,
    // and the view lies left of the watch.
    setupRegisters();
    setupWatch();
    // Out of the way until asked for; the saved window state may show it
    // again. Below the bench, left of the watch, so that a field and its
    // watch show side by side.
    addDockWidget(Qt::BottomDockWidgetArea, m_registers);
    splitDockWidget(m_registers, m_watch, Qt::Horizontal);
    m_registers->hide();
}

void MainWindow::setupRegisters()
{
    RegistersDock::SHooks hooks;
    hooks.adapter = [this]() -> COrvI2c* { return isConnected() ? m_adapter.get() : nullptr; };
    hooks.connectionLost = [this] { handleConnectionLost(); };
    hooks.formatAddress = [this](uint8_t address) { return formatAddress(address); };
    hooks.benchAddress = [this] { return currentAddress(); };
    hooks.projectsFolder = [this] { return m_projects->GetFolder(); };
    // The watch's polls must not come between the view and its chip.
    hooks.beforeAccess = [this](uint8_t address, const QString& what) {
        m_watch->pauseForBench(address, what);
    };
    hooks.addRow = [this](const SMapStep& step, uint8_t address) {
        const SI2cTransaction& row = step.Row();
        addTableRow(step.type, TransactionFlagsText(row), row.data, !step.ok(), address);
    };
    hooks.watch = [this](const WatchDock::STarget& target) { m_watch->watch(target, false); };
    m_registers = new RegistersDock(std::move(hooks), this);
    QAction* view = m_registers->toggleViewAction();
    view->setText(tr("&Registers"));
    view->setMenuRole(QAction::NoRole);
    m_ui->menuView->addAction(view);

    connect(this, &MainWindow::connectedChanged, m_registers, &RegistersDock::setConnected);
    connect(m_projects, &CProjectsPanel::deviceMapSelected, m_registers,
            &RegistersDock::showDevice);
    connect(m_ui->cmb_i2c_device, &QComboBox::currentTextChanged, m_registers,
            &RegistersDock::refreshAddress);
    connect(m_addressGroup, &QActionGroup::triggered, m_registers, &RegistersDock::refreshAddress);
}
