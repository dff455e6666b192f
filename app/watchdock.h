#pragma once

#include "app/watchhistory.h"
#include "app/watchruleeditor.h"
#include "transactions/watch.h"

#include <QDockWidget>
#include <QElapsedTimer>
#include <QPalette>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class COrvI2c;
class ElidedLabel;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class WatchPlot;

// The "Watch" dock: polls one read at an interval on the GUI thread,
// decodes each result by a rule, and shows the latest value, its minimum,
// maximum and mean, the failures and a live plot; the samples save as CSV.
// Polls never reach the output table.
//
// A poll that fails leaves a gap and counts as a failure, and the watch goes
// on. It stops, saying why, when the adapter is gone or a poll ran into the
// adapter's deadline (every further one would freeze the window that long),
// and pauses when the dock is closed or the bench addresses the watched
// device. The rule is the one its WatchRuleEditor applied last; the samples
// are kept, in series, by a WatchHistory.
class WatchDock : public QDockWidget {
    Q_OBJECT

public:
    // What to watch: an address and a byte count, from the bench or from a
    // stored read command (then with its device file and label, which name
    // the remembered rule). A rule given here (a register map's register)
    // replaces the remembered one.
    struct STarget {
        uint8_t address = 0;
        int count = 2;
        QString filePath;
        QString label;
        std::optional<SWatchRuleTexts> rule;
    };

    // The connected adapter, or null.
    using AdapterAccess = std::function<COrvI2c*()>;
    // Called after a poll found the adapter gone; drops the connection.
    using ConnectionLost = std::function<void()>;
    using FormatAddress = std::function<QString(uint8_t address)>;

    WatchDock(AdapterAccess adapter, ConnectionLost connectionLost, FormatAddress formatAddress,
              QWidget* parent);
    ~WatchDock() override;

    // Shows the dock with the target and its remembered rule and starts
    // polling if an adapter is connected. Samples of another target that were
    // not saved are discarded only after the user agrees.
    void watch(const STarget& target, bool focusRule);
    // Stops polling with the reason shown, e.g. when the adapter went away.
    void stop(const QString& reason);
    bool isRunning() const { return m_pollTimer.isActive(); }
    // A transaction from the bench is about to go to this address: a
    // running watch of that device pauses first, so that its polls cannot
    // move the device's register pointer in between. Without an address
    // (a write that continues or leaves open a transaction) any watch
    // pauses. what names the transaction, e.g. "a write to 0x48".
    void pauseForBench(std::optional<uint8_t> address, const QString& what);
    // While held, the polls that fall due are skipped and the watch goes on
    // running: another run on the GUI thread lets events through.
    void holdPolls(bool held) { m_held = held; }
    // What runs, e.g. "Watching 0x48 every 100ms"; empty while paused.
    QString runningText() const;
    // The address form changed: the texts that name the target follow it.
    void refreshAddresses();

signals:
    // Polling started or stopped.
    void runningChanged(bool running);

public:
    // Whether Start may be pressed.
    void setConnected(bool connected);
    // True when there are no unsaved samples, or the user agreed to lose
    // them; question ends the box's text, e.g. "Discard them and quit?".
    bool mayDiscard(const QString& question);

    // The samples in memory, the newest last; older ones may be on disk.
    const std::deque<SWatchSample>& samples() const { return m_history.inMemory(); }
    const WatchHistory& history() const { return m_history; }
    int failureCount() const { return m_failures; }
    // Writes every sample as CSV; false with the reason in error.
    bool saveCsv(const QString& path, QString* error) const
    {
        return m_history.saveCsv(path, error);
    }
    // Brings the texts and the plot up to date now rather than at the next
    // refresh tick.
    void refreshNow();
    WatchPlot* plot() const { return m_plot; }
    WatchRuleEditor* ruleEditor() const { return m_editor; }

private slots:
    void onStartPause();
    void onClear();
    void onSaveCsv();
    void onPoll();
    void onRuleApplied();
    void onIntervalEdited();
    void onWindowChanged(int seconds);

private:
    void buildUi();
    void start();
    void setStatus(const QString& text);
    void updateButtons();
    QString sourceKey() const;
    void loadRemembered();
    void saveRemembered() const;
    void addSample(SWatchSample sample);
    void countSample(const SWatchSample& sample);
    void resetCounts();
    void clearSamples();
    void scheduleRefresh();
    QString sourceText() const;

    AdapterAccess m_adapter;
    ConnectionLost m_connectionLost;
    FormatAddress m_formatAddress;

    std::optional<STarget> m_target;
    // The rule of the polls and of the numbers shown: the one the editor
    // applied last, whatever its fields hold now.
    SWatchRule m_rule;
    bool m_connected = false;
    bool m_held = false;
    // How many samples the last save wrote: those after it are unsaved.
    qsizetype m_savedTotal = 0;
    // The next sample follows a pause: the line must not bridge it.
    bool m_resumed = false;

    QTimer m_pollTimer;
    QTimer m_refreshTimer;
    QElapsedTimer m_clock; // since the first sample of the session
    WatchHistory m_history;
    // The spill failure last reported.
    QString m_spillWarning;
    int m_failures = 0;
    double m_min = 0;
    double m_max = 0;
    // Wide enough that no sum of finite values overflows.
    long double m_sum = 0;
    qsizetype m_values = 0;

    ElidedLabel* m_sourceLabel = nullptr;
    QComboBox* m_interval = nullptr;
    QSpinBox* m_window = nullptr;
    WatchRuleEditor* m_editor = nullptr;
    // The interval of the polls: the field's last valid one.
    int m_intervalMs = 500;
    bool m_intervalInvalid = false;
    QPalette m_intervalPalette;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_clearButton = nullptr;
    QPushButton* m_saveButton = nullptr;
    ElidedLabel* m_valueLabel = nullptr;
    ElidedLabel* m_statsLabel = nullptr;
    ElidedLabel* m_failuresLabel = nullptr;
    QLabel* m_statusLabel = nullptr;
    WatchPlot* m_plot = nullptr;
};
