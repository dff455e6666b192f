#include "projects/projectspanel.h"

#include <QAbstractItemView>
#include <QAction>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFont>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolButton>
#include <QToolTip>
#include <QTreeView>
#include <QUrl>

#include <algorithm>
#include <array>
#include <utility>

namespace {

const QString SETTINGS_FOLDER = QStringLiteral("projects/folder");
const QString SETTINGS_EXPANDED = QStringLiteral("projects/expanded");
const QString SETTINGS_EXAMPLES = QStringLiteral("projects/examplesInstalled");
const QString EXAMPLE_RESOURCE = QStringLiteral(":/examples/bh1750.i2cdev");
const QColor COLOR_ERROR(0xF4, 0x43, 0x36);

constexpr int ROLE_DEVICE_INDEX = Qt::UserRole + 1;
constexpr int ROLE_COMMAND_INDEX = Qt::UserRole + 2;
constexpr int ROLE_FILE_PATH = Qt::UserRole + 3;

constexpr int RELOAD_DELAY_MS = 300;
constexpr int COLUMN_COUNT = 3;
// Read and write for owner and user, read for group and others: a copy out
// of the resources would otherwise be read-only.
constexpr QFileDevice::Permissions EXAMPLE_PERMISSIONS =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
    QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;

// A standard item model whose rows are replaced as a whole: one reset for a
// rebuild instead of a signal per row keeps reloads of large folders cheap.
class CProjectsModel : public QStandardItemModel {
public:
    using QStandardItemModel::QStandardItemModel;

    // The tree shows what is on disk; nothing is edited in place.
    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        return QStandardItemModel::flags(index) & ~Qt::ItemIsEditable;
    }

    template <typename Fill> void replaceRows(Fill&& fill)
    {
        beginResetModel();
        {
            // Proxy and view learn of the new rows from the reset alone.
            const QSignalBlocker blocker(this);
            removeRows(0, rowCount());
            fill();
        }
        endResetModel();
    }
};

// Tool tips hold file paths and error texts, which come from the files: shown
// as text, never interpreted as markup.
class CPlainToolTipDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        if (event && view && event->type() == QEvent::ToolTip && index.isValid()) {
            const QString text = index.data(Qt::ToolTipRole).toString();
            if (Qt::mightBeRichText(text)) {
                QToolTip::showText(event->globalPos(), Qt::convertFromPlainText(text),
                                   view->viewport(), option.rect);
                return true;
            }
        }
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
};

// An item of the tree whose text and two indexes are fields instead of
// stored data: a rebuild of a large folder creates tens of thousands of
// items, and every stored role costs allocations. Other roles (font, tool
// tip, colour, file path) are stored as usual.
class CRowItem : public QStandardItem {
public:
    CRowItem(const QString& text, int deviceIndex, int commandIndex)
        : m_text(text), m_deviceIndex(deviceIndex), m_commandIndex(commandIndex)
    {
    }

    QVariant data(int role) const override
    {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return m_text;
        case ROLE_DEVICE_INDEX:
            return m_deviceIndex;
        case ROLE_COMMAND_INDEX:
            return m_commandIndex;
        default:
            return QStandardItem::data(role);
        }
    }

private:
    QString m_text;
    int m_deviceIndex;
    int m_commandIndex;
};

// Three items, each with both indexes, so that a click in any column
// identifies the row.
QList<QStandardItem*> createRow(const QString& name, const QString& type, const QString& data,
                                int deviceIndex, int commandIndex)
{
    return {new CRowItem(name, deviceIndex, commandIndex),
            new CRowItem(type, deviceIndex, commandIndex),
            new CRowItem(data, deviceIndex, commandIndex)};
}

// The type and data texts of command rows. Built once per rebuild: most of
// them repeat on thousands of rows and are shared, not translated anew.
class CCommandTexts {
public:
    const QString& type(const SI2cCommand& command) const
    {
        if (command.type == EI2cCommandType::Read)
            return m_read;
        const auto mode = static_cast<size_t>(command.mode);
        return mode < m_writes.size() ? m_writes.at(mode) : m_writes.front();
    }

