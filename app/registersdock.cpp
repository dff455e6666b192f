#include "app/registersdock.h"

#include "app/elidedlabel.h"
#include "app/registerfieldeditor.h"
#include "app/registertreemodel.h"
#include "i2c/orvi2c.h"
#include "projects/i2cdevicefile.h"
#include "transactions/registercodec.h"
#include "transactions/registermapfolders.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString SETTINGS_MAP = QStringLiteral("registers/map");
const QColor ERROR_COLOR(0xF4, 0x43, 0x36);
// A map this small shows its fields at once; a larger one opens collapsed.
constexpr int EXPANDED_REGISTERS_MAX = 32;
// Registers named in a status line; the rest are counted.
constexpr int NAMED_MAX = 4;
// Characters of a status text shown; the tool tip has the whole.
constexpr int STATUS_CHARS_MAX = 320;
// A Read All shows its progress once it has run this long.
constexpr int PROGRESS_DELAY_MS = 500;

// The program runs from the build tree, where the shipped maps are the build
// tree's copy (the demo program, the tests); installed, the installed ones.
bool runsFromBuildTree()
{
    const QString program = QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath();
    const QString build = QFileInfo(QStringLiteral(PELLAN_BUILD_DIR)).canonicalFilePath();
    return !build.isEmpty() && (program + QLatin1Char('/')).startsWith(build + QLatin1Char('/'));
}

bool samePath(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QString first = QFileInfo(a).canonicalFilePath();
    return first.isEmpty() ? QFileInfo(a).absoluteFilePath() == QFileInfo(b).absoluteFilePath()
                           : first == QFileInfo(b).canonicalFilePath();
}

void warn(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// The map list, read afresh whenever it opens: maps come and go in their
// folders while the program runs.
class MapComboBox : public QComboBox {
public:
    MapComboBox(std::function<void()> refresh, QWidget* parent)
        : QComboBox(parent), m_refresh(std::move(refresh))
    {
    }
    void showPopup() override
    {
        m_refresh();
        QComboBox::showPopup();
    }

private:
    std::function<void()> m_refresh;
};

// The tree asks for a few rows only: below the bench it must leave the
// output table room, and it scrolls.
class RegisterTree : public QTreeView {
public:
    using QTreeView::QTreeView;
    QSize sizeHint() const override
    {
        QSize size = QTreeView::sizeHint();
        size.setHeight(header()->sizeHint().height() + 2 * frameWidth() +
                       SHOWN_ROWS * (fontMetrics().height() + ROW_PADDING));
        return size;
    }

protected:
    // The fields of a collapsed register are not shown: nothing to repaint,
    // and the view would look for each of them through all its rows.
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles) override
    {
        const QModelIndex parent = topLeft.parent();
        if (parent.isValid() && !isExpanded(parent))
            return;
        QTreeView::dataChanged(topLeft, bottomRight, roles);
    }

private:
    static constexpr int SHOWN_ROWS = 6;
    static constexpr int ROW_PADDING = 4;
};

} // namespace

RegistersDock::RegistersDock(SHooks hooks, QWidget* parent)
    : QDockWidget(tr("Registers"), parent), m_hooks(std::move(hooks))
{
    setObjectName(QStringLiteral("dock_registers"));
    buildUi();
    const QString last = QSettings().value(SETTINGS_MAP).toString();
    QString error;
    std::shared_ptr<const SRegisterMap> map;
    if (!last.isEmpty())
        map = m_maps.load(last, &error);
    if (map)
        setMap(std::move(map), std::nullopt);
    else
        setStatus(tr("Pick a map, or click a device in the projects whose file names one."), false);
    fillMapList();
    refreshAddress();
    onCurrentChanged();
}

RegistersDock::~RegistersDock() = default;

