#include "app/watchdock.h"

#include "app/elidedlabel.h"
#include "app/savepath.h"
#include "app/savetextfile.h"
#include "app/watchplot.h"
#include "app/watchruleeditor.h"
#include "i2c/orvi2c.h"
#include "transactions/registeraccess.h"

#include <QAccessible>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString SETTINGS_INTERVAL = QStringLiteral("watch/interval");
const QString SETTINGS_WINDOW = QStringLiteral("watch/window");
const QString SETTINGS_RULES = QStringLiteral("watch/rules");
// Rules of this many sources are remembered, the most recently used first.
constexpr int REMEMBERED_RULES = 50;

constexpr int DEFAULT_INTERVAL_MS = 500;
constexpr int DEFAULT_WINDOW_S = 60;
constexpr int WINDOW_MIN_S = 5;
constexpr int WINDOW_MAX_S = 24 * 3600;
// The texts and the plot follow the samples at most this often: polls may
// come every 10 ms, faster than anyone reads or a screen shows.
constexpr int REFRESH_MS = 50;
// A poll later than its interval plus the larger of the interval and this
// left a gap: timer jitter on a busy machine stays below it.
constexpr int STALL_MIN_MS = 100;

const char* const INTERVAL_PRESETS[] = {"10ms", "100ms", "500ms", "1s", "5s", "1min"};

const QColor ERROR_COLOR(244, 67, 54);

// Wrapped at whatever width the layout gives: a long word (a path) must not
// widen the window either.
QLabel* createWrappedLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    label->setSizePolicy(policy);
    return label;
}

} // namespace

WatchDock::WatchDock(AdapterAccess adapter, ConnectionLost connectionLost,
                     FormatAddress formatAddress, QWidget* parent)
    : QDockWidget(tr("Watch"), parent), m_adapter(std::move(adapter)),
      m_connectionLost(std::move(connectionLost)), m_formatAddress(std::move(formatAddress))
{
    setObjectName(QStringLiteral("dock_watch"));
    m_pollTimer.setTimerType(Qt::PreciseTimer);
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(REFRESH_MS);
    connect(&m_pollTimer, &QTimer::timeout, this, &WatchDock::onPoll);
    connect(&m_refreshTimer, &QTimer::timeout, this, &WatchDock::refreshNow);
    buildUi();

    QSettings settings;
    bool ok = false;
    const int interval = settings.value(SETTINGS_INTERVAL).toInt(&ok);
    m_intervalMs = ok && interval >= WATCH_INTERVAL_MIN_MS && interval <= WATCH_INTERVAL_MAX_MS
                       ? interval
                       : DEFAULT_INTERVAL_MS;
    m_interval->setEditText(FormatWatchInterval(m_intervalMs));
    const int window = settings.value(SETTINGS_WINDOW).toInt(&ok);
    m_window->setValue(ok && window >= WINDOW_MIN_S ? window : DEFAULT_WINDOW_S);
    m_plot->setWindowSeconds(m_window->value());

    // A choice from the list applies at once, a typed one on Return or
    // when the focus leaves.
    connect(m_interval, &QComboBox::currentIndexChanged, this, &WatchDock::onIntervalEdited);
    connect(m_interval->lineEdit(), &QLineEdit::editingFinished, this,
            &WatchDock::onIntervalEdited);
    connect(m_window, &QSpinBox::valueChanged, this, &WatchDock::onWindowChanged);
    // Closed, the dock polls no more: nothing would show it, and the polls
    // would go on moving the device's register pointer. Covered by another
    // dock's tab it is not hidden and goes on, as the status bar says.
    // Floating and docking hide the dock for a moment on their way: only a
    // dock still hidden once they are done was closed.
    connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible || !isHidden())
            return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isHidden() && isRunning())
                    stop(tr("Paused: the Watch dock was closed. Press Start to watch again."));
            },
            Qt::QueuedConnection);
    });
    setStatus(tr("Start a watch with Watch beside Read, or from a read command of the projects."));
    updateButtons();
    refreshNow();
}

WatchDock::~WatchDock()
{
    m_pollTimer.stop();
}