    QString data(const SI2cCommand& command) const
    {
        if (command.type == EI2cCommandType::Read)
            return CProjectsPanel::tr("%n byte(s)", nullptr, command.count);
        if (command.data.empty())
            return m_addressOnly;
        return CI2cDeviceFile::BytesToHex(command.data);
    }

private:
    // Indexed by the start/stop mode.
    const std::array<QString, 4> m_writes{
        CProjectsPanel::tr("Write"),
        CProjectsPanel::tr("Write (%1)").arg(CProjectsPanel::tr("Start")),
        CProjectsPanel::tr("Write (%1)").arg(CProjectsPanel::tr("Stop")),
        CProjectsPanel::tr("Write (%1)").arg(CProjectsPanel::tr("None")),
    };
    const QString m_read = CProjectsPanel::tr("Read");
    const QString m_addressOnly = CProjectsPanel::tr("(address only)");
};

QString nameFilter()
{
    return QStringLiteral("*.") + CI2cDeviceFile::FILE_SUFFIX;
}

} // namespace

CProjectsPanel::CProjectsPanel(const SWidgets& widgets, FormatAddress formatAddress,
                               ParseAddress parseAddress, CurrentAddress currentAddress,
                               QWidget* parent)
    : QObject(parent), m_widgets(widgets), m_formatAddress(std::move(formatAddress)),
      m_parseAddress(std::move(parseAddress)), m_currentAddress(std::move(currentAddress)),
      m_parentWidget(parent)
{
    m_model = new CProjectsModel(0, COLUMN_COUNT, this);
    m_model->setHorizontalHeaderLabels({tr("Name"), tr("Type"), tr("Data")});

    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setFilterKeyColumn(-1);
    m_proxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
    m_proxy->setRecursiveFilteringEnabled(true);
    m_proxy->setAutoAcceptChildRows(true);

    QTreeView* tree = m_widgets.tree;
    tree->setModel(m_proxy);
    tree->setItemDelegate(new CPlainToolTipDelegate(tree));
    tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    tree->setUniformRowHeights(true);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView* header = tree->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);

    m_widgets.filterEdit->setPlaceholderText(tr("Filter..."));
    m_widgets.filterEdit->setClearButtonEnabled(true);
    // The edit's own clear button comes without a name.
    for (QToolButton* button : m_widgets.filterEdit->findChildren<QToolButton*>())
        button->setAccessibleName(tr("Clear filter"));
    m_widgets.descriptionLabel->setTextFormat(Qt::PlainText);
    m_widgets.descriptionLabel->setWordWrap(true);
    m_widgets.descriptionLabel->clear();

    m_watcher = new QFileSystemWatcher(this);
    m_reloadTimer.setSingleShot(true);
    m_reloadTimer.setInterval(RELOAD_DELAY_MS);

    connect(m_widgets.filterEdit, &QLineEdit::textChanged, this, &CProjectsPanel::onFilterChanged);
    connect(tree, &QTreeView::clicked, this, &CProjectsPanel::onClicked);
    connect(tree, &QTreeView::doubleClicked, this, &CProjectsPanel::onDoubleClicked);
    connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &CProjectsPanel::onCurrentChanged);
    connect(tree, &QWidget::customContextMenuRequested, this, &CProjectsPanel::onContextMenu);
    tree->installEventFilter(this);
    connect(tree, &QTreeView::expanded, this, &CProjectsPanel::onExpandedChanged);
    connect(tree, &QTreeView::collapsed, this, &CProjectsPanel::onExpandedChanged);
    connect(m_widgets.newButton, &QToolButton::clicked, this, &CProjectsPanel::onNewDevice);
    connect(m_widgets.reloadButton, &QToolButton::clicked, this, &CProjectsPanel::reload);
    connect(m_widgets.folderButton, &QToolButton::clicked, this, &CProjectsPanel::onOpenFolder);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, &m_reloadTimer,
            qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::fileChanged, &m_reloadTimer,
            qOverload<>(&QTimer::start));
    connect(&m_reloadTimer, &QTimer::timeout, this, &CProjectsPanel::reload);

    const QSettings settings;
    m_folder = settings.value(SETTINGS_FOLDER, DefaultFolder()).toString();
    const QStringList expanded = settings.value(SETTINGS_EXPANDED).toStringList();
    m_expanded = QSet<QString>(expanded.begin(), expanded.end());

    prepareFolder();
    reload();
}