void RegistersDock::buildUi()
{
    auto* contents = new QWidget(this);
    auto* main = new QVBoxLayout(contents);

    auto* source = new QGridLayout;
    m_mapBox = new MapComboBox([this] { fillMapList(); }, contents);
    m_mapBox->setObjectName(QStringLiteral("cmb_registers_map"));
    // A long entry in the list widens the popup, not the box.
    m_mapBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_mapBox->setMinimumContentsLength(12);
    m_mapBox->setPlaceholderText(tr("none"));
    m_mapBox->setToolTip(tr("The register maps of the maps folders; the address of a map picked "
                            "here is the one in the I2C Device box"));
    auto* mapLabel = new QLabel(tr("Map:"), contents);
    mapLabel->setBuddy(m_mapBox);
    m_openButton = new QPushButton(tr("Open..."), contents);
    m_openButton->setObjectName(QStringLiteral("btn_registers_open"));
    m_openButton->setToolTip(tr("Open a register map file (*.i2cmap)"));
    m_addressLabel = new ElidedLabel(contents);
    m_addressLabel->setObjectName(QStringLiteral("label_registers_address"));
    m_addressLabel->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
    m_addressLabel->setDescription(tr("Address"));
    // Reachable, and read out as text, as the watch's value is.
    m_addressLabel->setFocusPolicy(Qt::StrongFocus);
    auto* addressLabel = new QLabel(tr("Address:"), contents);
    addressLabel->setBuddy(m_addressLabel);
    source->addWidget(mapLabel, 0, 0);
    source->addWidget(m_mapBox, 0, 1);
    source->addWidget(m_openButton, 0, 2);
    source->addWidget(addressLabel, 0, 3);
    source->addWidget(m_addressLabel, 0, 4);
    source->setColumnStretch(4, 1);
    main->addLayout(source);

    auto* actions = new QHBoxLayout;
    m_readAllButton = new QPushButton(tr("Read All"), contents);
    m_readAllButton->setObjectName(QStringLiteral("btn_registers_read_all"));
    m_readAllButton->setToolTip(
        tr("Read every readable register, except those whose read clears something"));
    m_readButton = new QPushButton(tr("Read"), contents);
    m_readButton->setObjectName(QStringLiteral("btn_registers_read"));
    m_readButton->setToolTip(tr("Read the selected register"));
    m_watchButton = new QPushButton(tr("Watch..."), contents);
    m_watchButton->setObjectName(QStringLiteral("btn_registers_watch"));
    m_watchButton->setToolTip(tr("Watch the selected field, decoded, in the Watch dock"));
    actions->addWidget(m_readAllButton);
    actions->addWidget(m_readButton);
    actions->addWidget(m_watchButton);
    actions->addStretch();
    main->addLayout(actions);

    m_model = new RegisterTreeModel(this);
    m_tree = new RegisterTree(contents);
    m_tree->setObjectName(QStringLiteral("tree_registers"));
    m_tree->setAccessibleName(tr("Registers"));
    m_tree->setModel(m_model);
    // Rows of one height: a refresh of many rows measures none of them.
    m_tree->setUniformRowHeights(true);
    m_tree->setAlternatingRowColors(true);
    m_tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->setAllColumnsShowFocus(true);
    m_tree->setTextElideMode(Qt::ElideRight);
    QHeaderView* header = m_tree->header();
    // The decoded value takes the room there is: it is what is read. The
    // other columns keep widths that fit their usual contents.
    header->setStretchLastSection(false);
    header->setSectionResizeMode(RegisterTreeModel::ColumnValue, QHeaderView::Stretch);
    const int character = m_tree->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    header->setMinimumSectionSize(4 * character);
    const std::pair<int, int> widths[] = {
        {RegisterTreeModel::ColumnName, 14},        {RegisterTreeModel::ColumnAddress, 8},
        {RegisterTreeModel::ColumnRaw, 8},          {RegisterTreeModel::ColumnAccess, 9},
        {RegisterTreeModel::ColumnDescription, 24},
    };
    for (const auto& [column, characters] : widths)
        header->resizeSection(column, characters * character);
    m_tree->installEventFilter(this);
    main->addWidget(m_tree, 1);

    auto* edit = new QHBoxLayout;
    m_editor = new RegisterFieldEditor(contents);
    m_writeButton = new QPushButton(tr("Write"), contents);
    m_writeButton->setObjectName(QStringLiteral("btn_registers_write"));
    m_writeButton->setToolTip(
        tr("Write the value into the register, keeping its other fields, and read it back"));
    edit->addWidget(m_editor);
    edit->addWidget(m_writeButton);
    edit->addStretch();
    main->addLayout(edit);

    m_status = new QLabel(contents);
    m_status->setObjectName(QStringLiteral("label_registers_status"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    m_status->setSizePolicy(policy);
    main->addWidget(m_status);
    setWidget(contents);

    connect(m_mapBox, &QComboBox::activated, this, &RegistersDock::onMapActivated);
    connect(m_openButton, &QPushButton::clicked, this, &RegistersDock::onOpen);
    connect(m_readAllButton, &QPushButton::clicked, this, &RegistersDock::onReadAll);
    connect(m_readButton, &QPushButton::clicked, this, &RegistersDock::onRead);
    connect(m_watchButton, &QPushButton::clicked, this, &RegistersDock::onWatch);
    connect(m_writeButton, &QPushButton::clicked, this, &RegistersDock::onWrite);
    connect(m_editor, &RegisterFieldEditor::submitted, this, [this] {
        if (m_writeButton->isEnabled())
            onWrite();
    });
    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &RegistersDock::onCurrentChanged);
    // A screen reader selects a row without making it current.
    connect(m_tree->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const QModelIndexList rows = m_tree->selectionModel()->selectedRows();
        if (rows.size() == 1 && rows.front() != m_tree->currentIndex().siblingAtColumn(0))
            m_tree->selectionModel()->setCurrentIndex(rows.front(), QItemSelectionModel::NoUpdate);
    });
}