void WatchDock::buildUi()
{
    auto* contents = new QWidget;
    auto* main = new QHBoxLayout(contents);

    auto* left = new QVBoxLayout;
    m_sourceLabel = new ElidedLabel(contents);
    m_sourceLabel->setObjectName(QStringLiteral("label_watch_source"));
    m_editor = new WatchRuleEditor(contents);
    m_interval = new QComboBox(contents);
    m_interval->setObjectName(QStringLiteral("cmb_watch_interval"));
    m_interval->setEditable(true);
    m_interval->setInsertPolicy(QComboBox::NoInsert);
    for (const char* preset : INTERVAL_PRESETS)
        m_interval->addItem(QLatin1String(preset));
    // Typing "5ms" must not pass through "500ms" on its way.
    m_interval->setCompleter(nullptr);
    m_interval->setToolTip(tr("Time between polls, 10ms to 1h, e.g. 100ms, 2s or 1min"));
    m_intervalPalette = m_interval->lineEdit()->palette();
    m_window = new QSpinBox(contents);
    m_window->setObjectName(QStringLiteral("spin_watch_window"));
    m_window->setRange(WINDOW_MIN_S, WINDOW_MAX_S);
    m_window->setSuffix(tr(" s"));
    m_window->setKeyboardTracking(false);
    // In the editor's grid, so that all the fields line up.
    m_editor->addRow(WatchRuleEditor::ERowPlace::Above, tr("Source:"), m_sourceLabel);
    m_editor->addRow(WatchRuleEditor::ERowPlace::Below, tr("Interval:"), m_interval,
                     tr("Plot window:"), m_window);
    // The box is named by its label; the edit field inside it has none.
    m_interval->lineEdit()->setAccessibleName(tr("Interval:"));
    left->addWidget(m_editor);

    auto* buttons = new QHBoxLayout;
    m_startButton = new QPushButton(tr("Start"), contents);
    m_startButton->setObjectName(QStringLiteral("btn_watch_start"));
    m_clearButton = new QPushButton(tr("Clear"), contents);
    m_clearButton->setObjectName(QStringLiteral("btn_watch_clear"));
    m_saveButton = new QPushButton(tr("Save CSV..."), contents);
    m_saveButton->setObjectName(QStringLiteral("btn_watch_save"));
    buttons->addWidget(m_startButton);
    buttons->addWidget(m_clearButton);
    buttons->addWidget(m_saveButton);
    buttons->addStretch();
    left->addLayout(buttons);
    left->addStretch(1);
    main->addLayout(left);

    auto* right = new QVBoxLayout;
    m_valueLabel = new ElidedLabel(contents);
    m_valueLabel->setObjectName(QStringLiteral("label_watch_value"));
    QFont big = m_valueLabel->font();
    big.setPointSizeF(big.pointSizeF() * 2.2);
    big.setBold(true);
    m_valueLabel->setFont(big);
    // Reachable and read out as text; its name is the value itself, so a
    // screen reader announces each new one.
    m_valueLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_valueLabel->setFocusPolicy(Qt::StrongFocus);
    m_valueLabel->setDescription(tr("Latest value"));
    m_statsLabel = new ElidedLabel(contents);
    m_statsLabel->setObjectName(QStringLiteral("label_watch_stats"));
    m_failuresLabel = new ElidedLabel(contents);
    m_failuresLabel->setObjectName(QStringLiteral("label_watch_failures"));
    m_statusLabel = createWrappedLabel(contents);
    m_statusLabel->setObjectName(QStringLiteral("label_watch_status"));
    right->addWidget(m_valueLabel);
    right->addWidget(m_statsLabel);
    right->addWidget(m_failuresLabel);
    right->addWidget(m_statusLabel);
    m_plot = new WatchPlot(contents);
    m_plot->view()->setObjectName(QStringLiteral("view_watch_plot"));
    m_plot->view()->setAccessibleName(tr("Plot of the value against time"));
    right->addWidget(m_plot->view(), 1);
    main->addLayout(right, 1);

    // Scrolled when there is no room: the dock never asks the window for
    // more height than a small screen has.
    auto* scroller = new QScrollArea(this);
    scroller->setObjectName(QStringLiteral("scroll_watch"));
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    // Tab goes to the fields in it, which it scrolls into view; it is no
    // stop of its own.
    scroller->setFocusPolicy(Qt::NoFocus);
    // Beside the Registers view the dock is narrow and its scroll bars show.
    scroller->verticalScrollBar()->setAccessibleName(tr("Scroll the watch up and down"));
    scroller->horizontalScrollBar()->setAccessibleName(tr("Scroll the watch sideways"));
    scroller->setWidget(contents);
    setWidget(scroller);

    connect(m_startButton, &QPushButton::clicked, this, &WatchDock::onStartPause);
    connect(m_clearButton, &QPushButton::clicked, this, &WatchDock::onClear);
    connect(m_saveButton, &QPushButton::clicked, this, &WatchDock::onSaveCsv);
    connect(m_editor, &WatchRuleEditor::ruleApplied, this, &WatchDock::onRuleApplied);
}

