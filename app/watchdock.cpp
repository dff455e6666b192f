#include "app/watchdock.h"

#include "app/savetextfile.h"
#include "app/watchplot.h"
#include "i2c/orvi2c.h"
#include "transactions/registeraccess.h"

#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
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

const char* const INTERVAL_PRESETS[] = {"10ms", "100ms", "500ms", "1s", "5s", "1min"};

const QColor ERROR_COLOR(244, 67, 54);

QLabel* addField(QGridLayout* grid, int row, int column, const QString& text, QWidget* field)
{
    auto* label = new QLabel(text, grid->parentWidget());
    label->setBuddy(field);
    grid->addWidget(label, row, column * 2);
    grid->addWidget(field, row, column * 2 + 1);
    return label;
}

QLabel* createPlainLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
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
    m_interval->setEditText(FormatWatchInterval(ok && interval >= WATCH_INTERVAL_MIN_MS &&
                                                        interval <= WATCH_INTERVAL_MAX_MS
                                                    ? interval
                                                    : DEFAULT_INTERVAL_MS));
    const int window = settings.value(SETTINGS_WINDOW).toInt(&ok);
    m_window->setValue(ok && window >= WINDOW_MIN_S ? window : DEFAULT_WINDOW_S);
    m_plot->setWindowSeconds(m_window->value());

    connect(m_interval, &QComboBox::currentTextChanged, this, &WatchDock::onIntervalEdited);
    connect(m_window, &QSpinBox::valueChanged, this, &WatchDock::onWindowChanged);
    m_rule = *readRule(nullptr);
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
    auto* contents = new QWidget(this);
    auto* main = new QHBoxLayout(contents);

    auto* grid = new QGridLayout;
    m_sourceLabel = createPlainLabel(contents);
    m_sourceLabel->setObjectName(QStringLiteral("label_watch_source"));
    m_registerEdit = new QLineEdit(contents);
    m_registerEdit->setObjectName(QStringLiteral("edit_watch_register"));
    m_registerEdit->setPlaceholderText(tr("none"));
    m_registerEdit->setToolTip(tr("Register pointer written before each read, in hex; empty "
                                  "reads at the device's current pointer"));
    m_registerWidth = new QSpinBox(contents);
    m_registerWidth->setObjectName(QStringLiteral("spin_watch_register_width"));
    m_registerWidth->setRange(REGISTER_WIDTH_MIN, REGISTER_WIDTH_MAX);
    m_interval = new QComboBox(contents);
    m_interval->setObjectName(QStringLiteral("cmb_watch_interval"));
    m_interval->setEditable(true);
    m_interval->setInsertPolicy(QComboBox::NoInsert);
    for (const char* preset : INTERVAL_PRESETS)
        m_interval->addItem(QLatin1String(preset));
    m_interval->setToolTip(tr("Time between polls, 10ms to 1h, e.g. 100ms, 2s or 1min"));
    m_window = new QSpinBox(contents);
    m_window->setObjectName(QStringLiteral("spin_watch_window"));
    m_window->setRange(WINDOW_MIN_S, WINDOW_MAX_S);
    m_window->setSuffix(tr(" s"));
    m_format = new QComboBox(contents);
    m_format->setObjectName(QStringLiteral("cmb_watch_format"));
    m_format->addItems(ValueFormatNames());
    m_format->setCurrentText(ValueFormatName(EValueFormat::U16Be));
    m_shift = new QSpinBox(contents);
    m_shift->setObjectName(QStringLiteral("spin_watch_shift"));
    m_shift->setRange(0, 31);
    m_shift->setSuffix(tr(" bits"));
    m_mask = new QLineEdit(contents);
    m_mask->setObjectName(QStringLiteral("edit_watch_mask"));
    m_mask->setPlaceholderText(tr("none"));
    m_scale = new QLineEdit(contents);
    m_scale->setObjectName(QStringLiteral("edit_watch_scale"));
    m_scale->setPlaceholderText(QStringLiteral("1"));
    m_scale->setToolTip(tr("A number or a fraction, e.g. 0.5 or 1/1.2"));
    m_offset = new QLineEdit(contents);
    m_offset->setObjectName(QStringLiteral("edit_watch_offset"));
    m_offset->setPlaceholderText(QStringLiteral("0"));
    m_unit = new QLineEdit(contents);
    m_unit->setObjectName(QStringLiteral("edit_watch_unit"));
    m_decimals = new QSpinBox(contents);
    m_decimals->setObjectName(QStringLiteral("spin_watch_decimals"));
    m_decimals->setRange(0, DECODING_DECIMALS_MAX);
    m_decimals->setValue(2);

    auto* sourceCaption = new QLabel(tr("Source:"), contents);
    grid->addWidget(sourceCaption, 0, 0);
    grid->addWidget(m_sourceLabel, 0, 1, 1, 3);
    addField(grid, 1, 0, tr("Register:"), m_registerEdit);
    addField(grid, 1, 1, tr("Pointer bytes:"), m_registerWidth);
    addField(grid, 2, 0, tr("Interval:"), m_interval);
    // The box is named by its label; the edit field inside it has none.
    m_interval->lineEdit()->setAccessibleName(tr("Interval:"));
    addField(grid, 2, 1, tr("Plot window:"), m_window);
    addField(grid, 3, 0, tr("Format:"), m_format);
    addField(grid, 3, 1, tr("Shift:"), m_shift);
    addField(grid, 4, 0, tr("Mask:"), m_mask);
    addField(grid, 4, 1, tr("Scale:"), m_scale);
    addField(grid, 5, 0, tr("Offset:"), m_offset);
    addField(grid, 5, 1, tr("Unit:"), m_unit);
    addField(grid, 6, 0, tr("Decimals:"), m_decimals);
    m_ruleError = createPlainLabel(contents);
    m_ruleError->setObjectName(QStringLiteral("label_watch_rule_error"));
    m_ruleError->setWordWrap(true);
    m_ruleError->setStyleSheet(QStringLiteral("color:%1").arg(ERROR_COLOR.name()));
    grid->addWidget(m_ruleError, 7, 0, 1, 4);

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
    grid->addLayout(buttons, 8, 0, 1, 4);
    grid->setRowStretch(9, 1);
    main->addLayout(grid);

    auto* right = new QVBoxLayout;
    m_valueLabel = createPlainLabel(contents);
    m_valueLabel->setObjectName(QStringLiteral("label_watch_value"));
    QFont big = m_valueLabel->font();
    big.setPointSizeF(big.pointSizeF() * 2.2);
    big.setBold(true);
    m_valueLabel->setFont(big);
    // Reachable and read out as text; its name is the value itself, so a
    // screen reader announces each new one.
    m_valueLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_valueLabel->setFocusPolicy(Qt::StrongFocus);
    m_valueLabel->setAccessibleDescription(tr("Latest value"));
    m_statsLabel = createPlainLabel(contents);
    m_statsLabel->setObjectName(QStringLiteral("label_watch_stats"));
    m_failuresLabel = createPlainLabel(contents);
    m_failuresLabel->setObjectName(QStringLiteral("label_watch_failures"));
    m_statusLabel = createPlainLabel(contents);
    m_statusLabel->setObjectName(QStringLiteral("label_watch_status"));
    m_statusLabel->setWordWrap(true);
    auto* line = new QHBoxLayout;
    line->addWidget(m_statsLabel);
    line->addStretch();
    line->addWidget(m_failuresLabel);
    right->addWidget(m_valueLabel);
    right->addLayout(line);
    right->addWidget(m_statusLabel);
    m_plot = new WatchPlot(contents);
    m_plot->view()->setObjectName(QStringLiteral("view_watch_plot"));
    m_plot->view()->setAccessibleName(tr("Plot of the value against time"));
    right->addWidget(m_plot->view(), 1);
    main->addLayout(right, 1);
    setWidget(contents);

    connect(m_startButton, &QPushButton::clicked, this, &WatchDock::onStartPause);
    connect(m_clearButton, &QPushButton::clicked, this, &WatchDock::onClear);
    connect(m_saveButton, &QPushButton::clicked, this, &WatchDock::onSaveCsv);
    connect(m_format, &QComboBox::currentIndexChanged, this, &WatchDock::onRuleEdited);
    connect(m_shift, &QSpinBox::valueChanged, this, &WatchDock::onRuleEdited);
    connect(m_decimals, &QSpinBox::valueChanged, this, &WatchDock::onRuleEdited);
    for (QLineEdit* edit : {m_mask, m_scale, m_offset, m_unit})
        connect(edit, &QLineEdit::textChanged, this, &WatchDock::onRuleEdited);
    connect(m_registerEdit, &QLineEdit::textChanged, this, &WatchDock::onRegisterEdited);
    connect(m_registerWidth, &QSpinBox::valueChanged, this, &WatchDock::onRegisterEdited);
}

