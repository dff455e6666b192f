#pragma once

#include "app/mainwindow.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"
#include "tests/support/dialoganswerer.h"
#include "tests/support/mainwindowprobe.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QSettings>
#include <QTableWidget>

#include <memory>
#include <vector>

namespace apptest {

// A clean start: no settings, no simulated hardware.
inline void resetAll()
{
    QSettings().clear();
    CSimHidStack::Instance().Reset();
}

inline void setApplicationNames()
{
    QApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QApplication::setApplicationName(QStringLiteral("pellan_i2c"));
}

// Plugs an adapter with only the given devices on its bus.
inline std::shared_ptr<CSimOrvAdapter> plugBare(ESimOrvModel model, const std::wstring& serial)
{
    SSimOrvOptions options;
    options.defaultDevices = false;
    return CSimOrvAdapter::Plug(model, serial, options);
}

// Connects through the device dialog to the adapter whose item mentions
// serial; the dialog's other choices stay as they open.
inline bool connectTo(MainWindow& window, const QString& serial)
{
    testsupport::CDialogAnswerer answerer;
    answerer.handleWith([serial](QWidget* dialog) {
        auto* box = dialog->findChild<QComboBox*>(QStringLiteral("cmb_device"));
        for (int i = 0; box && i < box->count(); ++i) {
            if (box->itemText(i).contains(serial))
                box->setCurrentIndex(i);
        }
        static_cast<QDialog*>(dialog)->accept();
    });
    MainWindowProbe probe(window);
    probe.ui()->actionConnect->trigger();
    return probe.adapter() && probe.adapter()->IsConnected();
}

// Reports of one ID that the adapter received since the last call.
inline std::vector<CSimOrvAdapter::Report> takeReports(CSimOrvAdapter& adapter, uint8_t id)
{
    std::vector<CSimOrvAdapter::Report> matching;
    for (CSimOrvAdapter::Report& report : adapter.TakeReceivedReports()) {
        if (!report.empty() && report[0] == id)
            matching.push_back(std::move(report));
    }
    return matching;
}

inline QString cell(MainWindow& window, int row, int column)
{
    const QTableWidgetItem* item = MainWindowProbe(window).ui()->table_data->item(row, column);
    return item ? item->text() : QString();
}

inline QString lastCell(MainWindow& window, int column)
{
    return cell(window, MainWindowProbe(window).ui()->table_data->rowCount() - 1, column);
}

} // namespace apptest