CProjectsPanel::~CProjectsPanel() = default;

QString CProjectsPanel::DefaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
           QStringLiteral("/Tremwick/pellan_i2c/projects");
}

void CProjectsPanel::SetFolder(const QString& folder)
{
    m_folder = QDir::cleanPath(folder);
    QSettings().setValue(SETTINGS_FOLDER, m_folder);
    QDir().mkpath(m_folder);
    reload();
}

void CProjectsPanel::RefreshAddresses()
{
    rebuildModel();
}

void CProjectsPanel::prepareFolder()
{
    QDir().mkpath(m_folder);
    QSettings settings;
    if (settings.value(SETTINGS_EXAMPLES, false).toBool())
        return;
    const QDir folder(m_folder);
    if (folder.entryList({nameFilter()}, QDir::Files).isEmpty()) {
        const QString target = folder.filePath(QFileInfo(EXAMPLE_RESOURCE).fileName());
        if (QFile::copy(EXAMPLE_RESOURCE, target))
            QFile::setPermissions(target, EXAMPLE_PERMISSIONS);
    }
    // Offered once per settings store, also when the copy failed or the
    // folder already held devices.
    settings.setValue(SETTINGS_EXAMPLES, true);
}

void CProjectsPanel::onOpenFolder()
{
    QDir().mkpath(m_folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(m_folder));
}

void CProjectsPanel::reload()
{
    m_reloadTimer.stop();
    m_devices.clear();
    m_errors.clear();

    const QFileInfoList entries = updateWatcher();
    m_devices.reserve(entries.size());
    for (const QFileInfo& entry : entries) {
        const QString path = entry.absoluteFilePath();
        CI2cDeviceFile device;
        if (device.Load(path))
            m_devices.append(std::move(device));
        else
            m_errors.append({path, device.GetLastError()});
    }
    std::stable_sort(m_devices.begin(), m_devices.end(),
                     [](const CI2cDeviceFile& a, const CI2cDeviceFile& b) {
                         return QString::compare(a.GetName(), b.GetName(), Qt::CaseInsensitive) < 0;
                     });

    rebuildModel();
}

QFileInfoList CProjectsPanel::updateWatcher()
{
    // Watched first, read afterwards: a change made while the folder is
    // being read then either comes before its file is read or is reported
    // by the new watch. Removing the old watches drops what they still had
    // to report, which the reading that follows covers. Re-adding every path
    // also watches again the files that the watcher dropped because they
    // were replaced or deleted and created anew.
    const QStringList watched = m_watcher->files() + m_watcher->directories();
    if (!watched.isEmpty())
        m_watcher->removePaths(watched);

    // The folder before its listing, so that no file can appear unnoticed
    // in between.
    if (QFileInfo(m_folder).isDir())
        m_watcher->addPath(m_folder);
    const QFileInfoList entries =
        QDir(m_folder).entryInfoList({nameFilter()}, QDir::Files, QDir::Name);
    QStringList paths;
    paths.reserve(entries.size());
    for (const QFileInfo& entry : entries)
        paths.append(entry.absoluteFilePath());
    if (!paths.isEmpty())
        m_watcher->addPaths(paths);
    return entries;
}

