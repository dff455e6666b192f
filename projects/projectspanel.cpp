#include "projects/projectspanel.h"

#include "projects/devicefolder.h"
#include "projects/projectsfolder.h"
#include "projects/projectsmodel.h"

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
#include <QMessageBox>
#include <QRegularExpression>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolButton>
#include <QToolTip>
#include <QTreeView>
#include <QUrl>

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <utility>

namespace {

const QString SETTINGS_FOLDER = QStringLiteral("projects/folder");
const QString SETTINGS_EXPANDED = QStringLiteral("projects/expanded");
const QString SETTINGS_EXAMPLES = QStringLiteral("projects/examplesInstalled");
// A light sensor driven by commands, and a temperature sensor that names its
// register map.
const QString EXAMPLE_RESOURCES[] = {QStringLiteral(":/examples/bh1750.i2cdev"),
                                     QStringLiteral(":/examples/lm75.i2cdev")};

constexpr int ROLE_DEVICE_INDEX = CProjectsModel::ROLE_DEVICE_INDEX;
constexpr int ROLE_COMMAND_INDEX = CProjectsModel::ROLE_COMMAND_INDEX;
constexpr int ROLE_FILE_PATH = CProjectsModel::ROLE_FILE_PATH;

constexpr int RELOAD_DELAY_MS = 300;
constexpr qint64 TRIM_AFTER_BYTES = 1024 * 1024;
constexpr qsizetype MAX_ROW_UPDATES = 16;
// Read and write for owner and user, read for group and others: a copy out
// of the resources would otherwise be read-only.
constexpr QFileDevice::Permissions EXAMPLE_PERMISSIONS =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
    QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;

// The filter over the tree. Without a filter text it answers whether a row
// has children from the source: the proxy would otherwise map every command
// of every device to draw the devices' expand marks, which costs a large
// device's whole command list on each rebuild.
class CProjectsProxy : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    bool hasChildren(const QModelIndex& parent) const override
    {
        if (parent.isValid() && filterRegularExpression().pattern().isEmpty())
            return sourceModel()->hasChildren(mapToSource(parent));
        return QSortFilterProxyModel::hasChildren(parent);
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
    m_model = new CProjectsModel(m_devices, m_errors, m_formatAddress, this);

