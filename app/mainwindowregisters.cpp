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
    // Each register access sends its pointer and reads in one go, so a
    // watch poll cannot come between them; during a long run the timed
    // polls wait, lest one find the adapter gone and drop it mid-run.
    hooks.holdPolls = [this](bool held) {
        m_watch->holdPolls(held);
        if (held)
            m_presenceTimer.stop();
        else if (isConnected())
            m_presenceTimer.start();
    };
    // Named with the chip: two chips have registers of the same names.
    hooks.addRow = [this](const SMapStep& step, const QString& chip, uint8_t address) {
        const SI2cTransaction& row = step.Row();
        // A read shows the bytes received, as a failed bench read does: a
        // read whose pointer write failed received none.
        const bool nothingRead =
            step.type.startsWith(QLatin1String("Read")) && row.type != EI2cTransactionType::Read;
        addTableRow(tr("%1: %2").arg(chip, step.type), TransactionFlagsText(row),
                    nothingRead ? std::vector<uint8_t>() : row.data, !step.ok(), address);
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
