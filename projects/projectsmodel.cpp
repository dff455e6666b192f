#include "projects/projectsmodel.h"

#include <QBrush>
#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QHash>

#include <algorithm>

namespace {

const QColor COLOR_ERROR(0xF4, 0x43, 0x36);
constexpr int COLUMN_COUNT = 3;
// Internal id of top-level rows; a command row carries its device's index + 1.
constexpr quintptr TOP_LEVEL = 0;

} // namespace

CProjectsModel::CProjectsModel(const QList<CI2cDeviceFile>& devices,
                               const QList<CProjectsPanel::SFileError>& errors,
                               CProjectsPanel::FormatAddress formatAddress, QObject* parent)
    : QAbstractItemModel(parent), m_devices(devices), m_errors(errors),
      m_formatAddress(std::move(formatAddress)),
      m_writeTypes{
          CProjectsPanel::tr("Write"),
          CProjectsPanel::tr("Write (%1)").arg(CProjectsPanel::tr("Start")),
          CProjectsPanel::tr("Write (%1)").arg(CProjectsPanel::tr("Stop")),
          CProjectsPanel::tr("Write (%1)").arg(CProjectsPanel::tr("None")),
      },
      m_readType(CProjectsPanel::tr("Read")), m_addressOnly(CProjectsPanel::tr("(address only)")),
      m_errorText(CProjectsPanel::tr("Error")), m_headers{CProjectsPanel::tr("Name"),
                                                          CProjectsPanel::tr("Type"),
                                                          CProjectsPanel::tr("Data")}
{
    endReset();
}

CProjectsModel::~CProjectsModel() = default;

void CProjectsModel::beginReset()
{
    beginResetModel();
}

void CProjectsModel::endReset()
{
    m_commandCounts.resize(static_cast<size_t>(m_devices.size()));
    m_addressTexts.resize(static_cast<size_t>(m_devices.size()));
    for (qsizetype i = 0; i < m_devices.size(); ++i) {
        const CI2cDeviceFile& device = m_devices.at(i);
        m_commandCounts[static_cast<size_t>(i)] = static_cast<int>(device.GetCommands().size());
        m_addressTexts[static_cast<size_t>(i)] = m_formatAddress(device.GetAddress());
    }
    findNameClashes(false);
    endResetModel();
}

void CProjectsModel::findNameClashes(bool report)
{
    // As the panel compares names: trimmed, letter case ignored.
    QHash<QString, int> counts;
    for (const CI2cDeviceFile& device : m_devices)
        ++counts[device.GetName().trimmed().toCaseFolded()];
    std::vector<bool> clashes(m_devices.size());
    for (qsizetype i = 0; i < m_devices.size(); ++i)
        clashes[static_cast<size_t>(i)] =
            counts.value(m_devices.at(i).GetName().trimmed().toCaseFolded()) > 1;
    if (report) {
        for (size_t i = 0; i < clashes.size() && i < m_nameClashes.size(); ++i) {
            if (clashes[i] != m_nameClashes[i])
                emit dataChanged(index(static_cast<int>(i), 0), index(static_cast<int>(i), 0));
        }
    }
    m_nameClashes = std::move(clashes);
}

void CProjectsModel::commandsChanged(int device)
{
    const auto slot = static_cast<size_t>(device);
    const int before = m_commandCounts.at(slot);
    const int after = static_cast<int>(m_devices.at(device).GetCommands().size());
    m_addressTexts[slot] = m_formatAddress(m_devices.at(device).GetAddress());
    const QModelIndex parent = index(device, 0);
    if (after < before) {
        beginRemoveRows(parent, after, before - 1);
        m_commandCounts[slot] = after;
        endRemoveRows();
    } else if (after > before) {
        beginInsertRows(parent, before, after - 1);
        m_commandCounts[slot] = after;
        endInsertRows();
    }
    emit dataChanged(parent, index(device, COLUMN_COUNT - 1));
    // Its name may now clash with another's, or no longer.
    findNameClashes(true);
    const int kept = std::min(before, after);
    if (kept > 0)
        emit dataChanged(index(0, 0, parent), index(kept - 1, COLUMN_COUNT - 1, parent));
}

void CProjectsModel::errorChanged(int error)
{
    const int row = static_cast<int>(m_commandCounts.size()) + error;
    emit dataChanged(index(row, 0), index(row, COLUMN_COUNT - 1));
}

void CProjectsModel::addressesChanged()
{
    for (size_t i = 0; i < m_addressTexts.size(); ++i)
        m_addressTexts[i] = m_formatAddress(m_devices.at(static_cast<qsizetype>(i)).GetAddress());
    if (!m_commandCounts.empty())
        emit dataChanged(index(0, COLUMN_COUNT - 1),
                         index(static_cast<int>(m_commandCounts.size()) - 1, COLUMN_COUNT - 1));
}

QModelIndex CProjectsModel::indexOf(int row, int command) const
{
    const QModelIndex top = index(row, 0);
    return command >= 0 ? index(command, 0, top) : top;
}