void RegistersDock::showEvent(QShowEvent* event)
{
    fillMapList();
    QDockWidget::showEvent(event);
}

bool RegistersDock::eventFilter(QObject* watched, QEvent* event)
{
    // Return on a row goes to its value, as a click on the control would.
    if (watched == m_tree && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && m_editor->control() &&
            m_editor->control()->isEnabled()) {
            m_editor->control()->setFocus(Qt::TabFocusReason);
            return true;
        }
    }
    return QDockWidget::eventFilter(watched, event);
}

// ---- Maps --------------------------------------------------------------------

QStringList RegistersDock::mapFolders() const
{
    static const bool fromBuildTree = runsFromBuildTree();
    return MapFolders(m_hooks.projectsFolder(), fromBuildTree);
}

void RegistersDock::fillMapList()
{
    const QString current = m_map ? m_map->filePath : QString();
    const QSignalBlocker blocker(m_mapBox);
    m_mapBox->clear();
    int selected = -1;
    for (const SMapEntry& entry : m_maps.list(mapFolders())) {
        const QString path = QDir::toNativeSeparators(entry.path);
        if (entry.error.isEmpty()) {
            m_mapBox->addItem(entry.device, entry.path);
            m_mapBox->setItemData(
                m_mapBox->count() - 1,
                entry.description.isEmpty() ? path : entry.description + QLatin1Char('\n') + path,
                Qt::ToolTipRole);
        } else {
            m_mapBox->addItem(tr("%1 (does not load)").arg(entry.device), entry.path);
            m_mapBox->setItemData(m_mapBox->count() - 1, path + QStringLiteral(": ") + entry.error,
                                  Qt::ToolTipRole);
        }
        if (selected < 0 && samePath(entry.path, current))
            selected = m_mapBox->count() - 1;
    }
    // A map opened from a file of its own, or named by a device by its file.
    if (selected < 0 && m_map) {
        m_mapBox->addItem(m_map->device, m_map->filePath);
        m_mapBox->setItemData(m_mapBox->count() - 1, QDir::toNativeSeparators(m_map->filePath),
                              Qt::ToolTipRole);
        selected = m_mapBox->count() - 1;
    }
    m_mapBox->setCurrentIndex(selected);
    m_mapBox->view()->setMinimumWidth(m_mapBox->view()->sizeHintForColumn(0) +
                                      m_mapBox->view()->verticalScrollBar()->sizeHint().width());
}