// ---- Target, rule and settings ----------------------------------------------

void WatchDock::watch(const STarget& target, bool focusRule)
{
    const bool sameSource =
        m_target && m_target->address == target.address && m_target->count == target.count &&
        m_target->filePath == target.filePath && m_target->label == target.label;
    if (!sameSource && m_unsaved && !m_samples.empty()) {
        QMessageBox box(QMessageBox::Question, tr("Watch"),
                        tr("The %n sample(s) of the current watch have not been saved. "
                           "Discard them?",
                           nullptr, static_cast<int>(m_samples.size())),
                        QMessageBox::Discard | QMessageBox::Cancel, this);
        box.setDefaultButton(QMessageBox::Cancel);
        if (box.exec() != QMessageBox::Discard)
            return;
    }
    show();
    raise();
    if (!sameSource) {
        m_pollTimer.stop();
        m_target = target;
        onClear();
        loadRemembered();
        m_sourceLabel->setText(sourceText());
    }
    if (focusRule)
        m_format->setFocus();
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

SDecodingTexts WatchDock::ruleTexts() const
{
    // Blanks typed around a field's number are no part of it.
    return {m_format->currentText(),
            QString::number(m_shift->value()),
            m_mask->text().trimmed(),
            m_scale->text().trimmed(),
            m_offset->text().trimmed(),
            m_unit->text(),
            QString::number(m_decimals->value())};
}

void WatchDock::setRuleTexts(const SDecodingTexts& texts)
{
    const QSignalBlocker blockFormat(m_format);
    const QSignalBlocker blockShift(m_shift);
    const QSignalBlocker blockDecimals(m_decimals);
    const QSignalBlocker blockMask(m_mask);
    const QSignalBlocker blockScale(m_scale);
    const QSignalBlocker blockOffset(m_offset);
    const QSignalBlocker blockUnit(m_unit);
    const auto format = ParseValueFormat(texts.format);
    m_format->setCurrentText(ValueFormatName(format.value_or(EValueFormat::U16Be)));
    m_shift->setValue(texts.shift.toInt());
    m_mask->setText(texts.mask);
    m_scale->setText(texts.scale);
    m_offset->setText(texts.offset);
    m_unit->setText(texts.unit);
    bool ok = false;
    const int decimals = texts.decimals.toInt(&ok);
    m_decimals->setValue(ok ? decimals : 2);
}

std::optional<SDecodingRule> WatchDock::readRule(QString* error) const
{
    return ParseDecodingRule(ruleTexts(), error);
}

bool WatchDock::readRegister(std::optional<uint32_t>& reg, int& width) const
{
    width = m_registerWidth->value();
    QString text = m_registerEdit->text().trimmed();
    if (text.isEmpty()) {
        reg.reset();
        return true;
    }
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text = text.mid(2);
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 16);
    if (!ok || value > UINT32_MAX || !RegisterFits(static_cast<uint32_t>(value), width))
        return false;
    reg = static_cast<uint32_t>(value);
    return true;
}

