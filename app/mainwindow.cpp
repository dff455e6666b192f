#include "app/mainwindow.h"

#include "app/aboutdialog.h"
#include "app/devicedialog.h"
#include "app/outputtable.h"
#include "app/version.h"
#include "app/watchdock.h"
#include "i2c/orvdevicefactory.h"
#include "i2c/orvi2c.h"
#include "projects/i2cdevicefile.h"
#include "projects/projectspanel.h"
#include "transactions/hexlines.h"
#include "transactions/i2caddress.h"
#include "transactions/i2ctransaction.h"
#include "ui_mainwindow.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QColor>
#include <QContextMenuEvent>
#include <QDir>
#include <QDockWidget>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>

#include <algorithm>

namespace {

const QColor STATUS_COLOR_ACTIVE = QColor(76, 175, 80).darker(120);
const QColor STATUS_COLOR_INACTIVE = QColor(96, 125, 139);

const QString SETTINGS_WINDOW_GEOMETRY = QStringLiteral("window/geometry");
const QString SETTINGS_WINDOW_STATE = QStringLiteral("window/state");
const QString SETTINGS_BYTES_PER_LINE = QStringLiteral("table/bytesPerLine");
const QString SETTINGS_OFFSET_DECIMAL = QStringLiteral("table/offsetDecimal");

constexpr int STATUS_TIMEOUT_MS = 5000;
constexpr int PRESENCE_INTERVAL_MS = 1000;
constexpr int DOCK_DEFAULT_WIDTH = 360;
// Room left around a first window for its frame and title bar.
constexpr int FRAME_ROOM = 48;

QFrame* createStatusSeparator(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// Message texts may carry what a device said: never render them as markup.
void showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

QString lastErrorOf(const COrvI2c& adapter)
{
    return QString::fromStdString(adapter.GetLastError());
}

QLabel* createPlainLabel(QWidget* parent)
{
    // Product names and serial numbers come from the device: never markup.
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A stored flag: a bool, or the text the settings file holds for one.
std::optional<bool> readBool(const QVariant& value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return std::nullopt;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), m_ui(new Ui::MainWindow)
{
    m_ui->setupUi(this);
    setWindowTitle(tr("Orvane Pellan I2C"));
    // Screen readers name a tool bar by its title, which the form gives as
    // the object's name.
    m_ui->toolBar->setWindowTitle(tr("Tool Bar"));

    setupOptionActions();
    setupTable();
    setupStatusBar();

    m_ui->cmb_i2c_device->setEditable(true);
    m_ui->cmb_i2c_device->setInsertPolicy(QComboBox::NoInsert);
    m_ui->cmb_i2c_device->setMinimumContentsLength(6);
    m_ui->cmb_i2c_device->lineEdit()->setPlaceholderText(formatAddress(0x50));
    // The box is named by its label; the edit field inside it has none.
    m_ui->cmb_i2c_device->lineEdit()->setAccessibleName(m_ui->label->text());
    m_ui->edit_write->setPlaceholderText(tr("Hex bytes without address, e.g. 01 A5 FF"));
    m_ui->spin_read->setRange(1, 65535);
    m_ui->spin_read->setValue(1);
    m_presenceTimer.setInterval(PRESENCE_INTERVAL_MS);

    connect(m_ui->actionConnect, &QAction::triggered, this, &MainWindow::onConnect);
    connect(m_ui->actionDisconnect, &QAction::triggered, this, &MainWindow::onDisconnect);
    connect(m_ui->actionI2cSearch, &QAction::triggered, this, &MainWindow::onI2cSearch);
    connect(m_ui->btn_i2c_search, &QPushButton::clicked, this, &MainWindow::onI2cSearch);
    connect(m_ui->actionAbout, &QAction::triggered, this, &MainWindow::onAbout);
    connect(m_ui->actionExit, &QAction::triggered, this, &MainWindow::close);
    m_ui->actionExit->setShortcuts(QKeySequence::Quit);
    if (m_ui->actionExit->shortcuts().isEmpty())
        m_ui->actionExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(m_ui->actionTableClear, &QAction::triggered, m_outputTable, &OutputTable::clear);
    connect(m_ui->tbtn_write_clear, &QToolButton::clicked, m_ui->edit_write, &QLineEdit::clear);
    connect(m_ui->btn_write, &QPushButton::clicked, this, &MainWindow::onWrite);
    connect(m_ui->edit_write, &QLineEdit::returnPressed, this, &MainWindow::onWrite);
    connect(m_ui->btn_read, &QPushButton::clicked, this, &MainWindow::onRead);
    connect(&m_presenceTimer, &QTimer::timeout, this, &MainWindow::onPresenceTimer);

    setupProjects();
    setupDocks();
    // Room for device names and command labels until the user's own
    // layout is restored.
    resizeDocks({m_ui->dock_projects}, {DOCK_DEFAULT_WIDTH}, Qt::Horizontal);
    restoreWindowState();
    updateUiState();
}

MainWindow::~MainWindow()
{
    // The base class destructor hides the dock, and the dock's visibility
    // handler reads the form, which is gone by then.
    disconnect(m_ui->dock_projects, nullptr, this, nullptr);
    m_watch->stop(QString());
    m_presenceTimer.stop();
    m_adapter.reset();
}

void MainWindow::setupOptionActions()
{
    m_speedGroup = new QActionGroup(this);
    m_speedGroup->setExclusive(true);
    const std::pair<QAction*, EI2cSpeed> speeds[] = {
        {m_ui->actionSpeed10k, EI2cSpeed::Speed10k},
        {m_ui->actionSpeed50k, EI2cSpeed::Speed50k},
        {m_ui->actionSpeed100k, EI2cSpeed::Speed100k},
        {m_ui->actionSpeed400k, EI2cSpeed::Speed400k},
        {m_ui->actionSpeed1000k, EI2cSpeed::Speed1000k},
    };
    for (const auto& [action, speed] : speeds) {
        action->setCheckable(true);
        action->setData(static_cast<int>(speed));
        m_speedGroup->addAction(action);
    }
    if (!m_speedGroup->checkedAction())
        m_ui->actionSpeed100k->setChecked(true);

    m_addressGroup = new QActionGroup(this);
    m_addressGroup->setExclusive(true);
    m_ui->actionAddress7Bit->setCheckable(true);
    m_ui->actionAddress8Bit->setCheckable(true);
    m_addressGroup->addAction(m_ui->actionAddress7Bit);
    m_addressGroup->addAction(m_ui->actionAddress8Bit);
    if (!m_addressGroup->checkedAction())
        m_ui->actionAddress7Bit->setChecked(true);
    m_lastAddress8Bit = m_ui->actionAddress8Bit->isChecked();

    m_ui->actionPullUps->setCheckable(true);

    connect(m_speedGroup, &QActionGroup::triggered, this, &MainWindow::onSpeedTriggered);
    connect(m_ui->actionPullUps, &QAction::triggered, this, &MainWindow::onPullUpsTriggered);
    connect(m_addressGroup, &QActionGroup::triggered, this, &MainWindow::onAddressFormatTriggered);
}

void MainWindow::setupTable()
{
    QTableWidget* table = m_ui->table_data;
    m_outputTable = new OutputTable(table, this);

    QComboBox* bytesBox = m_ui->cmb_bytes_per_line;
    for (int i = 0; i < bytesBox->count(); ++i) {
        bool ok = false;
        const int value = bytesBox->itemText(i).toInt(&ok);
        bytesBox->setItemData(i, ok ? value : 0);
    }

    // A value that does not read as its type keeps the designed choice:
    // a word would otherwise read as 0 ("Full") or as true ("Dec").
    QSettings settings;
    bool isNumber = false;
    const int storedBytes = settings.value(SETTINGS_BYTES_PER_LINE).toInt(&isNumber);
    const int storedIndex = isNumber ? bytesBox->findData(storedBytes) : -1;
    if (storedIndex >= 0)
        bytesBox->setCurrentIndex(storedIndex);
    connect(bytesBox, &QComboBox::currentIndexChanged, this, &MainWindow::onBytesPerLineChanged);

    const bool decimal = readBool(settings.value(SETTINGS_OFFSET_DECIMAL)).value_or(false);
    m_ui->cmb_offset_format->setCurrentIndex(decimal ? 1 : 0);
    m_outputTable->setHexFormat(bytesPerLine(), isOffsetDecimal());
    connect(m_ui->cmb_offset_format, &QComboBox::currentIndexChanged, this,
            &MainWindow::onBytesPerLineChanged);

    table->setContextMenuPolicy(Qt::CustomContextMenu);
    table->addAction(m_ui->actionCopyReport);
    table->addAction(m_ui->actionCopyData);
    table->addAction(m_ui->actionCopyDataAsShown);
    connect(table, &QWidget::customContextMenuRequested, this, &MainWindow::onTableContextMenu);
    table->installEventFilter(this);

    connect(m_ui->actionCopyReport, &QAction::triggered, this,
            [this] { copyTableRows(ETableCopy::Report); });
    connect(m_ui->actionCopyData, &QAction::triggered, this,
            [this] { copyTableRows(ETableCopy::Data); });
    connect(m_ui->actionCopyDataAsShown, &QAction::triggered, this,
            [this] { copyTableRows(ETableCopy::DataAsShown); });
}

void MainWindow::setupStatusBar()
{
    auto* container = new QWidget(this);
    auto* layout = new QHBoxLayout(container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);

    m_statusConnection = new QLabel(container);
    m_statusConnection->setTextFormat(Qt::RichText);
    layout->addWidget(m_statusConnection);

    m_statusDetails = new QWidget(container);
    auto* details = new QHBoxLayout(m_statusDetails);
    details->setContentsMargins(0, 0, 0, 0);
    details->setSpacing(12);
    m_statusProduct = createPlainLabel(m_statusDetails);
    m_statusSerial = createPlainLabel(m_statusDetails);
    m_statusFirmware = createPlainLabel(m_statusDetails);
    details->addWidget(createStatusSeparator(m_statusDetails));
    details->addWidget(m_statusProduct);
    details->addWidget(createStatusSeparator(m_statusDetails));
    details->addWidget(m_statusSerial);
    details->addWidget(createStatusSeparator(m_statusDetails));
    details->addWidget(m_statusFirmware);
    layout->addWidget(m_statusDetails);

    statusBar()->addWidget(container);

    m_statusVersion = createPlainLabel(this);
    m_statusVersion->setText(tr("v%1").arg(QLatin1String(PELLAN_VERSION)));
    m_statusVersion->setStyleSheet(QStringLiteral("color:%1").arg(STATUS_COLOR_INACTIVE.name()));
    statusBar()->addPermanentWidget(m_statusVersion);

    statusBar()->setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));
}

void MainWindow::restoreWindowState()
{
    QSettings settings;
    const bool restored = restoreGeometry(settings.value(SETTINGS_WINDOW_GEOMETRY).toByteArray());
    restoreState(settings.value(SETTINGS_WINDOW_STATE).toByteArray(), 0);
    // A geometry saved on a larger screen, or at a smaller scale, must
    // still fit this one.
    if (!restored)
        fitToScreen();
    else if (!isMaximized() && !isFullScreen())
        keepOnScreen();
    m_ui->actionProjects->setChecked(!m_ui->dock_projects->isHidden());
}

void MainWindow::fitToScreen()
{
    // The designed size, but never more than the screen has room for: at
    // twice the scale a laptop's screen is smaller than the design.
    const QScreen* shown = screen();
    if (!shown)
        return;
    const QRect available = shown->availableGeometry();
    // Room for the window frame, which the geometry does not count.
    const QSize room = available.size() - QSize(FRAME_ROOM, FRAME_ROOM);
    const QSize size = this->size().boundedTo(room).expandedTo(minimumSizeHint());
    resize(size);
    move(available.center() - QPoint(size.width() / 2, size.height() / 2));
}

void MainWindow::keepOnScreen()
{
    const QScreen* shown = QGuiApplication::screenAt(geometry().center());
    if (!shown)
        shown = screen();
    if (!shown)
        return;
    const QRect available = shown->availableGeometry();
    const QSize room = available.size() - QSize(FRAME_ROOM, FRAME_ROOM);
    const QSize size = this->size().boundedTo(room);
    QRect wanted(pos(), size);
    // Inside the room, the top left corner first so that the title bar
    // stays reachable.
    wanted.moveRight(std::min(wanted.right(), available.left() + room.width() - 1));
    wanted.moveBottom(std::min(wanted.bottom(), available.top() + room.height() - 1));
    wanted.moveLeft(std::max(wanted.left(), available.left()));
    wanted.moveTop(std::max(wanted.top(), available.top()));
    resize(wanted.size());
    move(wanted.topLeft());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Samples are lost with the window: as when the source changes, ask.
    if (!m_watch->mayDiscard(tr("Discard them and quit?"))) {
        event->ignore();
        return;
    }
    saveWindowState();
    QMainWindow::closeEvent(event);
}

void MainWindow::saveWindowState()
{
    QSettings settings;
    settings.setValue(SETTINGS_WINDOW_GEOMETRY, saveGeometry());
    settings.setValue(SETTINGS_WINDOW_STATE, saveState(0));
}

void MainWindow::updateUiState()
{
    const bool connected = isConnected();

    m_ui->actionConnect->setEnabled(!connected);
    for (QWidget* widget :
         {static_cast<QWidget*>(m_ui->btn_i2c_search), static_cast<QWidget*>(m_ui->btn_write),
          static_cast<QWidget*>(m_ui->btn_read), static_cast<QWidget*>(m_ui->btn_watch)})
        widget->setEnabled(connected);
    emit connectedChanged(connected);
    m_ui->actionDisconnect->setEnabled(connected);
    m_ui->actionI2cSearch->setEnabled(connected);

    for (QAction* action : m_speedGroup->actions()) {
        const auto speed = static_cast<EI2cSpeed>(action->data().toInt());
        action->setEnabled(!connected || m_adapter->IsSpeedSupported(speed));
    }
    // A model without the switch has no pull-ups to show as on: the mark
    // reads off while connected to it and the user's wish comes back after.
    QAction* pullUps = m_ui->actionPullUps;
    const bool switchable = !connected || m_adapter->HasPullUpSwitch();
    pullUps->setEnabled(switchable);
    if (!switchable && !m_pullUpsWish) {
        m_pullUpsWish = pullUps->isChecked();
        m_pullUpsToolTip = pullUps->toolTip();
        pullUps->setChecked(false);
        pullUps->setToolTip(tr("The %1 has no switchable pull-ups.")
                                .arg(QString::fromStdWString(m_adapter->GetTypeName())));
    } else if (switchable && m_pullUpsWish) {
        pullUps->setChecked(*m_pullUpsWish);
        pullUps->setToolTip(m_pullUpsToolTip);
        m_pullUpsWish.reset();
    }

    m_ui->actionConnect->setIcon(QIcon(connected
                                           ? QStringLiteral(":/icons/res/png/usb_green_32px.png")
                                           : QStringLiteral(":/icons/res/png/usb_grey_32px.png")));

    const QColor color = connected ? STATUS_COLOR_ACTIVE : STATUS_COLOR_INACTIVE;
    const QString text = connected ? tr("Connected") : tr("No device connected");
    m_statusConnection->setText(
        QStringLiteral("<span style=\"color:%1; font-weight:bold\">%2</span>")
            .arg(color.name(), text.toHtmlEscaped()));

    m_statusDetails->setVisible(connected);
    if (connected) {
        m_statusProduct->setText(QString::fromStdWString(m_adapter->GetProductName()));
        m_statusSerial->setText(
            tr("SN %1").arg(QString::fromStdWString(m_adapter->GetSerialNumber())));
        m_statusFirmware->setText(
            tr("FW %1").arg(m_adapter->GetFirmware(), 4, 16, QLatin1Char('0')));
    }
}

bool MainWindow::isConnected() const
{
    return m_adapter && m_adapter->IsConnected();
}

bool MainWindow::isAddress8Bit() const
{
    return m_ui->actionAddress8Bit->isChecked();
}

// ---------------------------------------------------------------------------
// Addresses

QString MainWindow::formatAddress(uint8_t address) const
{
    return FormatI2cAddress(address, isAddress8Bit());
}

std::optional<uint8_t> MainWindow::parseAddress(const QString& text, bool eightBit) const
{
    return ParseI2cAddress(text.trimmed(), eightBit);
}

std::optional<uint8_t> MainWindow::currentAddress() const
{
    return parseAddress(m_ui->cmb_i2c_device->currentText(), isAddress8Bit());
}

void MainWindow::onAddressFormatTriggered()
{
    const bool eightBit = isAddress8Bit();
    if (eightBit == m_lastAddress8Bit)
        return;
    const bool oldEightBit = m_lastAddress8Bit;
    m_lastAddress8Bit = eightBit;

    QComboBox* box = m_ui->cmb_i2c_device;
    const QString currentText = box->currentText();
    const std::optional<uint8_t> current = parseAddress(currentText, oldEightBit);
    for (int i = 0; i < box->count(); ++i) {
        if (const auto address = parseAddress(box->itemText(i), oldEightBit))
            box->setItemText(i, formatAddress(*address));
    }
    // Renaming the current item also rewrites the edit text, so the typed
    // text is put back explicitly.
    box->setEditText(current ? formatAddress(*current) : currentText);
    box->lineEdit()->setPlaceholderText(formatAddress(0x50));
    m_projects->RefreshAddresses();
    m_watch->refreshAddresses();
}

// ---------------------------------------------------------------------------
// Connection

void MainWindow::onConnect()
{
    DeviceDialog dialog(m_speedGroup->actions(), m_ui->actionPullUps->isChecked(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const std::optional<SOrvDeviceEntry> entry = dialog.selectedDevice();
    if (!entry)
        return;
    if (QAction* speedAction = dialog.selectedSpeedAction())
        speedAction->setChecked(true);
    m_ui->actionPullUps->setChecked(dialog.pullUpsEnabled());

    std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(entry->type);
    if (!adapter)
        return;
    // The adapter keeps the choice and applies it while connecting.
    if (adapter->HasPullUpSwitch())
        adapter->SetPullUpsEnabled(m_ui->actionPullUps->isChecked());

    const auto speed = static_cast<EI2cSpeed>(m_speedGroup->checkedAction()->data().toInt());
    if (!adapter->Connect(entry->serialNumber, speed)) {
        showMessage(this, QMessageBox::Critical, tr("Device"),
                    tr("Connect failed:\n%1").arg(lastErrorOf(*adapter)));
        return;
    }
    m_adapter = std::move(adapter);
    m_presenceTimer.start();
    updateUiState();
}

void MainWindow::onDisconnect()
{
    m_watch->stop(tr("Stopped: the adapter was disconnected."));
    m_presenceTimer.stop();
    m_adapter.reset();
    updateUiState();
}

void MainWindow::handleConnectionLost()
{
    // The timers stop first so that the box below never re-enters here.
    m_watch->stop(tr("Stopped: the connection to the adapter was lost."));
    m_presenceTimer.stop();
    m_adapter.reset();
    updateUiState();
    showMessage(this, QMessageBox::Critical, tr("Device"),
                tr("Connection to the Orvane was lost."));
}

void MainWindow::onPresenceTimer()
{
    if (m_adapter && m_adapter->IsConnected() && !m_adapter->IsPresent())
        handleConnectionLost();
}

void MainWindow::onSpeedTriggered(QAction* action)
{
    if (!isConnected())
        return;
    const auto speed = static_cast<EI2cSpeed>(action->data().toInt());
    if (m_adapter->SetSpeed(speed)) {
        statusBar()->showMessage(tr("I2C speed set to %1").arg(action->text()), STATUS_TIMEOUT_MS);
        return;
    }
    if (!m_adapter->IsPresent()) {
        handleConnectionLost();
        return;
    }
    showMessage(this, QMessageBox::Critical, tr("I2C Speed"),
                tr("Setting the speed failed:\n%1").arg(lastErrorOf(*m_adapter)));
    // The box ran an event loop in which the adapter may have been dropped.
    if (!m_adapter)
        return;
    const int inForce = static_cast<int>(m_adapter->GetSpeed());
    for (QAction* candidate : m_speedGroup->actions()) {
        if (candidate->data().toInt() == inForce)
            candidate->setChecked(true);
    }
}

void MainWindow::onPullUpsTriggered(bool checked)
{
    if (!isConnected() || !m_adapter->HasPullUpSwitch())
        return;
    if (m_adapter->SetPullUpsEnabled(checked)) {
        statusBar()->showMessage(checked ? tr("Internal pull-ups enabled")
                                         : tr("Internal pull-ups disabled"),
                                 STATUS_TIMEOUT_MS);
        return;
    }
    if (!m_adapter->IsPresent()) {
        handleConnectionLost();
        return;
    }
    showMessage(this, QMessageBox::Critical, tr("Pull-ups"),
                tr("Switching the pull-ups failed:\n%1").arg(lastErrorOf(*m_adapter)));
    if (m_adapter)
        m_ui->actionPullUps->setChecked(m_adapter->GetPullUpsEnabled());
}

// ---------------------------------------------------------------------------
// Transactions

QString MainWindow::invalidAddressText() const
{
    return tr("Invalid I2C address. Enter a hex address in the selected format, e.g. \"%1\".")
        .arg(formatAddress(0x50));
}

void MainWindow::onWrite()
{
    if (!isConnected())
        return;

    const auto mode = static_cast<EI2cStartStop>(m_ui->cmb_startstop->currentIndex());
    std::optional<uint8_t> address;
    if (ModeSendsAddress(mode)) {
        address = currentAddress();
        if (!address) {
            showMessage(this, QMessageBox::Warning, tr("Write"), invalidAddressText());
            return;
        }
    }

    const std::optional<std::vector<uint8_t>> bytes =
        CI2cDeviceFile::HexToBytes(m_ui->edit_write->text());
    if (!bytes || !IsWriteDataAcceptable(mode, *bytes)) {
        showMessage(this, QMessageBox::Warning, tr("Write"),
                    tr("Invalid input. Enter hex bytes, e.g. \"01 A5 FF\"."));
        return;
    }
    sendWrite(mode, address, *bytes);
}

void MainWindow::sendWrite(EI2cStartStop mode, std::optional<uint8_t> address,
                           const std::vector<uint8_t>& bytes)
{
    // A watch's poll must not come between this write and the device, nor
    // into a transaction that the write leaves open.
    m_watch->pauseForBench(ModeSendsStop(mode) ? address : std::nullopt,
                           address ? tr("a write to %1").arg(formatAddress(*address))
                                   : tr("a write without an address"));
    const SI2cTransaction write = RunWrite(*m_adapter, mode, address.value_or(0), bytes);
    if (!write.ok && !m_adapter->IsPresent()) {
        handleConnectionLost();
        return;
    }
    addTableRow(TransactionTypeText(write, isAddress8Bit()), TransactionFlagsText(write),
                write.data, !write.ok, write.address);
}

void MainWindow::onRead()
{
    if (!isConnected())
        return;

    const std::optional<uint8_t> address = currentAddress();
    if (!address) {
        showMessage(this, QMessageBox::Warning, tr("Read"), invalidAddressText());
        return;
    }

    m_watch->pauseForBench(*address, tr("a read from %1").arg(formatAddress(*address)));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const SI2cTransaction read =
        RunRead(*m_adapter, *address, static_cast<size_t>(m_ui->spin_read->value()));
    QApplication::restoreOverrideCursor();
    if (!read.ok && !m_adapter->IsPresent()) {
        handleConnectionLost();
        return;
    }
    addTableRow(TransactionTypeText(read, isAddress8Bit()), TransactionFlagsText(read), read.data,
                !read.ok, read.address);
}

void MainWindow::onAbout()
{
    AboutDialog dialog(this);
    dialog.exec();
}

// ---------------------------------------------------------------------------
// Projects

void MainWindow::setupProjects()
{
    const CProjectsPanel::SWidgets widgets{
        m_ui->tree_projects,    m_ui->edit_projects_filter, m_ui->label_projects_description,
        m_ui->btn_projects_new, m_ui->btn_projects_reload,  m_ui->btn_projects_folder,
    };
    m_projects = new CProjectsPanel(
        widgets, [this](uint8_t address) { return formatAddress(address); },
        [this](const QString& text) { return parseAddress(text, isAddress8Bit()); },
        [this] { return currentAddress(); }, this);

    connect(m_projects, &CProjectsPanel::deviceSelected, this,
            [this](uint8_t address) { m_ui->cmb_i2c_device->setEditText(formatAddress(address)); });
    connect(m_projects, &CProjectsPanel::commandSelected, this, &MainWindow::onLoadCommand);
    connect(m_projects, &CProjectsPanel::commandExecuteRequested, this,
            &MainWindow::onExecuteCommand);

    connect(m_ui->tbtn_write_save, &QToolButton::clicked, this, &MainWindow::onWriteSave);
    connect(m_ui->tbtn_read_save, &QToolButton::clicked, this, &MainWindow::onReadSave);
    connect(m_ui->actionProjects_Folder, &QAction::triggered, this, &MainWindow::onProjectsFolder);

    QDockWidget* dock = m_ui->dock_projects;
    m_ui->actionProjects->setCheckable(true);
    m_ui->actionProjects->setChecked(!dock->isHidden());
    connect(m_ui->actionProjects, &QAction::triggered, dock, &QDockWidget::setVisible);
    // A dock merely covered (tabbed behind another) reports itself invisible
    // but is not hidden: the action stays checked then.
    connect(dock, &QDockWidget::visibilityChanged, this, [this, dock](bool visible) {
        m_ui->actionProjects->setChecked(visible || !dock->isHidden());
    });
}

void MainWindow::onLoadCommand(uint8_t address, SI2cCommand command)
{
    m_ui->cmb_i2c_device->setEditText(formatAddress(address));
    if (command.type == EI2cCommandType::Read) {
        m_ui->spin_read->setValue(command.count);
        return;
    }
    // The field must hold every stored byte, however many.
    const QString text = CI2cDeviceFile::BytesToHex(command.data);
    if (text.size() > m_ui->edit_write->maxLength())
        m_ui->edit_write->setMaxLength(static_cast<int>(text.size()));
    m_ui->edit_write->setText(text);
    m_ui->cmb_startstop->setCurrentIndex(static_cast<int>(command.mode));
}

void MainWindow::onExecuteCommand(uint8_t address, SI2cCommand command)
{
    onLoadCommand(address, command);
    if (!isConnected()) {
        statusBar()->showMessage(
            tr("Command \"%1\" loaded. Connect a device to execute it.").arg(command.label),
            STATUS_TIMEOUT_MS);
        return;
    }
    if (command.type == EI2cCommandType::Read) {
        onRead();
        return;
    }
    // The stored bytes go out as stored, not as read back from the field.
    std::optional<uint8_t> target;
    if (ModeSendsAddress(command.mode))
        target = address;
    sendWrite(command.mode, target, command.data);
}

void MainWindow::onWriteSave()
{
    const std::optional<std::vector<uint8_t>> bytes =
        CI2cDeviceFile::HexToBytes(m_ui->edit_write->text());
    if (!bytes) {
        showMessage(this, QMessageBox::Warning, tr("Save Command"),
                    tr("Invalid input. Enter hex bytes, e.g. \"01 A5 FF\"."));
        return;
    }
    const int mode = m_ui->cmb_startstop->currentIndex();
    if (!IsWriteDataAcceptable(static_cast<EI2cStartStop>(mode), *bytes)) {
        showMessage(this, QMessageBox::Warning, tr("Save Command"),
                    tr("Without start at least one data byte is required."));
        return;
    }

    SI2cCommand command;
    command.type = EI2cCommandType::Write;
    command.mode = static_cast<EI2cStartStop>(mode);
    command.data = *bytes;
    command.count = 1;
    m_projects->AddCommand(command);
}

void MainWindow::onReadSave()
{
    SI2cCommand command;
    command.type = EI2cCommandType::Read;
    command.mode = EI2cStartStop::Auto;
    command.count = m_ui->spin_read->value();
    m_projects->AddCommand(command);
}

void MainWindow::onProjectsFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Projects Folder"), m_projects->GetFolder(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    m_projects->SetFolder(folder);
    statusBar()->showMessage(tr("Projects folder: %1").arg(QDir::toNativeSeparators(folder)),
                             STATUS_TIMEOUT_MS);
}

// ---------------------------------------------------------------------------
// Output table

int MainWindow::bytesPerLine() const
{
    return m_ui->cmb_bytes_per_line->currentData().toInt();
}

bool MainWindow::isOffsetDecimal() const
{
    return m_ui->cmb_offset_format->currentIndex() == 1;
}

QString MainWindow::formatHexLines(const QByteArray& data, int bytesPerLine, bool offsetDecimal)
{
    return FormatHexLines(data, bytesPerLine, offsetDecimal);
}

void MainWindow::addTableRow(const QString& type, const QString& flags, const QString& data,
                             bool error, std::optional<uint8_t> address)
{
    m_outputTable->addRow(type, flags, data, error, address ? formatAddress(*address) : QString());
}

void MainWindow::addTableRow(const QString& type, const QString& flags,
                             const std::vector<uint8_t>& data, bool error,
                             std::optional<uint8_t> address)
{
    const QByteArray raw(reinterpret_cast<const char*>(data.data()),
                         static_cast<qsizetype>(data.size()));
    m_outputTable->addRow(type, flags, raw, error, address ? formatAddress(*address) : QString());
}

void MainWindow::onBytesPerLineChanged()
{
    QSettings settings;
    settings.setValue(SETTINGS_BYTES_PER_LINE, bytesPerLine());
    settings.setValue(SETTINGS_OFFSET_DECIMAL, isOffsetDecimal());
    m_outputTable->setHexFormat(bytesPerLine(), isOffsetDecimal());
}

void MainWindow::copyTableRows(ETableCopy mode)
{
    QTableWidget* table = m_ui->table_data;
    QList<int> rows;
    for (const QModelIndex& index : table->selectionModel()->selectedRows())
        rows.append(index.row());
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());

    QStringList pieces;
    for (int row : rows) {
        switch (mode) {
        case ETableCopy::DataAsShown:
            pieces.append(m_outputTable->shownData(row));
            break;
        case ETableCopy::Data:
            pieces.append(m_outputTable->dataOnOneLine(row));
            break;
        case ETableCopy::Report:
            pieces.append(m_outputTable->report(row));
            break;
        }
    }
    const QString separator =
        mode == ETableCopy::DataAsShown ? QStringLiteral("\n\n") : QStringLiteral("\n");
    QApplication::clipboard()->setText(pieces.join(separator));
    statusBar()->showMessage(tr("%n row(s) copied", nullptr, static_cast<int>(rows.size())),
                             STATUS_TIMEOUT_MS);
}

void MainWindow::onTableContextMenu(const QPoint& pos)
{
    QTableWidget* table = m_ui->table_data;
    const bool hasSelection = table->selectionModel()->hasSelection();
    m_ui->actionCopyReport->setEnabled(hasSelection);
    m_ui->actionCopyData->setEnabled(hasSelection);
    m_ui->actionCopyDataAsShown->setEnabled(hasSelection);
    m_ui->actionTableClear->setEnabled(table->rowCount() > 0);

    QMenu menu(this);
    menu.addAction(m_ui->actionCopyReport);
    menu.addAction(m_ui->actionCopyData);
    menu.addAction(m_ui->actionCopyDataAsShown);
    menu.addSeparator();
    menu.addAction(m_ui->actionSaveOutput);
    menu.addAction(m_ui->actionTableClear);
    menu.exec(table->viewport()->mapToGlobal(pos));

    // The tool bar shares Clear Output, and the copy shortcuts should keep
    // working after a right-click on an empty selection; copying with no
    // selection does nothing.
    m_ui->actionTableClear->setEnabled(true);
    m_ui->actionCopyReport->setEnabled(true);
    m_ui->actionCopyData->setEnabled(true);
    m_ui->actionCopyDataAsShown->setEnabled(true);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    QTableWidget* table = m_ui->table_data;
    if (watched != table)
        return QMainWindow::eventFilter(watched, event);

    // A mouse's menu goes to the viewport; this one came from the keyboard.
    // Qt leaves Shift+F10 alone.
    const bool menuKey =
        (event->type() == QEvent::ContextMenu &&
         static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) ||
        (event->type() == QEvent::KeyPress &&
         static_cast<QKeyEvent*>(event)->key() == Qt::Key_F10 &&
         static_cast<QKeyEvent*>(event)->modifiers() == Qt::ShiftModifier);
    if (!menuKey)
        return false;

    // The menu is for the current row: as a right-click on it would, it
    // selects the row unless the row is part of the selection already.
    QPoint at;
    const QModelIndex current = table->currentIndex();
    if (current.isValid()) {
        if (!table->selectionModel()->isRowSelected(current.row()))
            table->selectionModel()->select(current, QItemSelectionModel::ClearAndSelect |
                                                         QItemSelectionModel::Rows);
        table->scrollTo(current);
        at = table->visualRect(current.siblingAtColumn(0)).bottomLeft();
    }
    onTableContextMenu(at);
    return true;
}