    m_proxy = new CProjectsProxy(this);
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
    // Wrapped to the dock's width: a long word must not widen the window.
    QSizePolicy descriptionPolicy = m_widgets.descriptionLabel->sizePolicy();
    descriptionPolicy.setHorizontalPolicy(QSizePolicy::Ignored);
    m_widgets.descriptionLabel->setSizePolicy(descriptionPolicy);
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

CProjectsPanel::~CProjectsPanel()
{
    // The model shows lists that are members of the panel: it goes before
    // they do, with the proxy that asks it.
    delete m_proxy;
    delete m_model;
}

QString CProjectsPanel::DefaultFolder()
{
    return DefaultProjectsFolder();
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
    // Only the address column changes; rows, expansion and the current row
    // stay as they are.
    m_model->addressesChanged();
}

void CProjectsPanel::prepareFolder()
{
    QDir().mkpath(m_folder);
    QSettings settings;
    if (settings.value(SETTINGS_EXAMPLES, false).toBool())
        return;
    const QDir folder(m_folder);
    if (folder.entryList({nameFilter()}, QDir::Files).isEmpty()) {
        for (const QString& example : EXAMPLE_RESOURCES) {
            const QString target = folder.filePath(QFileInfo(example).fileName());
            if (QFile::copy(example, target))
                QFile::setPermissions(target, EXAMPLE_PERMISSIONS);
        }
    }
    // Offered once per settings store, also when the copy failed or the
    // folder already held devices.
    settings.setValue(SETTINGS_EXAMPLES, true);
}

void CProjectsPanel::onOpenFolder()
{
    QString reason;
    if (!QDir().mkpath(m_folder))
        reason = tr("The folder does not exist and cannot be created.");
    else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(m_folder)))
        reason = tr("The desktop has no program set up to open folders.");
    if (reason.isEmpty())
        return;
    QMessageBox box(QMessageBox::Warning, tr("Projects"),
                    tr("Could not open the projects folder:\n%1\n\n%2")
                        .arg(QDir::toNativeSeparators(m_folder), reason),
                    QMessageBox::Ok, m_parentWidget);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void CProjectsPanel::reload()
{
    m_reloadTimer.stop();
    m_folderIdentity = folderIdentity(m_folder);
    const QList<SFolderEntry> entries = updateWatcher();

    // What the last reload read, found by path: a file whose stamp did not
    // change is not read again.
    QHash<QString, qsizetype> previousDevices;
    previousDevices.reserve(m_devices.size());
    for (qsizetype i = 0; i < m_devices.size(); ++i)
        previousDevices.insert(m_devices.at(i).GetFilePath(), i);
    QHash<QString, qsizetype> previousErrors;
    for (qsizetype i = 0; i < m_errors.size(); ++i)
        previousErrors.insert(m_errors.at(i).path, i);

    QList<CI2cDeviceFile> devices;
    QList<SFileError> errors;
    devices.reserve(entries.size());
    [[maybe_unused]] qint64 bytesRead = 0;
    for (const SFolderEntry& entry : entries) {
        if (!entry.problem.isEmpty()) {
            errors.append({entry.path, entry.problem, entry.nativePath, std::nullopt});
            continue;
        }
        const std::optional<SFileStamp> stamp = SFileStamp::Of(entry.path);
        if (stamp) {
            const qsizetype device = previousDevices.value(entry.path, -1);
            if (device >= 0 && m_devices.at(device).GetFileStamp() == stamp) {
                devices.append(m_devices.at(device));
                continue;
            }
            const qsizetype error = previousErrors.value(entry.path, -1);
            if (error >= 0 && m_errors.at(error).stamp == stamp) {
                errors.append(m_errors.at(error));
                continue;
            }
        }
        bytesRead += stamp ? stamp->size : 0;
        CI2cDeviceFile device;
        if (device.Load(entry.path))
            devices.append(std::move(device));
        else
            errors.append(
                {entry.path, device.GetLastError(), entry.nativePath, device.GetFileStamp()});
    }
#ifdef __GLIBC__
    // Reading a large file leaves the parser's blocks free but mapped; the
    // system gets them back rather than keeping the panel at its peak.
    if (bytesRead >= TRIM_AFTER_BYTES)
        malloc_trim(0);
#endif
    std::stable_sort(devices.begin(), devices.end(),
                     [](const CI2cDeviceFile& a, const CI2cDeviceFile& b) {
                         return QString::compare(a.GetName(), b.GetName(), Qt::CaseInsensitive) < 0;
                     });

    showLists(std::move(devices), std::move(errors));
}

void CProjectsPanel::showLists(QList<CI2cDeviceFile> devices, QList<SFileError> errors)
{
    // A change of a few files that keeps every row in its place is reported
    // row by row: a reset would make the view map and lay out every expanded
    // device again, a large one included, for the sake of one small file.
    // Each reported row costs the view a pass over its column widths, so a
    // change of many files is shown by a rebuild.
    QList<int> changedDevices;
    QList<int> changedErrors;
    bool keepsRows = m_widgets.filterEdit->text().isEmpty() && devices.size() == m_devices.size() &&
                     errors.size() == m_errors.size();
    for (int i = 0; keepsRows && i < devices.size(); ++i) {
        const CI2cDeviceFile& now = devices.at(i);
        keepsRows = now.GetFilePath() == m_devices.at(i).GetFilePath();
        if (!now.GetFileStamp() || now.GetFileStamp() != m_devices.at(i).GetFileStamp())
            changedDevices.append(i);
    }
    for (int i = 0; keepsRows && i < errors.size(); ++i) {
        const SFileError& now = errors.at(i);
        const SFileError& before = m_errors.at(i);
        keepsRows = now.path == before.path;
        if (!now.stamp || now.stamp != before.stamp || now.message != before.message)
            changedErrors.append(i);
    }
    if (!keepsRows || changedDevices.size() + changedErrors.size() > MAX_ROW_UPDATES) {
        rebuildModel([&] {
            m_devices = std::move(devices);
            m_errors = std::move(errors);
        });
        return;
    }
    const auto [currentPath, currentCommand] = currentItem();
    m_devices = std::move(devices);
    m_errors = std::move(errors);
    for (const int device : std::as_const(changedDevices))
        m_model->commandsChanged(device);
    for (const int error : std::as_const(changedErrors))
        m_model->errorChanged(error);
    restoreCurrent(currentPath, currentCommand);
}

QList<SFolderEntry> CProjectsPanel::updateWatcher()
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
    const QList<SFolderEntry> entries = listDeviceFiles(m_folder);
    QStringList paths;
    paths.reserve(entries.size());
    for (const SFolderEntry& entry : entries) {
        if (entry.problem.isEmpty())
            paths.append(entry.path);
    }
    if (!paths.isEmpty())
        m_watcher->addPaths(paths);
    return entries;
}