void WatchDock::loadRemembered()
{
    const QString key = sourceKey();
    QSettings settings;
    const int size = settings.beginReadArray(SETTINGS_RULES);
    SDecodingTexts texts;
    QString reg;
    int width = 1;
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        if (settings.value(QStringLiteral("source")).toString() != key)
            continue;
        texts = {settings.value(QStringLiteral("format")).toString(),
                 settings.value(QStringLiteral("shift")).toString(),
                 settings.value(QStringLiteral("mask")).toString(),
                 settings.value(QStringLiteral("scale")).toString(),
                 settings.value(QStringLiteral("offset")).toString(),
                 settings.value(QStringLiteral("unit")).toString(),
                 settings.value(QStringLiteral("decimals")).toString()};
        reg = settings.value(QStringLiteral("register")).toString();
        width = settings.value(QStringLiteral("registerWidth"), 1).toInt();
        break;
    }
    settings.endArray();
    setRuleTexts(texts);
    {
        const QSignalBlocker blockRegister(m_registerEdit);
        const QSignalBlocker blockWidth(m_registerWidth);
        m_registerEdit->setText(reg);
        m_registerWidth->setValue(std::clamp(width, REGISTER_WIDTH_MIN, REGISTER_WIDTH_MAX));
    }
    onRegisterEdited();
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

    const SDecodingTexts texts = ruleTexts();
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
        {QStringLiteral("register"), m_registerEdit->text().trimmed()},
        {QStringLiteral("registerWidth"), m_registerWidth->value()},
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

