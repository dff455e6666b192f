// The main window's bus search.

#include "app/mainwindow.h"

#include "i2c/orvi2c.h"
#include "transactions/i2ctransaction.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QMap>

#include <algorithm>

QString MainWindow::addressRuns(const std::vector<uint8_t>& addresses) const
{
    QStringList runs;
    for (size_t i = 0; i < addresses.size();) {
        size_t last = i;
        while (last + 1 < addresses.size() && addresses[last + 1] == addresses[last] + 1)
            ++last;
        runs.append(last == i ? formatAddress(addresses[i])
                              : QStringLiteral("%1-%2").arg(formatAddress(addresses[i]),
                                                            formatAddress(addresses[last])));
        i = last + 1;
    }
    return runs.join(QStringLiteral(", "));
}

void MainWindow::onI2cSearch()
{
    if (!isConnected())
        return;

    const QString remembered = m_ui->cmb_i2c_device->currentText();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // Only a NACK counts as no device; a timeout or a lost adapter ends the
    // scan at once instead of after a second for every address left.
    const SI2cScan scan = RunScan(*m_adapter);
    QApplication::restoreOverrideCursor();

    if (!m_adapter || !m_adapter->IsPresent()) {
        handleConnectionLost();
        return;
    }

    const std::vector<uint8_t>& found = scan.search.found;
    QStringList texts;
    for (uint8_t address : found)
        texts.append(formatAddress(address));
    if (!scan.failures.empty()) {
        // A broken bus is no empty bus: one row says where the probes failed,
        // and the address box keeps what it offered.
        addTableRow(tr("Search"), QString(), scanFailureText(scan), true);
        return;
    }

    QComboBox* box = m_ui->cmb_i2c_device;
    box->clear();
    box->addItems(texts);
    // The box must keep pointing at the device the user chose: a write after
    // a search must not go to whichever chip answered first.
    const std::optional<uint8_t> chosen = parseAddress(remembered, isAddress8Bit());
    const auto answered = chosen ? std::find(found.begin(), found.end(), *chosen) : found.end();
    if (answered != found.end()) {
        box->setCurrentIndex(static_cast<int>(answered - found.begin()));
    } else if (!remembered.trimmed().isEmpty()) {
        box->setCurrentIndex(-1);
        box->setEditText(remembered);
    }
    addTableRow(tr("Search"), QString(),
                texts.isEmpty() ? tr("No device found") : texts.join(QStringLiteral(", ")), false);
}

QString MainWindow::scanFailureText(const SI2cScan& scan) const
{
    // One part per kind of failure, in the order they first came; the
    // failure that ended the scan early last.
    std::vector<SI2cProbeFailure> failures = scan.failures;
    std::optional<SI2cProbeFailure> stop;
    if (scan.stoppedAt && !failures.empty()) {
        stop = failures.back();
        failures.pop_back();
    }
    QStringList errors;
    QMap<QString, std::vector<uint8_t>> failed;
    for (const SI2cProbeFailure& failure : failures) {
        if (!failed.contains(failure.error))
            errors.append(failure.error);
        failed[failure.error].push_back(failure.address);
    }
    QStringList parts;
    for (const QString& error : errors)
        parts.append(tr("%1 at %2.").arg(error, addressRuns(failed.value(error))));
    if (stop) {
        std::vector<uint8_t> skipped;
        for (int address = stop->address + 1; address <= SEARCH_LAST_ADDRESS; ++address)
            skipped.push_back(static_cast<uint8_t>(address));
        const QString stopped =
            tr("Stopped at %1: %2.").arg(formatAddress(stop->address), stop->error);
        parts.append(skipped.empty() ? stopped
                                     : stopped + QLatin1Char(' ') +
                                           tr("Not probed: %1.").arg(addressRuns(skipped)));
    }
    QStringList found;
    for (uint8_t address : scan.search.found)
        found.append(formatAddress(address));
    parts.append(found.isEmpty() ? tr("Found: none.")
                                 : tr("Found: %1.").arg(found.join(QStringLiteral(", "))));
    return parts.join(QLatin1Char(' '));
}
