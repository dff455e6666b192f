#include "projects/projectspanel.h"

#include "projects/projectdevicedialog.h"
#include "projects/trash.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFont>
#include <QHeaderView>
#include <QHelpEvent>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
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

QString suggestedLabel(const SI2cCommand& command)
{
    if (command.type == EI2cCommandType::Read)
        return CProjectsPanel::tr("Read %n byte(s)", nullptr, command.count);
    if (command.data.empty())
        return CProjectsPanel::tr("Write address only");
    return CProjectsPanel::tr("Write %1").arg(CI2cDeviceFile::BytesToHex(command.data));
}

QString nameFilter()
{
    return QStringLiteral("*.") + CI2cDeviceFile::FILE_SUFFIX;
}

// Message boxes show names, labels and error texts from the files as text.
int showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

bool askYesNo(QWidget* parent, const QString& title, const QString& text)
{
    return showMessage(parent, QMessageBox::Question, title, text,
                       QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

// What an outside change did to the file or command that an action was
// meant for.
QString removedText(const QString& path)
{
    return CProjectsPanel::tr("\"%1\" is no longer in the projects folder.")
        .arg(QFileInfo(path).fileName());
}

QString unreadableText(const QString& path, const QString& error)
{
    return CProjectsPanel::tr("\"%1\" was changed on disk and can no longer be read:\n%2")
        .arg(QFileInfo(path).fileName(), error);
}

QString commandChangedText(const QString& label, const QString& deviceName)
{
    return CProjectsPanel::tr("The command \"%1\" of \"%2\" was changed on disk.")
        .arg(label, deviceName);
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
            for (QStandardItem* item : row) {
                item->setForeground(errorBrush);
                item->setToolTip(error.message);
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

// ---- Editing ------------------------------------------------------------

void CProjectsPanel::onContextMenu(const QPoint& pos)
{
    QTreeView* tree = m_widgets.tree;
    const QModelIndex index = tree->indexAt(pos);
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

    QAction* chosen = menu.exec(tree->viewport()->mapToGlobal(pos));
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

int CProjectsPanel::findDevice(const QString& filePath, int commandIndex, const QString& label)
{
    for (int i = 0; i < m_devices.size(); ++i) {
        const CI2cDeviceFile& device = m_devices.at(i);
        if (device.GetFilePath() != filePath)
            continue;
        if (commandIndex < 0 || (commandIndex < device.GetCommands().size() &&
                                 device.GetCommands().at(commandIndex).label == label))
            return i;
        showMessage(m_parentWidget, QMessageBox::Warning, tr("Projects"),
                    commandChangedText(label, device.GetName()));
        return -1;
    }
    const auto error = std::find_if(m_errors.cbegin(), m_errors.cend(),
                                    [&](const SFileError& e) { return e.path == filePath; });
    showMessage(m_parentWidget, QMessageBox::Warning, tr("Projects"),
                error != m_errors.cend() ? unreadableText(filePath, error->message)
                                         : removedText(filePath));
    return -1;
}

std::optional<CI2cDeviceFile> CProjectsPanel::deviceOnDisk(const QString& filePath,
                                                           int commandIndex, const QString& label,
                                                           const QString& title)
{
    CI2cDeviceFile device;
    QString change;
    if (!device.Load(filePath)) {
        change = QFileInfo::exists(filePath) ? unreadableText(filePath, device.GetLastError())
                                             : removedText(filePath);
    } else if (commandIndex >= 0 && (commandIndex >= device.GetCommands().size() ||
                                     device.GetCommands().at(commandIndex).label != label)) {
        change = commandChangedText(label, device.GetName());
    }
    if (change.isEmpty())
        return device;
    showMessage(m_parentWidget, QMessageBox::Warning, title,
                change + QStringLiteral("\n\n") + tr("Nothing was saved."));
    return std::nullopt;
}

void CProjectsPanel::onNewDevice()
{
    createDevice();
}

int CProjectsPanel::createDevice()
{
    CI2cDeviceFile file;
    if (!editDevice(file, true))
        return -1;
    const QString path = uniqueFilePath(file.GetName());
    if (!file.SaveAs(path)) {
        showMessage(m_parentWidget, QMessageBox::Critical, tr("New Device"),
                    tr("Could not create the file:\n%1\n\n%2")
                        .arg(QDir::toNativeSeparators(path), file.GetLastError()));
        return -1;
    }
    m_expanded.insert(path);
    saveExpanded();
    reload();
    selectItem(path, -1);
    for (int i = 0; i < m_devices.size(); ++i) {
        if (m_devices.at(i).GetFilePath() == path)
            return i;
    }
    return -1;
}

bool CProjectsPanel::editDevice(CI2cDeviceFile& file, bool isNew)
{
    const QString exceptPath = file.GetFilePath();
    ProjectDeviceDialog dialog(
        isNew ? tr("New Device") : tr("Device Properties"), m_parseAddress,
        [this, exceptPath](const QString& name) { return isDeviceNameTaken(name, exceptPath); },
        m_parentWidget);

    QString addressText;
    if (!isNew) {
        addressText = m_formatAddress(file.GetAddress());
    } else if (const std::optional<uint8_t> current = m_currentAddress()) {
        addressText = m_formatAddress(*current);
    }
    dialog.setValues(file.GetName(), addressText, file.GetDescription());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    file.SetName(dialog.name());
    file.SetAddress(dialog.address());
    file.SetDescription(dialog.description());
    return true;
}

bool CProjectsPanel::isDeviceNameTaken(const QString& name, const QString& exceptPath) const
{
    const QString trimmed = name.trimmed();
    return std::any_of(m_devices.begin(), m_devices.end(), [&](const CI2cDeviceFile& device) {
        return device.GetFilePath() != exceptPath &&
               QString::compare(device.GetName().trimmed(), trimmed, Qt::CaseInsensitive) == 0;
    });
}

QString CProjectsPanel::uniqueFilePath(const QString& name) const
{
    static const QRegularExpression invalid(QStringLiteral("[^a-z0-9_-]+"));

    QString base = name.toLower();
    base.replace(invalid, QStringLiteral("_"));
    while (base.startsWith(QLatin1Char('_')))
        base.remove(0, 1);
    while (base.endsWith(QLatin1Char('_')))
        base.chop(1);
    if (base.isEmpty())
        base = QStringLiteral("device");

    // Absolute and clean as the folder listing gives it, so the new file is
    // found again after the reload.
    const QDir folder(m_folder);
    QString candidate =
        folder.absoluteFilePath(base + QLatin1Char('.') + CI2cDeviceFile::FILE_SUFFIX);
    for (int n = 2; QFileInfo::exists(candidate); ++n) {
        candidate = folder.absoluteFilePath(
            QStringLiteral("%1_%2.%3").arg(base).arg(n).arg(CI2cDeviceFile::FILE_SUFFIX));
    }
    return QDir::cleanPath(candidate);
}

bool CProjectsPanel::saveDevice(const CI2cDeviceFile& file)
{
    if (file.Save())
        return true;
    showMessage(m_parentWidget, QMessageBox::Critical, tr("Projects"),
                tr("Could not save the file:\n%1\n\n%2")
                    .arg(QDir::toNativeSeparators(file.GetFilePath()), file.GetLastError()));
    return false;
}

std::optional<QString> CProjectsPanel::promptLabel(const QString& title, const QString& label,
                                                   const QString& text, const CI2cDeviceFile& file,
                                                   int exceptIndex)
{
    QString initial = text;
    for (;;) {
        QInputDialog dialog(m_parentWidget);
        dialog.setWindowTitle(title);
        dialog.setInputMode(QInputDialog::TextInput);
        dialog.setTextEchoMode(QLineEdit::Normal);
        dialog.setLabelText(label);
        dialog.setTextValue(initial);
        // The prompt names the device, whose name comes from its file.
        for (QLabel* prompt : dialog.findChildren<QLabel*>())
            prompt->setTextFormat(Qt::PlainText);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        const QString entered = dialog.textValue().trimmed();
        if (entered.isEmpty())
            return std::nullopt;
        if (!file.HasCommandLabel(entered, exceptIndex))
            return entered;
        showMessage(m_parentWidget, QMessageBox::Warning, title,
                    tr("\"%1\" already exists in \"%2\".\nPlease choose a different label.")
                        .arg(entered, file.GetName()));
        initial = entered;
    }
}

void CProjectsPanel::AddCommand(SI2cCommand command)
{
    int device = deviceIndexAt(m_widgets.tree->currentIndex());
    if (device < 0) {
        if (!askYesNo(m_parentWidget, tr("Save Command"),
                      tr("No device selected in the projects list.\nCreate a new device?")))
            return;
        device = createDevice();
        if (device < 0)
            return;
    }

    const CI2cDeviceFile copy = m_devices.at(device);
    const std::optional<QString> label =
        promptLabel(tr("Save Command"), tr("Label for the command in \"%1\":").arg(copy.GetName()),
                    suggestedLabel(command), copy, -1);
    if (!label)
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), -1, QString(), tr("Save Command"));
    if (!current)
        return;
    command.label = *label;
    current->AddCommand(command);
    if (!saveDevice(*current))
        return;
    m_expanded.insert(current->GetFilePath());
    saveExpanded();
    reload();
    selectItem(current->GetFilePath(), current->GetCommands().size() - 1);
}

void CProjectsPanel::showDeviceProperties(int deviceIndex)
{
    CI2cDeviceFile copy = m_devices.at(deviceIndex);
    if (!editDevice(copy, false))
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), -1, QString(), tr("Device Properties"));
    if (!current)
        return;
    current->SetName(copy.GetName());
    current->SetAddress(copy.GetAddress());
    current->SetDescription(copy.GetDescription());
    if (!saveDevice(*current))
        return;
    reload();
    selectItem(current->GetFilePath(), -1);
}

void CProjectsPanel::deleteDevice(int deviceIndex)
{
    // Taken before the question: a reload during it may reorder the list.
    const CI2cDeviceFile device = m_devices.at(deviceIndex);
    const QString path = device.GetFilePath();
    if (!askYesNo(
            m_parentWidget, tr("Delete Device"),
            tr("Move \"%1\" (%2) to the trash?").arg(device.GetName(), QFileInfo(path).fileName())))
        return;
    if (!trashOrRemove(path)) {
        showMessage(m_parentWidget, QMessageBox::Critical, tr("Delete Device"),
                    tr("Could not delete the file:\n%1").arg(QDir::toNativeSeparators(path)));
        return;
    }
    m_expanded.remove(path);
    saveExpanded();
    reload();
}

void CProjectsPanel::deleteErrorFile(const QString& path)
{
    if (!askYesNo(m_parentWidget, tr("Delete File"),
                  tr("Move \"%1\" to the trash?").arg(QFileInfo(path).fileName())))
        return;
    // A failure shows itself: the reload lists the file again.
    trashOrRemove(path);
    reload();
}

void CProjectsPanel::renameCommand(int deviceIndex, int commandIndex)
{
    const CI2cDeviceFile copy = m_devices.at(deviceIndex);
    const QString oldLabel = copy.GetCommands().at(commandIndex).label;
    const std::optional<QString> label =
        promptLabel(tr("Rename Command"), tr("Label:"), oldLabel, copy, commandIndex);
    if (!label)
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), commandIndex, oldLabel, tr("Rename Command"));
    if (!current)
        return;
    current->RenameCommand(commandIndex, *label);
    if (!saveDevice(*current))
        return;
    reload();
    selectItem(current->GetFilePath(), commandIndex);
}

void CProjectsPanel::deleteCommand(int deviceIndex, int commandIndex)
{
    const CI2cDeviceFile copy = m_devices.at(deviceIndex);
    const QString label = copy.GetCommands().at(commandIndex).label;
    if (!askYesNo(m_parentWidget, tr("Delete Command"),
                  tr("Delete \"%1\" from \"%2\"?").arg(label, copy.GetName())))
        return;
    std::optional<CI2cDeviceFile> current =
        deviceOnDisk(copy.GetFilePath(), commandIndex, label, tr("Delete Command"));
    if (!current)
        return;
    current->RemoveCommand(commandIndex);
    if (!saveDevice(*current))
        return;
    reload();
    selectItem(current->GetFilePath(),
               std::min(commandIndex, static_cast<int>(current->GetCommands().size()) - 1));
}

void CProjectsPanel::moveCommand(int deviceIndex, int commandIndex, int delta)
{
    CI2cDeviceFile copy = m_devices.at(deviceIndex);
    if (!copy.MoveCommand(commandIndex, delta) || !saveDevice(copy))
        return;
    reload();
    selectItem(copy.GetFilePath(), commandIndex + delta);
}