void WatchDock::onRuleEdited()
{
    QString error;
    const std::optional<SDecodingRule> rule = readRule(&error);
    m_ruleError->setText(error);
    if (!rule)
        return;
    m_rule = *rule;
    m_plot->setUnit(m_rule.unit);
    redecode();
    saveRemembered();
}

void WatchDock::onRegisterEdited()
{
    std::optional<uint32_t> reg;
    int width = 1;
    if (readRegister(reg, width)) {
        m_register = reg;
        m_registerWidthBytes = width;
    } else {
        m_ruleError->setText(
            tr("Invalid register \"%1\". Enter hex that fits the pointer bytes, e.g. 00.")
                .arg(m_registerEdit->text().trimmed()));
        return;
    }
    onRuleEdited();
}

void WatchDock::onIntervalEdited()
{
    QString error;
    const std::optional<int> interval = ParseWatchInterval(m_interval->currentText(), &error);
    if (!interval) {
        m_ruleError->setText(error);
        return;
    }
    m_ruleError->clear();
    m_pollTimer.setInterval(*interval);
    QSettings().setValue(SETTINGS_INTERVAL, *interval);
    if (isRunning())
        setStatus(tr("Watching every %1.").arg(FormatWatchInterval(*interval)));
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
    m_clearButton->setEnabled(!m_samples.empty());
    m_saveButton->setEnabled(!m_samples.empty());
}

void WatchDock::setStatus(const QString& text)
{
    m_statusLabel->setText(text);
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
    if (!m_adapter()) {
        setStatus(tr("Connect an adapter to start watching."));
        updateButtons();
        return;
    }
    QString error;
    std::optional<int> interval = ParseWatchInterval(m_interval->currentText(), &error);
    std::optional<SDecodingRule> rule = interval ? readRule(&error) : std::nullopt;
    std::optional<uint32_t> reg;
    int width = 1;
    if (rule && !readRegister(reg, width))
        error = tr("Invalid register \"%1\".").arg(m_registerEdit->text().trimmed());
    if (!interval || !rule || !error.isEmpty()) {
        setStatus(tr("Not started: %1").arg(error));
        updateButtons();
        return;
    }
    m_rule = *rule;
    m_register = reg;
    m_registerWidthBytes = width;
    m_resumed = !m_samples.empty();
    if (m_samples.empty())
        m_clock.start();
    m_pollTimer.start(*interval);
    setStatus(tr("Watching every %1.").arg(FormatWatchInterval(*interval)));
    updateButtons();
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
}