bool CProjectsPanel::folderReplaced() const
{
    return folderIdentity(m_folder) != m_folderIdentity;
}

std::pair<QString, int> CProjectsPanel::currentItem() const
{
    const QModelIndex current = m_proxy->mapToSource(m_widgets.tree->currentIndex());
    if (!current.isValid())
        return {QString(), -1};
    const QModelIndex row = current.siblingAtColumn(0);
    if (row.parent().isValid())
        return {row.parent().data(ROLE_FILE_PATH).toString(), row.data(ROLE_COMMAND_INDEX).toInt()};
    return {row.data(ROLE_FILE_PATH).toString(), -1};
}

void CProjectsPanel::restoreCurrent(const QString& path, int command)
{
    if (!path.isEmpty())
        selectItem(path, command);
    else
        m_widgets.descriptionLabel->clear();
}

void CProjectsPanel::rebuildModel(const std::function<void()>& change)
{
    // The current item is followed by its file, not by its position in the
    // device list: after a change of the list the same file stays current.
    const auto [currentPath, currentCommand] = currentItem();

    m_model->beginReset();
    if (change)
        change();
    m_model->endReset();

    if (!m_widgets.filterEdit->text().isEmpty())
        m_widgets.tree->expandAll();
    else
        restoreExpanded();
    restoreCurrent(currentPath, currentCommand);
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
    const CI2cDeviceFile file = m_devices.at(device);
    const int command = commandIndexAt(proxyIndex);
    if (command < 0)
        emit deviceSelected(file.GetAddress());
    else
        emit commandSelected(file.GetAddress(), file.GetCommands().at(command));
    if (!file.GetMap().isEmpty())
        emit deviceMapSelected(file, false);
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
    int row = -1;
    for (int i = 0; i < m_devices.size() && row < 0; ++i) {
        if (m_devices.at(i).GetFilePath() == filePath)
            row = i;
    }
    for (int i = 0; i < m_errors.size() && row < 0; ++i) {
        if (m_errors.at(i).path == filePath)
            row = static_cast<int>(m_devices.size()) + i;
    }
    if (row < 0) {
        m_widgets.descriptionLabel->clear();
        return;
    }
    const bool command = row < m_devices.size() && commandIndex >= 0 &&
                         commandIndex < m_devices.at(row).GetCommands().size();
    const QModelIndex proxyIndex =
        m_proxy->mapFromSource(m_model->indexOf(row, command ? commandIndex : -1));
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
    const STarget target = device >= 0 ? targetOf(device, command) : STarget();

    QMenu menu(tree);
    QAction* execute = nullptr;
    QAction* load = nullptr;
    QAction* watch = nullptr;
    QAction* rename = nullptr;
    QAction* moveUp = nullptr;
    QAction* moveDown = nullptr;
    QAction* removeCommand = nullptr;
    QAction* registers = nullptr;
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
        if (!m_devices.at(device).GetMap().isEmpty()) {
            registers = menu.addAction(tr("Registers"));
            menu.addSeparator();
        }
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
    const int found = findDevice(target);
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
    else if (chosen == registers && !file.GetMap().isEmpty())
        emit deviceMapSelected(file, true);
    else if (chosen == properties)
        showDeviceProperties(found);
    else if (chosen == removeDevice)
        deleteDevice(found);
}