void CProjectsPanel::rebuildModel()
{
    // The current item is followed by its file, not by its position in the
    // device list: after a change of the list the same file stays current.
    QString currentPath;
    int currentCommand = -1;
    const QModelIndex current = m_proxy->mapToSource(m_widgets.tree->currentIndex());
    if (current.isValid()) {
        const QModelIndex row = current.siblingAtColumn(0);
        if (row.parent().isValid()) {
            currentPath = row.parent().data(ROLE_FILE_PATH).toString();
            currentCommand = row.data(ROLE_COMMAND_INDEX).toInt();
        } else {
            currentPath = row.data(ROLE_FILE_PATH).toString();
        }
    }

    static_cast<CProjectsModel*>(m_model)->replaceRows([this] {
        QFont bold;
        bold.setWeight(QFont::Bold);
        const QBrush errorBrush(COLOR_ERROR, Qt::SolidPattern);
        const CCommandTexts texts;

        for (int i = 0; i < m_devices.size(); ++i) {
            const CI2cDeviceFile& device = m_devices.at(i);
            QList<QStandardItem*> row =
                createRow(device.GetName(), QString(), m_formatAddress(device.GetAddress()), i, -1);
            QStandardItem* nameItem = row.first();
            nameItem->setFont(bold);
            nameItem->setData(device.GetFilePath(), ROLE_FILE_PATH);
            nameItem->setToolTip(QDir::toNativeSeparators(device.GetFilePath()));
            const QList<SI2cCommand>& commands = device.GetCommands();
            for (int j = 0; j < commands.size(); ++j) {
                const SI2cCommand& command = commands.at(j);
                nameItem->appendRow(
                    createRow(command.label, texts.type(command), texts.data(command), i, j));
            }
            m_model->appendRow(row);
        }

        for (const SFileError& error : std::as_const(m_errors)) {
            QList<QStandardItem*> row =
                createRow(QFileInfo(error.path).fileName(), QString(), tr("Error"), -1, -1);
            // Said in words as well, for those who do not see the colour.
            const QString description = tr("Error: %1").arg(error.message);
            for (QStandardItem* item : row) {
                item->setForeground(errorBrush);
                item->setToolTip(error.message);
                item->setData(description, Qt::AccessibleDescriptionRole);
            }
            row.first()->setData(error.path, ROLE_FILE_PATH);
            m_model->appendRow(row);
        }
    });

    if (!m_widgets.filterEdit->text().isEmpty())
        m_widgets.tree->expandAll();
    else
        restoreExpanded();

    if (!currentPath.isEmpty())
        selectItem(currentPath, currentCommand);
    else
        m_widgets.descriptionLabel->clear();
}

int CProjectsPanel::deviceIndexAt(const QModelIndex& proxyIndex) const
{
    if (!proxyIndex.isValid())
        return -1;
    const QVariant value = proxyIndex.data(ROLE_DEVICE_INDEX);
    if (!value.isValid())
        return -1;
    const int index = value.toInt();
    return index >= 0 && index < m_devices.size() ? index : -1;
}

int CProjectsPanel::commandIndexAt(const QModelIndex& proxyIndex) const
{
    const int device = deviceIndexAt(proxyIndex);
    if (device < 0)
        return -1;
    const QVariant value = proxyIndex.data(ROLE_COMMAND_INDEX);
    if (!value.isValid())
        return -1;
    const int index = value.toInt();
    return index >= 0 && index < m_devices.at(device).GetCommands().size() ? index : -1;
}

void CProjectsPanel::onClicked(const QModelIndex& proxyIndex)
{
    const int device = deviceIndexAt(proxyIndex);
    if (device < 0)
        return;
    const CI2cDeviceFile& file = m_devices.at(device);
    const int command = commandIndexAt(proxyIndex);
    if (command < 0)
        emit deviceSelected(file.GetAddress());
    else
        emit commandSelected(file.GetAddress(), file.GetCommands().at(command));
}

void CProjectsPanel::onDoubleClicked(const QModelIndex& proxyIndex)
{
    const int device = deviceIndexAt(proxyIndex);
    const int command = commandIndexAt(proxyIndex);
    if (device < 0 || command < 0)
        return;
    const CI2cDeviceFile& file = m_devices.at(device);
    emit commandExecuteRequested(file.GetAddress(), file.GetCommands().at(command));
}

