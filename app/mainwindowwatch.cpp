// The main window's watch of a value and the saving of its output table.

#include "app/mainwindow.h"

#include "app/outputtable.h"
#include "app/savepath.h"
#include "app/savetextfile.h"
#include "app/watchdock.h"
#include "i2c/orvi2c.h"
#include "projects/projectspanel.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QStandardPaths>
#include <QStatusBar>

namespace {

constexpr int STATUS_TIMEOUT_MS = 5000;

} // namespace

void MainWindow::setupWatch()
{
    m_watch =
        new WatchDock([this]() -> COrvI2c* { return isConnected() ? m_adapter.get() : nullptr; },
                      [this] { handleConnectionLost(); },
                      [this](uint8_t address) { return formatAddress(address); }, this);
    // Out of the way until the first watch; the saved window state may show
    // it again. Below the bench, beside the projects, which keep their
    // height.
    setCorner(Qt::BottomRightCorner, Qt::RightDockWidgetArea);
    addDockWidget(Qt::BottomDockWidgetArea, m_watch);
    m_watch->hide();
    QAction* view = m_watch->toggleViewAction();
    view->setText(tr("&Watch"));
    view->setMenuRole(QAction::NoRole);
    m_ui->menuView->addAction(view);

    // While a watch polls, the status bar says so: the dock may be covered
    // by another dock or out of view.
    m_statusWatch = new QLabel(this);
    m_statusWatch->setObjectName(QStringLiteral("label_status_watch"));
    m_statusWatch->setTextFormat(Qt::PlainText);
    m_statusWatch->hide();
    // Left of the version.
    statusBar()->removeWidget(m_statusVersion);
    statusBar()->addPermanentWidget(m_statusWatch);
    statusBar()->addPermanentWidget(m_statusVersion);
    m_statusVersion->show();
    connect(this, &MainWindow::connectedChanged, m_watch, &WatchDock::setConnected);
    connect(m_watch, &WatchDock::runningChanged, this, [this](bool running) {
        m_statusWatch->setText(m_watch->runningText());
        m_statusWatch->setVisible(running);
    });

    connect(m_ui->btn_watch, &QPushButton::clicked, this, &MainWindow::onWatch);
    connect(m_projects, &CProjectsPanel::commandWatchRequested, this, &MainWindow::onWatchCommand);
    connect(m_ui->actionSaveOutput, &QAction::triggered, this, &MainWindow::onSaveOutput);
}

void MainWindow::onWatch()
{
    if (!isConnected())
        return;
    const std::optional<uint8_t> address = currentAddress();
    if (!address) {
        QMessageBox box(QMessageBox::Warning, tr("Watch"), invalidAddressText(), QMessageBox::Ok,
                        this);
        box.exec();
        return;
    }
    m_watch->watch({*address, m_ui->spin_read->value(), QString(), QString(), std::nullopt}, false);
}

void MainWindow::onWatchCommand(uint8_t address, SI2cCommand command, const QString& filePath)
{
    // The file may have changed while the menu was open.
    if (command.type != EI2cCommandType::Read)
        return;
    m_watch->watch({address, command.count, filePath, command.label, std::nullopt}, true);
}

void MainWindow::onSaveOutput()
{
    const QStringList filters = {tr("CSV files (*.csv)"), tr("Text files, as Copy Report (*.txt)")};
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString name =
        QStringLiteral("pellan-output-%1.csv")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const std::optional<SSavePath> chosen =
        askSavePath(this, tr("Save Output"), QDir(folder).filePath(name), filters);
    if (!chosen)
        return;
    const QString& path = chosen->path;
    const bool asText = chosen->filter == 1;

    QString error;
    if (!saveTextFile(path, asText ? m_outputTable->reportText() : m_outputTable->csv(), &error)) {
        // The rows stay in the table, to be saved elsewhere.
        QMessageBox box(QMessageBox::Critical, tr("Save Output"),
                        tr("Could not save the output to \"%1\":\n%2")
                            .arg(QDir::toNativeSeparators(path), error),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return;
    }
    statusBar()->showMessage(tr("%n row(s) saved to %1", nullptr, m_outputTable->rowCount())
                                 .arg(QDir::toNativeSeparators(path)),
                             STATUS_TIMEOUT_MS);
}