void RegistersDock::onMapActivated(int index)
{
    const QString path = m_mapBox->itemData(index).toString();
    if (!path.isEmpty())
        openMap(path);
}

void RegistersDock::onOpen()
{
    const QString folder = m_map && !m_map->filePath.isEmpty()
                               ? QFileInfo(m_map->filePath).absolutePath()
                               : UserMapsFolder(m_hooks.projectsFolder());
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open Register Map"), folder,
        tr("Register maps (*.%1);;All files (*)").arg(QLatin1String(MAP_FILE_SUFFIX)));
    if (!path.isEmpty())
        openMap(path);
}

bool RegistersDock::openMap(const QString& nameOrPath)
{
    QString error;
    std::shared_ptr<const SRegisterMap> map = m_maps.find(nameOrPath, mapFolders(), &error);
    if (!map) {
        fillMapList();
        setStatus(tr("The register map cannot be used: %1").arg(error), true);
        return false;
    }
    setMap(std::move(map), std::nullopt);
    return true;
}

void RegistersDock::showDevice(const CI2cDeviceFile& device, bool show)
{
    if (show) {
        this->show();
        raise();
    }
    QString name = device.GetMap().trimmed();
    // A file named by a relative path lies beside the device file.
    if ((name.contains(QLatin1Char('/')) ||
         name.endsWith(QLatin1Char('.') + QLatin1String(MAP_FILE_SUFFIX))) &&
        QDir::isRelativePath(name) && !device.GetFilePath().isEmpty())
        name = QFileInfo(device.GetFilePath()).dir().filePath(name);
    QString error;
    std::shared_ptr<const SRegisterMap> map = m_maps.find(name, mapFolders(), &error);
    if (!map) {
        // The device selected has no map: nothing of the one before may be
        // read or written in its name.
        setMap(nullptr, SDevice{device.GetName(), device.GetFilePath(), device.GetAddress()});
        setStatus(tr("%1 (%2) names the register map \"%3\", which cannot be used: %4")
                      .arg(device.GetName(), QFileInfo(device.GetFilePath()).fileName(),
                           device.GetMap(), error),
                  true);
        return;
    }
    setMap(std::move(map), SDevice{device.GetName(), device.GetFilePath(), device.GetAddress()});
}

void RegistersDock::setMap(std::shared_ptr<const SRegisterMap> map, std::optional<SDevice> device)
{
    // The editor points into the map that goes.
    m_editor->setTarget(nullptr, -1, std::nullopt);
    // The cache gives the same map for a file that did not change.
    const bool same = map && map == m_map;
    m_device = std::move(device);
    if (!same) {
        m_map = std::move(map);
        m_model->setMap(m_map);
        m_valuesAddress.reset();
        if (m_map && static_cast<int>(m_map->registers.size()) <= EXPANDED_REGISTERS_MAX)
            m_tree->expandAll();
        if (m_map)
            QSettings().setValue(SETTINGS_MAP, m_map->filePath);
    }
    // The values shown are of one chip.
    if (m_valuesAddress && address() != m_valuesAddress) {
        m_model->clearValues();
        m_valuesAddress.reset();
    }
    fillMapList();
    refreshAddress();
    if (m_map) {
        QString text = tr("%1: %n register(s).", nullptr, static_cast<int>(m_map->registers.size()))
                           .arg(m_map->device);
        if (!m_map->warnings.isEmpty())
            text += QLatin1Char(' ') + tr("Ignored, unknown to this program: %1")
                                           .arg(m_map->warnings.join(QStringLiteral("; ")));
        setStatus(text, false);
    }
    onCurrentChanged();
}