void CProjectsPanel::onCurrentChanged(const QModelIndex& proxyIndex)
{
    const int device = deviceIndexAt(proxyIndex);
    if (device >= 0)
        m_widgets.descriptionLabel->setText(m_devices.at(device).GetDescription());
    else if (proxyIndex.isValid())
        m_widgets.descriptionLabel->setText(
            proxyIndex.siblingAtColumn(0).data(Qt::ToolTipRole).toString());
    else
        m_widgets.descriptionLabel->clear();
}

void CProjectsPanel::selectItem(const QString& filePath, int commandIndex)
{
    QStandardItem* target = nullptr;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        QStandardItem* item = m_model->item(row, 0);
        if (item->data(ROLE_FILE_PATH).toString() == filePath) {
            target = item;
            break;
        }
    }
    if (!target) {
        m_widgets.descriptionLabel->clear();
        return;
    }
    if (commandIndex >= 0 && commandIndex < target->rowCount())
        target = target->child(commandIndex, 0);

    const QModelIndex proxyIndex = m_proxy->mapFromSource(target->index());
    if (!proxyIndex.isValid()) {
        m_widgets.descriptionLabel->clear();
        return;
    }
    if (proxyIndex.parent().isValid())
        m_widgets.tree->expand(proxyIndex.parent());
    m_widgets.tree->setCurrentIndex(proxyIndex);
    m_widgets.tree->scrollTo(proxyIndex, QAbstractItemView::EnsureVisible);
    onCurrentChanged(proxyIndex);
}

void CProjectsPanel::onFilterChanged(const QString& text)
{
    m_proxy->setFilterFixedString(text);
    m_restoring = true;
    if (!text.isEmpty())
        m_widgets.tree->expandAll();
    else
        restoreExpanded();
    m_restoring = false;
}

void CProjectsPanel::onExpandedChanged()
{
    // Expansion that the panel makes itself, or that a filter forces, is not
    // the user's choice.
    if (m_restoring || !m_widgets.filterEdit->text().isEmpty())
        return;
    m_expanded.clear();
    for (int row = 0; row < m_proxy->rowCount(); ++row) {
        const QModelIndex index = m_proxy->index(row, 0);
        if (m_widgets.tree->isExpanded(index))
            m_expanded.insert(index.data(ROLE_FILE_PATH).toString());
    }
    saveExpanded();
}

void CProjectsPanel::saveExpanded() const
{
    QSettings().setValue(SETTINGS_EXPANDED, QStringList(m_expanded.begin(), m_expanded.end()));
}

void CProjectsPanel::restoreExpanded()
{
    m_restoring = true;
    for (int row = 0; row < m_proxy->rowCount(); ++row) {
        const QModelIndex index = m_proxy->index(row, 0);
        m_widgets.tree->setExpanded(index,
                                    m_expanded.contains(index.data(ROLE_FILE_PATH).toString()));
    }
    m_restoring = false;
}

// ---- Context menu and keys ----------------------------------------------

void CProjectsPanel::onContextMenu(const QPoint& pos)
{
    QTreeView* tree = m_widgets.tree;
    showContextMenu(tree->indexAt(pos), tree->viewport()->mapToGlobal(pos));
}

bool CProjectsPanel::eventFilter(QObject* watched, QEvent* event)
{
    QTreeView* tree = m_widgets.tree;
    if (watched != tree)
        return QObject::eventFilter(watched, event);

    bool menuKey = false;
    if (event->type() == QEvent::ContextMenu) {
        // A mouse's menu goes to the viewport; this one came from the keyboard.
        menuKey = static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
    } else if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const QModelIndex current = tree->currentIndex();
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier &&
            deviceIndexAt(current) >= 0) {
            if (commandIndexAt(current) >= 0)
                onDoubleClicked(current);
            else
                onClicked(current);
            return true;
        }
        // Qt leaves Shift+F10 alone.
        menuKey = key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier;
    }
    if (!menuKey)
        return false;

    // For the current row, not for the row under a point Qt derives.
    const QModelIndex current = tree->currentIndex();
    QPoint at;
    if (current.isValid()) {
        tree->scrollTo(current);
        at = tree->visualRect(current.siblingAtColumn(0)).bottomLeft();
    }
    showContextMenu(current, tree->viewport()->mapToGlobal(at));
    return true;
}

