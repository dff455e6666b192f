#pragma once

#include "app/mainwindow.h"
#include "i2c/orvi2c.h"
#include "ui_mainwindow.h"

#include <optional>
#include <vector>

// Reaches inside MainWindow for tests and benchmarks: its widgets, the
// adapter it holds and the operations that have no control of their own.
class MainWindowProbe {
public:
    explicit MainWindowProbe(MainWindow& window) : m_window(window) {}

    Ui::MainWindow* ui() const { return m_window.m_ui.get(); }
    COrvI2c* adapter() const { return m_window.m_adapter.get(); }
    QTimer& presenceTimer() const { return m_window.m_presenceTimer; }

    std::optional<uint8_t> parseAddress(const QString& text, bool eightBit) const
    {
        return m_window.parseAddress(text, eightBit);
    }
    QString formatAddress(uint8_t address) const { return m_window.formatAddress(address); }

    void addTableRow(const QString& type, const QString& flags, const std::vector<uint8_t>& data,
                     bool error) const
    {
        m_window.addTableRow(type, flags, data, error);
    }
    void addTableRow(const QString& type, const QString& flags, const QString& data,
                     bool error) const
    {
        m_window.addTableRow(type, flags, data, error);
    }
    void copyTableRows(MainWindow::ETableCopy mode) const { m_window.copyTableRows(mode); }

private:
    MainWindow& m_window;
};