const SRegisterMap* RegistersDock::map() const
{
    return m_map.get();
}

std::optional<uint8_t> RegistersDock::address() const
{
    if (m_device)
        return m_device->address;
    return m_hooks.benchAddress();
}

void RegistersDock::refreshAddress()
{
    const std::optional<uint8_t> target = address();
    QString text;
    if (m_device) {
        text = tr("%1, from the device %2 (%3)")
                   .arg(m_hooks.formatAddress(m_device->address), m_device->name,
                        QFileInfo(m_device->filePath).fileName());
    } else if (target) {
        text = tr("%1, from the I2C Device box").arg(m_hooks.formatAddress(*target));
    } else {
        text = tr("none: enter one in the I2C Device box");
    }
    m_addressLabel->setFullText(text);
}

// ---- State ---------------------------------------------------------------------

void RegistersDock::setConnected(bool connected)
{
    m_connected = connected;
    updateButtons();
}

void RegistersDock::setStatus(const QString& text, bool alert)
{
    m_statusText = text;
    // A few lines at most, or the tree below gets no room: the rest is in
    // the tool tip.
    const bool cut = text.size() > STATUS_CHARS_MAX;
    m_status->setText(cut ? text.left(STATUS_CHARS_MAX - 1).trimmed() + QChar(0x2026) : text);
    m_status->setToolTip(cut ? text : QString());
    m_status->setStyleSheet(alert ? QStringLiteral("color:%1").arg(ERROR_COLOR.name()) : QString());
    if (alert) {
        QAccessibleEvent event(m_status, QAccessible::Alert);
        QAccessible::updateAccessibility(&event);
    }
}

QString RegistersDock::statusText() const
{
    return m_statusText;
}

int RegistersDock::currentRegister() const
{
    return m_model->registerOf(m_tree->currentIndex());
}

int RegistersDock::currentField() const
{
    return m_model->fieldOf(m_tree->currentIndex());
}

void RegistersDock::updateButtons()
{
    const int reg = currentRegister();
    const SMapRegister* r = reg >= 0 ? &m_map->registers[static_cast<size_t>(reg)] : nullptr;
    const int field = currentField();
    // A field, or a register that is one value.
    const bool watchable =
        r && r->IsReadable() &&
        (field >= 0 ? r->fields[static_cast<size_t>(field)].IsReadable() : r->fields.empty());
    m_readAllButton->setEnabled(m_connected && m_map);
    m_readButton->setEnabled(m_connected && r && r->IsReadable());
    m_watchButton->setEnabled(m_connected && watchable);
    m_writeButton->setEnabled(m_connected && m_editor->kind() != RegisterFieldEditor::EKind::None);
}

void RegistersDock::onCurrentChanged()
{
    const int reg = currentRegister();
    if (reg < 0) {
        m_editor->setTarget(nullptr, -1, std::nullopt,
                            m_map ? tr("Select a register or a field to write it.") : QString());
    } else {
        const SMapRegister& r = m_map->registers[static_cast<size_t>(reg)];
        const int field = currentField();
        const bool writable =
            r.IsWritable() && (field < 0 || r.fields[static_cast<size_t>(field)].IsWritable());
        if (writable)
            m_editor->setTarget(&r, field, m_model->value(reg));
        else
            m_editor->setTarget(nullptr, -1, std::nullopt,
                                tr("%1 is read-only.").arg(MapFieldPath(r, field)));
    }
    updateButtons();
}

void RegistersDock::refreshEditor(bool force)
{
    const int reg = currentRegister();
    if (reg < 0)
        return;
    if (force)
        onCurrentChanged();
    else
        m_editor->setValue(m_model->value(reg));
}

// ---- Accesses ------------------------------------------------------------------