void CProjectsPanel::showContextMenu(const QModelIndex& index, const QPoint& globalPos)
{
    QTreeView* tree = m_widgets.tree;
    const int device = deviceIndexAt(index);
    const int command = commandIndexAt(index);
    const QString path = index.siblingAtColumn(0).data(ROLE_FILE_PATH).toString();
    // The menu runs a nested event loop in which a debounced reload may
    // replace the device list and every index; the row is found again
    // afterwards by its file and its command.
    const QString devicePath = device >= 0 ? m_devices.at(device).GetFilePath() : QString();
    const QString label =
        command >= 0 ? m_devices.at(device).GetCommands().at(command).label : QString();

    QMenu menu(tree);
    QAction* execute = nullptr;
    QAction* load = nullptr;
    QAction* watch = nullptr;
    QAction* rename = nullptr;
    QAction* moveUp = nullptr;
    QAction* moveDown = nullptr;
    QAction* removeCommand = nullptr;
    QAction* properties = nullptr;
    QAction* removeDevice = nullptr;
    QAction* removeFile = nullptr;
    if (command >= 0) {
        execute = menu.addAction(tr("Execute"));
        load = menu.addAction(tr("Load into Fields"));
        if (m_devices.at(device).GetCommands().at(command).type == EI2cCommandType::Read)
            watch = menu.addAction(tr("Watch..."));
        menu.addSeparator();
        rename = menu.addAction(tr("Rename..."));
        moveUp = menu.addAction(tr("Move Up"));
        moveUp->setEnabled(command > 0);
        moveDown = menu.addAction(tr("Move Down"));
        moveDown->setEnabled(command < m_devices.at(device).GetCommands().size() - 1);
        removeCommand = menu.addAction(tr("Delete Command"));
        menu.addSeparator();
    } else if (device >= 0) {
        properties = menu.addAction(tr("Properties..."));
        removeDevice = menu.addAction(tr("Delete Device..."));
        menu.addSeparator();
    } else if (!path.isEmpty()) {
        removeFile = menu.addAction(tr("Delete File..."));
        menu.addSeparator();
    }
    QAction* newDevice = menu.addAction(tr("New Device..."));
    QAction* openFolder = menu.addAction(tr("Open Projects Folder"));

    QAction* chosen = menu.exec(globalPos);
    if (!chosen)
        return;
    if (chosen == newDevice) {
        createDevice();
        return;
    }
    if (chosen == openFolder) {
        onOpenFolder();
        return;
    }
    if (chosen == removeFile) {
        deleteErrorFile(path);
        return;
    }
    const int found = findDevice(devicePath, command, label);
    if (found < 0)
        return;
    const CI2cDeviceFile& file = m_devices.at(found);
    if (chosen == execute)
        emit commandExecuteRequested(file.GetAddress(), file.GetCommands().at(command));
    else if (chosen == load)
        emit commandSelected(file.GetAddress(), file.GetCommands().at(command));
    else if (chosen == watch)
        emit commandWatchRequested(file.GetAddress(), file.GetCommands().at(command),
                                   file.GetFilePath());
    else if (chosen == rename)
        renameCommand(found, command);
    else if (chosen == moveUp)
        moveCommand(found, command, -1);
    else if (chosen == moveDown)
        moveCommand(found, command, +1);
    else if (chosen == removeCommand)
        deleteCommand(found, command);
    else if (chosen == properties)
        showDeviceProperties(found);
    else if (chosen == removeDevice)
        deleteDevice(found);
}