// ---- Target, rule and settings ----------------------------------------------

void WatchDock::watch(const STarget& target, bool focusRule)
{
    const bool sameSource =
        m_target && m_target->address == target.address && m_target->count == target.count &&
        m_target->filePath == target.filePath && m_target->label == target.label;
    if (!sameSource && !mayDiscard(tr("Discard them?")))
        return;
    show();
    raise();
    if (!sameSource) {
        if (isRunning()) {
            m_pollTimer.stop();
            emit runningChanged(false);
        }
        m_target = target;
        clearSamples();
        loadRemembered();
        m_sourceLabel->setFullText(sourceText());
        m_history.setSource(sourceText());
    } else if (target.rule) {
        m_editor->setTexts(*target.rule);
    }
    if (focusRule)
        m_editor->formatField()->setFocus();
    // The question above ran an event loop: the adapter is asked afresh.
    if (!isRunning())
        start();
}

QString WatchDock::sourceText() const
{
    if (!m_target)
        return tr("none");
    const QString address = m_formatAddress(m_target->address);
    const QString read = m_target->count == 1
                             ? tr("1 byte from %1").arg(address)
                             : tr("%1 bytes from %2").arg(m_target->count).arg(address);
    if (m_target->label.isEmpty())
        return read;
    return tr("%1 (%2, %3)").arg(m_target->label, QFileInfo(m_target->filePath).fileName(), read);
}

QString WatchDock::sourceKey() const
{
    if (!m_target)
        return {};
    if (!m_target->filePath.isEmpty())
        return QStringLiteral("file:%1#%2").arg(m_target->filePath, m_target->label);
    return QStringLiteral("bus:0x%1/%2")
        .arg(m_target->address, 2, 16, QLatin1Char('0'))
        .arg(m_target->count);
}

void WatchDock::loadRemembered()
{
    const QString key = sourceKey();
    QSettings settings;
    const int size = settings.beginReadArray(SETTINGS_RULES);
    // Nobody chose a format yet: the one that takes the bytes read.
    SWatchRuleTexts texts;
    texts.decoding.format =
        ValueFormatName(WatchRuleEditor::defaultFormat(m_target ? m_target->count : 2));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        if (settings.value(QStringLiteral("source")).toString() != key)
            continue;
        texts.decoding = {settings.value(QStringLiteral("format")).toString(),
                          settings.value(QStringLiteral("shift")).toString(),
                          settings.value(QStringLiteral("mask")).toString(),
                          settings.value(QStringLiteral("scale")).toString(),
                          settings.value(QStringLiteral("offset")).toString(),
                          settings.value(QStringLiteral("unit")).toString(),
                          settings.value(QStringLiteral("decimals")).toString(),
                          settings.value(QStringLiteral("maskSigned"), false).toBool()};
        texts.reg = settings.value(QStringLiteral("register")).toString();
        texts.regWidth = settings.value(QStringLiteral("registerWidth"), 1).toInt();
        break;
    }
    settings.endArray();
    if (m_target && m_target->rule)
        texts = *m_target->rule;
    m_editor->setTexts(texts);
    m_rule = m_editor->appliedRule();
    m_history.setRule(m_editor->appliedTexts(), m_rule.decoding);
    m_plot->setUnit(m_rule.decoding.unit);
}