QModelIndex CProjectsModel::index(int row, int column, const QModelIndex& parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    if (!parent.isValid())
        return createIndex(row, column, TOP_LEVEL);
    return createIndex(row, column, static_cast<quintptr>(parent.row()) + 1);
}

QModelIndex CProjectsModel::parent(const QModelIndex& index) const
{
    if (!index.isValid() || index.internalId() == TOP_LEVEL)
        return {};
    return createIndex(static_cast<int>(index.internalId() - 1), 0, TOP_LEVEL);
}

int CProjectsModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return static_cast<int>(m_commandCounts.size() + static_cast<size_t>(m_errors.size()));
    if (parent.internalId() != TOP_LEVEL || parent.column() != 0 ||
        static_cast<size_t>(parent.row()) >= m_commandCounts.size())
        return 0;
    return m_commandCounts[static_cast<size_t>(parent.row())];
}

int CProjectsModel::columnCount(const QModelIndex&) const
{
    return COLUMN_COUNT;
}

bool CProjectsModel::hasChildren(const QModelIndex& parent) const
{
    return rowCount(parent) > 0;
}

QVariant CProjectsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    if (index.internalId() != TOP_LEVEL)
        return commandData(static_cast<int>(index.internalId() - 1), index.row(), index.column(),
                           role);
    const int devices = static_cast<int>(m_commandCounts.size());
    if (index.row() < devices)
        return deviceData(index.row(), index.column(), role);
    return errorData(index.row() - devices, index.column(), role);
}

QVariant CProjectsModel::deviceData(int device, int column, int role) const
{
    const CI2cDeviceFile& file = m_devices.at(device);
    switch (role) {
    case Qt::DisplayRole:
        // Two devices of one name are told apart by their files.
        if (column == 0 && m_nameClashes.at(static_cast<size_t>(device)))
            return CProjectsPanel::tr("%1 (%2)").arg(file.GetName(),
                                                     QFileInfo(file.GetFilePath()).fileName());
        [[fallthrough]];
    case Qt::EditRole:
        return column == 0   ? file.GetName()
               : column == 2 ? m_addressTexts.at(static_cast<size_t>(device))
                             : QString();
    case Qt::AccessibleDescriptionRole:
        return column == 0 ? QVariant(CProjectsPanel::tr("File %1").arg(
                                 QFileInfo(file.GetFilePath()).fileName()))
                           : QVariant();
    case ROLE_DEVICE_INDEX:
        return device;
    case ROLE_COMMAND_INDEX:
        return -1;
    case ROLE_FILE_PATH:
        return column == 0 ? QVariant(file.GetFilePath()) : QVariant();
    case Qt::ToolTipRole:
        return column == 0 ? QVariant(QDir::toNativeSeparators(file.GetFilePath())) : QVariant();
    case Qt::FontRole:
        if (column == 0) {
            QFont bold;
            bold.setWeight(QFont::Bold);
            return bold;
        }
        return {};
    default:
        return {};
    }
}

QVariant CProjectsModel::commandData(int device, int command, int column, int role) const
{
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole: {
        const SI2cCommand& c = m_devices.at(device).GetCommands().at(command);
        if (column == 0)
            return c.label;
        if (column == 1) {
            if (c.type == EI2cCommandType::Read)
                return m_readType;
            const auto mode = static_cast<size_t>(c.mode);
            return mode < m_writeTypes.size() ? m_writeTypes.at(mode) : m_writeTypes.front();
        }
        if (c.type == EI2cCommandType::Read)
            return CProjectsPanel::tr("%n byte(s)", nullptr, c.count);
        return c.data.empty() ? m_addressOnly : CI2cDeviceFile::BytesToHex(c.data);
    }
    case ROLE_DEVICE_INDEX:
        return device;
    case ROLE_COMMAND_INDEX:
        return command;
    default:
        return {};
    }
}

QVariant CProjectsModel::errorData(int error, int column, int role) const
{
    const CProjectsPanel::SFileError& file = m_errors.at(error);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return column == 0   ? QFileInfo(file.path).fileName()
               : column == 2 ? m_errorText
                             : QString();
    case ROLE_DEVICE_INDEX:
    case ROLE_COMMAND_INDEX:
        return -1;
    case ROLE_FILE_PATH:
        return column == 0 ? QVariant(file.path) : QVariant();
    case Qt::ToolTipRole:
        return file.message;
    case Qt::ForegroundRole:
        return QBrush(COLOR_ERROR, Qt::SolidPattern);
    case Qt::AccessibleDescriptionRole:
        // Said in words as well, for those who do not see the colour.
        return CProjectsPanel::tr("Error: %1").arg(file.message);
    default:
        return {};
    }
}

QVariant CProjectsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::EditRole) &&
        section >= 0 && section < COLUMN_COUNT)
        return m_headers.at(static_cast<size_t>(section));
    return QAbstractItemModel::headerData(section, orientation, role);
}

Qt::ItemFlags CProjectsModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // The tree shows what is on disk; nothing is edited in place.
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (index.internalId() != TOP_LEVEL)
        flags |= Qt::ItemNeverHasChildren;
    return flags;
}
