#pragma once

#include "projects/i2cdevicefile.h"

#include <QMainWindow>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class COrvI2c;
class CProjectsPanel;
struct SI2cScan;
class OutputTable;
class RegistersDock;
class WatchDock;
class QActionGroup;
class QLabel;
class QWidget;
class QCloseEvent;
class QPoint;
class QAction;
class QByteArray;

namespace Ui {
class MainWindow;
}

// The single window of the program: the bench controls, the output table,
// the status bar, and the projects, watch and registers docks.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // How copyTableRows puts the selected rows on the clipboard.
    enum class ETableCopy { Report = 0, Data = 1, DataAsShown = 2 };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The hex text of the Data column: FormatHexLines, which the
    // command-line tool shares.
    static QString formatHexLines(const QByteArray& data, int bytesPerLine, bool offsetDecimal);

    // Keeps the geometry and the docks' places for the next start; closing
    // does it too.
    void saveWindowState();

    friend class MainWindowProbe;

signals:
    // An adapter was connected, or the connection ended.
    void connectedChanged(bool connected);

protected:
    void closeEvent(QCloseEvent* event) override;
    // The output table's context menu from the keyboard.
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void onConnect();
    void onDisconnect();
    void onI2cSearch();
    void onWrite();
    void onRead();
    void onAbout();
    void onSpeedTriggered(QAction* action);
    void onPullUpsTriggered(bool checked);
    void onAddressFormatTriggered();
    void onPresenceTimer();
    void onLoadCommand(uint8_t address, SI2cCommand command);
    void onExecuteCommand(uint8_t address, SI2cCommand command);
    void onWriteSave();
    void onReadSave();
    void onProjectsFolder();
    void onBytesPerLineChanged();
    void onTableContextMenu(const QPoint& pos);
    void onWatch();
    void onWatchCommand(uint8_t address, SI2cCommand command, const QString& filePath);
    void onSaveOutput();

private:
    void setupOptionActions();
    void setupTable();
    void setupStatusBar();
    void setupProjects();
    // The docks beside the projects: the watch and the registers.
    void setupDocks();
    void setupWatch();
    void setupRegisters();
    void restoreWindowState();
    // The first window's size: the designed one, bounded by the screen.
    void fitToScreen();
    // A restored window's size and place, bounded by the screen it is on.
    void keepOnScreen();
    void updateUiState();
    bool isConnected() const;
    bool isAddress8Bit() const;
    bool isOffsetDecimal() const;
    int bytesPerLine() const;

    QString formatAddress(uint8_t address) const;
    std::optional<uint8_t> parseAddress(const QString& text, bool eightBit) const;
    std::optional<uint8_t> currentAddress() const;

    // address: of the transaction, kept with the row for saving.
    void addTableRow(const QString& type, const QString& flags, const QString& data, bool error,
                     std::optional<uint8_t> address = std::nullopt);
    void addTableRow(const QString& type, const QString& flags, const std::vector<uint8_t>& data,
                     bool error, std::optional<uint8_t> address = std::nullopt);
    void copyTableRows(ETableCopy mode);

    // Runs of neighbouring addresses as "0x08-0x77, 0x7A".
    QString addressRuns(const std::vector<uint8_t>& addresses) const;
    // The search row of a scan on which probes failed.
    QString scanFailureText(const SI2cScan& scan) const;

    void handleConnectionLost();
    QString invalidAddressText() const;
    // address: none for the modes that send none.
    void sendWrite(EI2cStartStop mode, std::optional<uint8_t> address,
                   const std::vector<uint8_t>& bytes);

    std::unique_ptr<Ui::MainWindow> m_ui;
    std::unique_ptr<COrvI2c> m_adapter;
    QTimer m_presenceTimer;
    CProjectsPanel* m_projects = nullptr;
    OutputTable* m_outputTable = nullptr;
    WatchDock* m_watch = nullptr;
    RegistersDock* m_registers = nullptr;
    QActionGroup* m_speedGroup = nullptr;
    QActionGroup* m_addressGroup = nullptr;
    bool m_lastAddress8Bit = false;
    // The pull-ups mark and tool tip kept while a model without the switch
    // is connected.
    std::optional<bool> m_pullUpsWish;
    QString m_pullUpsToolTip;

    QLabel* m_statusConnection = nullptr;
    QWidget* m_statusDetails = nullptr;
    QLabel* m_statusProduct = nullptr;
    QLabel* m_statusSerial = nullptr;
    QLabel* m_statusFirmware = nullptr;
    QLabel* m_statusVersion = nullptr;
    QLabel* m_statusWatch = nullptr;
};