void WatchDock::saveRemembered() const
{
    const QString key = sourceKey();
    if (key.isEmpty())
        return;
    struct SEntry {
        QMap<QString, QVariant> values;
    };
    QList<SEntry> entries;
    QSettings settings;
    const int size = settings.beginReadArray(SETTINGS_RULES);
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        if (settings.value(QStringLiteral("source")).toString() == key)
            continue;
        SEntry entry;
        for (const QString& name : settings.childKeys())
            entry.values.insert(name, settings.value(name));
        entries.append(entry);
    }
    settings.endArray();

    const SWatchRuleTexts& rule = m_editor->appliedTexts();
    const SDecodingTexts& texts = rule.decoding;
    SEntry current;
    current.values = {
        {QStringLiteral("source"), key},
        {QStringLiteral("format"), texts.format},
        {QStringLiteral("shift"), texts.shift},
        {QStringLiteral("mask"), texts.mask},
        {QStringLiteral("scale"), texts.scale},
        {QStringLiteral("offset"), texts.offset},
        {QStringLiteral("unit"), texts.unit},
        {QStringLiteral("decimals"), texts.decimals},
        {QStringLiteral("register"), rule.reg},
        {QStringLiteral("registerWidth"), rule.regWidth},
        {QStringLiteral("maskSigned"), texts.maskSigned},
    };
    entries.prepend(current);
    while (entries.size() > REMEMBERED_RULES)
        entries.removeLast();

    settings.remove(SETTINGS_RULES);
    settings.beginWriteArray(SETTINGS_RULES, static_cast<int>(entries.size()));
    for (int i = 0; i < entries.size(); ++i) {
        settings.setArrayIndex(i);
        for (auto it = entries.at(i).values.cbegin(); it != entries.at(i).values.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    settings.endArray();
}

void WatchDock::onRuleApplied()
{
    const SWatchRule rule = m_editor->appliedRule();
    // Samples stay as they were decoded: another register or decoding makes
    // a new series, which the value, statistics and plot show alone; a new
    // unit or number of decimals only shows the current one anew.
    const bool sameReading = rule.readsAsSameAs(m_rule) &&
                             rule.decoding.format == m_rule.decoding.format &&
                             rule.decoding.shift == m_rule.decoding.shift &&
                             rule.decoding.mask == m_rule.decoding.mask &&
                             rule.decoding.maskSigned == m_rule.decoding.maskSigned &&
                             rule.decoding.scale == m_rule.decoding.scale &&
                             rule.decoding.offset == m_rule.decoding.offset;
    const bool newSeries = !sameReading && m_history.seriesHasSamples();
    m_history.setRule(m_editor->appliedTexts(), rule.decoding);
    m_rule = rule;
    m_plot->setUnit(m_rule.decoding.unit);
    if (newSeries) {
        resetCounts();
        m_plot->clear();
        m_resumed = false;
        setStatus(tr("New series %1: the register or the decoding changed.")
                      .arg(m_history.seriesCount()));
    }
    refreshNow();
    saveRemembered();
}

void WatchDock::onIntervalEdited()
{
    QString error;
    const std::optional<int> interval = ParseWatchInterval(m_interval->currentText(), &error);
    QLineEdit* edit = m_interval->lineEdit();
    if (!interval) {
        // Marked as the rule's fields are; the interval in force stays.
        QPalette palette = m_intervalPalette;
        palette.setColor(QPalette::Base, QColor(0xFF, 0xEB, 0xEE));
        palette.setColor(QPalette::Text, QColor(0xB7, 0x1C, 0x1C));
        edit->setPalette(palette);
        edit->setAccessibleDescription(tr("Not valid: %1").arg(error));
        m_interval->setToolTip(error);
        setStatus(tr("Interval not applied: %1 Polling every %2.")
                      .arg(error, FormatWatchInterval(m_intervalMs)));
        m_intervalInvalid = true;
        return;
    }
    edit->setPalette(m_intervalPalette);
    edit->setAccessibleDescription(QString());
    m_interval->setToolTip(tr("Time between polls, 10ms to 1h, e.g. 100ms, 2s or 1min"));
    if (*interval == m_intervalMs && !m_intervalInvalid)
        return;
    m_intervalInvalid = false;
    m_intervalMs = *interval;
    m_pollTimer.setInterval(*interval);
    QSettings().setValue(SETTINGS_INTERVAL, *interval);
    if (isRunning()) {
        setStatus(tr("Watching every %1.").arg(FormatWatchInterval(*interval)));
        emit runningChanged(true);
    } else {
        setStatus(tr("Polls every %1 when started.").arg(FormatWatchInterval(*interval)));
    }
}

void WatchDock::onWindowChanged(int seconds)
{
    m_plot->setWindowSeconds(seconds);
    QSettings().setValue(SETTINGS_WINDOW, seconds);
}

// ---- Polling -----------------------------------------------------------------

void WatchDock::setConnected(bool connected)
{
    m_connected = connected;
    updateButtons();
}

void WatchDock::updateButtons()
{
    m_startButton->setText(isRunning() ? tr("Pause") : tr("Start"));
    m_startButton->setEnabled(isRunning() || (m_connected && m_target));
    m_clearButton->setEnabled(m_history.total() > 0);
    m_saveButton->setEnabled(m_history.total() > 0);
}

void WatchDock::setStatus(const QString& text)
{
    if (text == m_statusLabel->text())
        return;
    m_statusLabel->setText(text);
    // Why the watch stopped or paused, said also to those who do not look.
    QAccessibleEvent event(m_statusLabel, QAccessible::Alert);
    QAccessible::updateAccessibility(&event);
}

void WatchDock::onStartPause()
{
    if (isRunning())
        stop(tr("Paused."));
    else
        start();
}

void WatchDock::start()
{
    if (!m_target)
        return;
    const COrvI2c* adapter = m_adapter();
    if (!adapter) {
        setStatus(tr("Connect an adapter to start watching."));
        updateButtons();
        return;
    }
    // Every poll would fail: refused as a read of that count is.
    const auto count = static_cast<size_t>(m_target->count);
    if (count > adapter->GetMaxReadCount()) {
        setStatus(tr("Not started: the %1 reads 1 to %2 bytes at a time, not %3.")
                      .arg(QString::fromStdWString(adapter->GetTypeName()))
                      .arg(adapter->GetMaxReadCount())
                      .arg(count));
        updateButtons();
        return;
    }
    m_resumed = m_history.total() > 0;
    if (m_history.total() == 0)
        m_clock.start();
    m_pollTimer.start(m_intervalMs);
    setStatus(tr("Watching every %1.").arg(FormatWatchInterval(m_intervalMs)));
    updateButtons();
    emit runningChanged(true);
    onPoll();
}

void WatchDock::stop(const QString& reason)
{
    if (!isRunning())
        return;
    m_pollTimer.stop();
    setStatus(reason);
    updateButtons();
    refreshNow();
    emit runningChanged(false);
}

void WatchDock::pauseForBench(std::optional<uint8_t> address, const QString& what)
{
    if (!isRunning() || !m_target || (address && *address != m_target->address))
        return;
    stop(tr("Paused for %1 from the bench: the watch's polls would come between its parts. "
            "Press Start to watch again.")
             .arg(what));
}

QString WatchDock::runningText() const
{
    if (!isRunning() || !m_target)
        return {};
    return tr("Watching %1 every %2")
        .arg(m_formatAddress(m_target->address), FormatWatchInterval(m_pollTimer.interval()));
}

void WatchDock::refreshAddresses()
{
    if (!m_target)
        return;
    m_sourceLabel->setFullText(sourceText());
    m_history.setSource(sourceText());
    if (isRunning())
        emit runningChanged(true);
}

void WatchDock::onPoll()
{
    // Hidden, the dock is being closed, or moved on its way to floating.
    if (!m_target || !isRunning() || isHidden() || m_held)
        return;
    COrvI2c* adapter = m_adapter();
    if (!adapter) {
        stop(tr("Stopped: no adapter is connected."));
        return;
    }
    SWatchSource source;
    source.address = m_target->address;
    source.count = static_cast<size_t>(m_target->count);
    source.reg = m_rule.reg;
    source.regWidth = m_rule.regWidth;

    const SWatchPoll poll = RunWatchPoll(*adapter, source);
    if (!poll.ok && !adapter->IsPresent()) {
        // Stopped first: the message box of a lost connection runs an event
        // loop, in which no further poll may come.
        stop(tr("Stopped: the connection to the adapter was lost."));
        m_connectionLost();
        return;
    }
    addSample(MakeWatchSample(poll, m_rule.decoding, QDateTime::currentMSecsSinceEpoch(),
                              static_cast<double>(m_clock.nsecsElapsed()) / 1e9));
    if (poll.timedOut)
        stop(tr("Stopped: %1 did not answer in time (%2). Each further poll would freeze the "
                "window that long.")
                 .arg(m_formatAddress(m_target->address), poll.error));
}

void WatchDock::addSample(SWatchSample sample)
{
    // A poll far behind its time (the window was busy, the system stalled)
    // leaves a stretch without samples, which the line must not bridge.
    const std::deque<SWatchSample>& recent = m_history.inMemory();
    const bool late = !recent.empty() && (sample.seconds - recent.back().seconds) * 1000.0 >
                                             m_intervalMs + std::max(m_intervalMs, STALL_MIN_MS);
    if (m_resumed || late) {
        m_plot->append(sample.epochMs, WatchPlot::GAP);
        m_resumed = false;
    }
    countSample(sample);
    m_plot->append(sample.epochMs, sample.value.value_or(WatchPlot::GAP));
    const bool bounded = m_history.append(std::move(sample));
    if (!bounded && m_history.spillError() != m_spillWarning) {
        m_spillWarning = m_history.spillError();
        setStatus(tr("Older samples could not go to a temporary file (%1); they stay in memory.")
                      .arg(m_spillWarning));
    }
    scheduleRefresh();
}

// Min, max, mean and failures over every sample of the session.
void WatchDock::countSample(const SWatchSample& sample)
{
    if (!sample.value) {
        // A rule that does not fit the bytes is the rule's fault, not the
        // bus's: the editor says so.
        if (!sample.ruleError)
            ++m_failures;
        return;
    }
    const double value = *sample.value;
    m_min = m_values == 0 ? value : std::min(m_min, value);
    m_max = m_values == 0 ? value : std::max(m_max, value);
    m_sum += value;
    ++m_values;
}

void WatchDock::resetCounts()
{
    m_failures = 0;
    m_values = 0;
    m_sum = 0;
}

void WatchDock::scheduleRefresh()
{
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void WatchDock::refreshNow()
{
    m_refreshTimer.stop();
    // The value of the current series only.
    const SWatchSample* last = m_history.seriesHasSamples() ? &samples().back() : nullptr;
    if (!last)
        m_valueLabel->setFullText(tr("No value"));
    else if (last->value)
        m_valueLabel->setFullText(FormatDecodedValue(m_rule.decoding, *last->value));
    else if (last->ruleError)
        m_valueLabel->setFullText(tr("Rule error"));
    else
        m_valueLabel->setFullText(tr("Failed: %1").arg(last->error));
    m_editor->setDecodingError(last && last->ruleError ? last->error : QString());
    if (m_values > 0)
        m_statsLabel->setFullText(
            tr("Min %1   Max %2   Mean %3")
                .arg(FormatDecodedValue(m_rule.decoding, m_min),
                     FormatDecodedValue(m_rule.decoding, m_max),
                     FormatDecodedValue(m_rule.decoding, static_cast<double>(m_sum / m_values))));
    else
        m_statsLabel->setFullText(tr("Min -   Max -   Mean -"));
    m_failuresLabel->setFullText(tr("Failures: %1").arg(m_failures));
    m_plot->refresh();
    updateButtons();
}

// ---- Clear and save ------------------------------------------------------------

bool WatchDock::mayDiscard(const QString& question)
{
    const qsizetype unsaved = m_history.total() - m_savedTotal;
    if (unsaved <= 0)
        return true;
    QMessageBox box(QMessageBox::Question, tr("Watch"),
                    tr("%n sample(s) of the current watch have not been saved.", nullptr,
                       static_cast<int>(unsaved)) +
                        QLatin1Char(' ') + question,
                    QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Discard;
}

void WatchDock::onClear()
{
    if (!mayDiscard(tr("Discard them?")))
        return;
    clearSamples();
    // Nothing of an earlier save or sample is left to speak of.
    setStatus(isRunning() ? tr("Cleared; watching every %1.").arg(FormatWatchInterval(m_intervalMs))
                          : tr("Cleared."));
}

void WatchDock::clearSamples()
{
    m_history.clear();
    m_spillWarning.clear();
    resetCounts();
    m_savedTotal = 0;
    m_resumed = false;
    m_clock.start();
    m_plot->clear();
    refreshNow();
}

void WatchDock::onSaveCsv()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString name =
        QStringLiteral("watch-%1.csv")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const std::optional<SSavePath> chosen =
        askSavePath(this, tr("Save Watch"), QDir(folder).filePath(name), {tr("CSV files (*.csv)")});
    if (!chosen)
        return;
    const QString& path = chosen->path;
    QString error;
    if (!saveCsv(path, &error)) {
        QMessageBox box(QMessageBox::Critical, tr("Save Watch"),
                        tr("Could not save the samples to \"%1\":\n%2\n\nThey are kept; "
                           "try another place.")
                            .arg(QDir::toNativeSeparators(path), error),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return;
    }
    m_savedTotal = m_history.total();
    setStatus(tr("Saved %n sample(s) to %1.", nullptr, static_cast<int>(m_history.total()))
                  .arg(QDir::toNativeSeparators(path)));
}