COrvI2c* RegistersDock::prepareAccess(const QString& operation, uint8_t& address)
{
    COrvI2c* adapter = m_hooks.adapter();
    if (!adapter || !m_map)
        return nullptr;
    const std::optional<uint8_t> target = this->address();
    if (!target) {
        warn(this, operation,
             tr("Invalid I2C address. The map %1 was picked by hand: enter the address of its "
                "chip in the I2C Device box.")
                 .arg(m_map->device));
        return nullptr;
    }
    address = *target;
    // The values shown are of one chip.
    if (m_valuesAddress != address)
        m_model->clearValues();
    m_valuesAddress = address;
    return adapter;
}

bool RegistersDock::addRows(const std::vector<SMapStep>& steps, const SRegisterMap& map,
                            uint8_t address, COrvI2c& adapter)
{
    const bool failed =
        std::any_of(steps.begin(), steps.end(), [](const SMapStep& step) { return !step.ok(); });
    // After the adapter went away nothing was tried: the step that met it is
    // the last.
    const bool gone = failed && !adapter.IsPresent();
    for (size_t i = 0; i < steps.size(); ++i) {
        if (gone && i + 1 == steps.size() && !steps[i].ok())
            break;
        m_hooks.addRow(steps[i], map.device, address);
    }
    return !gone;
}