void WatchDock::onPoll()
{
    if (!m_target || !isRunning())
        return;
    COrvI2c* adapter = m_adapter();
    if (!adapter) {
        stop(tr("Stopped: no adapter is connected."));
        return;
    }
    SWatchSource source;
    source.address = m_target->address;
    source.count = static_cast<size_t>(m_target->count);
    source.reg = m_register;
    source.regWidth = m_registerWidthBytes;

    const SWatchPoll poll = RunWatchPoll(*adapter, source);
    if (!poll.ok && !adapter->IsPresent()) {
        // Stopped first: the message box of a lost connection runs an event
        // loop, in which no further poll may come.
        stop(tr("Stopped: the connection to the adapter was lost."));
        m_connectionLost();
        return;
    }
    addSample(MakeWatchSample(poll, m_rule, QDateTime::currentMSecsSinceEpoch(),
                              static_cast<double>(m_clock.nsecsElapsed()) / 1e9));
    if (poll.timedOut)
        stop(tr("Stopped: %1 did not answer in time (%2). Each further poll would freeze the "
                "window that long.")
                 .arg(m_formatAddress(m_target->address), poll.error));
}

void WatchDock::addSample(SWatchSample sample)
{
    if (m_resumed) {
        m_plot->append(sample.epochMs, WatchPlot::GAP);
        m_resumed = false;
    }
    countSample(sample);
    m_plot->append(sample.epochMs, sample.value.value_or(WatchPlot::GAP));
    m_samples.push_back(std::move(sample));
    m_unsaved = true;
    scheduleRefresh();
}

// Min, max, mean and failures over every sample of the session.
void WatchDock::countSample(const SWatchSample& sample)
{
    if (!sample.value) {
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

void WatchDock::redecode()
{
    resetCounts();
    std::vector<std::pair<qint64, double>> points;
    points.reserve(m_samples.size());
    for (SWatchSample& sample : m_samples) {
        // Only a failed poll has no bytes, and it stays failed.
        if (!sample.raw.empty()) {
            SWatchPoll poll;
            poll.ok = true;
            poll.data = sample.raw;
            sample = MakeWatchSample(poll, m_rule, sample.epochMs, sample.seconds);
        }
        countSample(sample);
        points.emplace_back(sample.epochMs, sample.value.value_or(WatchPlot::GAP));
    }
    m_plot->setSamples(std::move(points));
    refreshNow();
}

void WatchDock::scheduleRefresh()
{
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void WatchDock::refreshNow()
{
    m_refreshTimer.stop();
    const SWatchSample* last = m_samples.empty() ? nullptr : &m_samples.back();
    if (!last)
        m_valueLabel->setText(tr("No value"));
    else if (last->value)
        m_valueLabel->setText(FormatDecodedValue(m_rule, *last->value));
    else
        m_valueLabel->setText(tr("Failed: %1").arg(last->error));
    if (m_values > 0)
        m_statsLabel->setText(tr("Min %1   Max %2   Mean %3")
                                  .arg(FormatDecodedValue(m_rule, m_min),
                                       FormatDecodedValue(m_rule, m_max),
                                       FormatDecodedValue(m_rule, m_sum / m_values)));
    else
        m_statsLabel->setText(tr("Min -   Max -   Mean -"));
    m_failuresLabel->setText(tr("Failures: %1").arg(m_failures));
    m_plot->refresh();
    updateButtons();
}

// ---- Clear and save ------------------------------------------------------------

void WatchDock::onClear()
{
    m_samples.clear();
    resetCounts();
    m_unsaved = false;
    m_resumed = false;
    m_clock.start();
    m_plot->clear();
    refreshNow();
}

bool WatchDock::saveCsv(const QString& path, QString* error) const
{
    QString text = WatchCsvHeader() + QLatin1Char('\n');
    for (const SWatchSample& sample : m_samples) {
        const int offset = QDateTime::fromMSecsSinceEpoch(sample.epochMs).offsetFromUtc();
        text += WatchCsvLine(sample, m_rule, offset);
        text += QLatin1Char('\n');
    }
    return saveTextFile(path, text, error);
}

void WatchDock::onSaveCsv()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString name =
        QStringLiteral("watch-%1.csv")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString path =
        QFileDialog::getSaveFileName(this, tr("Save Watch"), QDir(folder).filePath(name),
                                     tr("CSV files (*.csv);;All files (*)"));
    if (path.isEmpty())
        return;
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
    m_unsaved = false;
    setStatus(tr("Saved %n sample(s) to %1.", nullptr, static_cast<int>(m_samples.size()))
                  .arg(QDir::toNativeSeparators(path)));
}