void RegistersDock::onReadAll()
{
    if (m_running)
        return;
    uint8_t address = 0;
    COrvI2c* adapter = prepareAccess(tr("Read All"), address);
    if (!adapter)
        return;
    // Held for the run: nothing may replace it in between.
    const std::shared_ptr<const SRegisterMap> map = m_map;
    const QString where = m_hooks.formatAddress(address);
    const int planned = static_cast<int>(ReadAllRegisters(*map).size());

    // A chip that stopped answering costs the adapter's deadline per
    // register: the first register it leaves unanswered ends the run.
    QProgressDialog progress(tr("Reading the registers of %1 at %2...").arg(map->device, where),
                             tr("Cancel"), 0, planned, this);
    progress.setWindowTitle(tr("Read All"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(PROGRESS_DELAY_MS);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    progress.setValue(0);
    int done = 0;
    QString unanswered;
    const auto onProgress = [&](const SMapRegisterRead& entry) {
        if (!entry.value && unanswered.isEmpty() &&
            adapter->GetLastErrorKind() == EOrvError::Timeout &&
            entry.error == QString::fromStdString(adapter->GetLastError()))
            unanswered = map->registers[static_cast<size_t>(entry.reg)].name;
        progress.setValue(++done);
    };
    // Between registers the window repaints and the Cancel button answers;
    // until the box shows, the user's clicks wait, and once it shows they
    // reach only the box.
    const auto cancelled = [&] {
        QCoreApplication::processEvents(progress.isVisible() ? QEventLoop::AllEvents
                                                             : QEventLoop::ExcludeUserInputEvents);
        return !unanswered.isEmpty() || progress.wasCanceled() || m_hooks.adapter() != adapter;
    };
    m_running = true;
    m_hooks.holdPolls(true);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    SMapRead read = RunMapReadAll(*adapter, address, *map, {}, cancelled, onProgress);
    QApplication::restoreOverrideCursor();
    m_hooks.holdPolls(false);
    m_running = false;
    progress.close();
    // Nothing else drops the adapter while polls are held; should it have
    // gone, what it left is not looked at.
    if (m_hooks.adapter() != adapter)
        return;
    const bool canceled = progress.wasCanceled() && unanswered.isEmpty();

    int untried = 0;
    for (SMapRegisterRead& entry : read.registers) {
        if (entry.value || entry.error != QLatin1String("Cancelled"))
            continue;
        ++untried;
        entry.error = canceled ? tr("not read: Read All was cancelled")
                               : tr("not read: %1 did not answer").arg(map->device);
    }
    const bool present = addRows(read.steps, *map, address, *adapter);
    if (m_map == map)
        m_model->applyRead(read, true);

    // Failed registers grouped by why, so that a failure shared by many
    // is named once: "A, B (NACK received); C and 250 more (Timeout)".
    struct SGroup {
        QString error;
        QStringList names;
        int count = 0;
    };
    std::vector<SGroup> failures;
    int values = 0;
    int named = 0;
    for (const SMapRegisterRead& entry : read.registers) {
        if (entry.value) {
            ++values;
            continue;
        }
        if (entry.error.startsWith(tr("not read:")))
            continue;
        auto group = std::find_if(failures.begin(), failures.end(),
                                  [&entry](const SGroup& g) { return g.error == entry.error; });
        if (group == failures.end())
            group = failures.insert(failures.end(), SGroup{entry.error, {}, 0});
        ++group->count;
        if (named < NAMED_MAX && group->names.size() < NAMED_MAX) {
            group->names << map->registers[static_cast<size_t>(entry.reg)].name;
            ++named;
        }
    }
    const int total = static_cast<int>(read.registers.size());
    QString text;
    if (values == total) {
        text = tr("Read All at %1: %n register(s) read.", nullptr, total).arg(where);
    } else {
        text = tr("Read All at %1: %2 of %3 registers read").arg(where).arg(values).arg(total);
        QStringList groups;
        int unnamed = 0;
        for (const SGroup& group : failures) {
            const int more = group.count - static_cast<int>(group.names.size());
            if (group.names.isEmpty()) {
                unnamed += group.count;
                continue;
            }
            groups << tr("%1 (%2)").arg(
                group.names.join(QStringLiteral(", ")) +
                    (more > 0 ? tr(" and %n more", nullptr, more) : QString()),
                group.error);
        }
        if (unnamed > 0)
            groups << tr("%n more for other reasons", nullptr, unnamed);
        if (!groups.isEmpty())
            text += tr("; no value for %1").arg(groups.join(QStringLiteral("; ")));
        if (untried > 0)
            text +=
                QStringLiteral("; ") +
                (canceled ? tr("cancelled, %n not read", nullptr, untried)
                          : tr("stopped at %1, which did not answer: %n not read", nullptr, untried)
                                .arg(unanswered));
        text += QLatin1Char('.');
    }
    const int left = static_cast<int>(
        std::count_if(map->registers.begin(), map->registers.end(),
                      [](const SMapRegister& reg) { return reg.IsReadable() && reg.readClears; }));
    if (left > 0)
        text += QLatin1Char(' ') +
                tr("%n left out, since a read clears them: Read reads one.", nullptr, left);
    setStatus(text, values != total);
    refreshEditor(false);
    if (!present)
        m_hooks.connectionLost();
}

void RegistersDock::onRead()
{
    const int reg = currentRegister();
    if (reg < 0)
        return;
    uint8_t address = 0;
    COrvI2c* adapter = prepareAccess(tr("Read"), address);
    if (!adapter)
        return;
    const std::shared_ptr<const SRegisterMap> map = m_map;
    const SMapRegister& r = map->registers[static_cast<size_t>(reg)];
    const QString where = m_hooks.formatAddress(address);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const SMapRead read = RunMapRegisterRead(*adapter, address, *map, reg);
    QApplication::restoreOverrideCursor();
    const bool present = addRows(read.steps, *map, address, *adapter);
    m_model->applyRead(read);
    const std::optional<uint32_t> value =
        read.registers.empty() ? std::nullopt : read.registers.front().value;
    if (value) {
        setStatus(tr("Read %1 at %2: %3.").arg(r.name, where, RegisterValueText(r, *value)), false);
    } else {
        setStatus(tr("Read %1 at %2 failed: %3.")
                      .arg(r.name, where,
                           read.registers.empty() ? QString() : read.registers.front().error),
                  true);
    }
    refreshEditor(false);
    if (!present)
        m_hooks.connectionLost();
}

void RegistersDock::onWrite()
{
    const int reg = currentRegister();
    if (reg < 0 || !m_map)
        return;
    const std::shared_ptr<const SRegisterMap> map = m_map;
    const SMapRegister& r = map->registers[static_cast<size_t>(reg)];
    const int field = currentField();
    const QString target = MapFieldPath(r, field);
    SMapError error;
    const std::optional<uint32_t> bits = m_editor->bits(&error);
    const SMapWrite write{reg, {{field, bits.value_or(0)}}};
    if (!bits || !CheckMapWrite(*map, write, &error)) {
        warn(this, tr("Write"), error.text);
        return;
    }
    uint8_t address = 0;
    COrvI2c* adapter = prepareAccess(tr("Write"), address);
    if (!adapter)
        return;
    const QString where = m_hooks.formatAddress(address);
    const QString value =
        field < 0 ? RegisterValueText(r, *bits)
                  : DecodeField(r, r.fields[static_cast<size_t>(field)],
                                WithFieldBits(r.fields[static_cast<size_t>(field)], 0, *bits))
                        .text;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const SMapWriteResult result = RunMapWrite(*adapter, address, *map, write);
    QApplication::restoreOverrideCursor();
    const bool present = addRows(result.steps, *map, address, *adapter);
    m_model->applyWrite(reg, result);

    if (const SMapStep* failed = result.failure()) {
        setStatus(tr("%1 = %2 at %3 failed in \"%4\": %5.")
                      .arg(target, value, where, failed->type,
                           failed->failure() ? failed->failure()->error : QString()),
                  true);
    } else if (!result.refusal.isEmpty()) {
        setStatus(result.refusal, true);
    } else if (result.Mismatch()) {
        const QStringList names = result.MismatchNames(*map, write);
        setStatus((names.size() == 1 ? tr("Wrote %1 = %2 at %3, but read back %4: %5 differs "
                                          "from what was written.")
                                     : tr("Wrote %1 = %2 at %3, but read back %4: %5 differ from "
                                          "what was written."))
                      .arg(target, value, where, RegisterValueText(r, *result.readBack),
                           names.join(QStringLiteral(", "))),
                  true);
    } else if (result.readBack) {
        setStatus(tr("Wrote %1 = %2 at %3; read back %4, as written.")
                      .arg(target, value, where, RegisterValueText(r, *result.readBack)),
                  false);
    } else {
        setStatus(
            tr("Wrote %1 = %2 at %3; %4 cannot be read back.").arg(target, value, where, r.name),
            false);
    }
    // After a mismatch the value asked for stays, to be looked at or tried
    // again.
    if (!result.Mismatch())
        refreshEditor(true);
    if (!present)
        m_hooks.connectionLost();
}

void RegistersDock::onWatch()
{
    const int reg = currentRegister();
    const std::optional<uint8_t> target = address();
    if (reg < 0 || !m_map)
        return;
    if (!target) {
        warn(this, tr("Watch"),
             tr("Invalid I2C address. The map %1 was picked by hand: enter the address of its "
                "chip in the I2C Device box.")
                 .arg(m_map->device));
        return;
    }
    const SMapRegister& r = m_map->registers[static_cast<size_t>(reg)];
    const int field = currentField();
    // A register without fields is one unsigned value.
    SMapField whole;
    whole.msb = 8 * r.bytes - 1;
    const SMapField& watched = field >= 0 ? r.fields[static_cast<size_t>(field)] : whole;
    SWatchRuleTexts rule;
    rule.reg =
        QStringLiteral("%1")
            .arg(MapRegisterPointer(*m_map, r), 2 * m_map->pointerBytes, 16, QLatin1Char('0'))
            .toUpper();
    rule.regWidth = m_map->pointerBytes;
    rule.decoding = DecodingRuleTexts(FieldDecodingRule(r, watched));
    m_hooks.watch({*target, r.bytes, m_map->filePath, MapFieldPath(r, field), rule});
}
