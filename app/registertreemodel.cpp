#include "app/registertreemodel.h"

#include "transactions/registercodec.h"

#include <QColor>
#include <QFont>
#include <QTime>

#include <algorithm>

namespace {

// A register row's internal id; a field row's is its register's index + 1.
constexpr quintptr REGISTER_ROW = 0;

const QColor ERROR_COLOR(0xF4, 0x43, 0x36);
const QColor QUIET_COLOR(0x75, 0x75, 0x75);
// Changed values: dark text on a light amber, whatever the theme.
const QColor CHANGED_BACKGROUND(0xFF, 0xEC, 0xB3);
const QColor CHANGED_TEXT(0x21, 0x21, 0x21);

QString hexDigits(uint64_t value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

// The field's own bits: a 0 or 1 for one bit, hex for more.
QString bitsText(const SMapField& field, uint32_t bits)
{
    if (field.Width() == 1)
        return QString::number(bits);
    return QStringLiteral("0x") + hexDigits(bits, (field.Width() + 3) / 4);
}

} // namespace

RegisterTreeModel::RegisterTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

RegisterTreeModel::~RegisterTreeModel() = default;

void RegisterTreeModel::setMap(std::shared_ptr<const SRegisterMap> map)
{
    beginResetModel();
    m_map = std::move(map);
    m_states.assign(m_map ? m_map->registers.size() : 0, SState());
    endResetModel();
}

void RegisterTreeModel::clearValues()
{
    if (m_states.empty())
        return;
    m_states.assign(m_states.size(), SState());
    announce(0, static_cast<int>(m_states.size()) - 1);
}

const SMapRegister& RegisterTreeModel::registerAt(int reg) const
{
    return m_map->registers[static_cast<size_t>(reg)];
}

void RegisterTreeModel::setValue(int reg, uint32_t value)
{
    SState& state = m_states[static_cast<size_t>(reg)];
    const bool compared = state.value && !registerAt(reg).isVolatile;
    state.changed = compared ? (*state.value ^ value) : 0;
    state.previous = state.changed ? state.value : std::nullopt;
    state.value = value;
    state.error.clear();
    state.written.reset();
    state.mismatch = 0;
    state.generation = m_generation;
}

void RegisterTreeModel::applyRead(const SMapRead& read, bool all)
{
    if (!m_map || read.registers.empty())
        return;
    const QString now = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    const auto clears = std::find_if(
        read.registers.begin(), read.registers.end(), [this](const SMapRegisterRead& entry) {
            return entry.reg >= 0 && static_cast<size_t>(entry.reg) < m_states.size() &&
                   registerAt(entry.reg).readClears;
        });
    if (all) {
        ++m_generation;
        m_staleWhy = tr("Not read by the last Read All, at %1").arg(now);
    } else if (clears != read.registers.end()) {
        ++m_generation;
        m_staleWhy = tr("Not read since %1 was read at %2, a read that clears something")
                         .arg(registerAt(clears->reg).name, now);
    }
    int first = static_cast<int>(m_states.size());
    int last = -1;
    for (const SMapRegisterRead& entry : read.registers) {
        if (entry.reg < 0 || static_cast<size_t>(entry.reg) >= m_states.size())
            continue;
        m_states[static_cast<size_t>(entry.reg)].generation = m_generation;
        if (entry.value) {
            setValue(entry.reg, *entry.value);
        } else {
            SState& state = m_states[static_cast<size_t>(entry.reg)];
            state.error = entry.error.isEmpty() ? tr("no value") : entry.error;
            state.changed = 0;
            state.mismatch = 0;
        }
        first = std::min(first, entry.reg);
        last = std::max(last, entry.reg);
    }
    if (all || clears != read.registers.end())
        announce(0, static_cast<int>(m_states.size()) - 1);
    else if (last >= first)
        announce(first, last);
}

void RegisterTreeModel::applyWrite(int reg, const SMapWriteResult& result)
{
    if (!m_map || reg < 0 || static_cast<size_t>(reg) >= m_states.size())
        return;
    SState& state = m_states[static_cast<size_t>(reg)];
    if (result.readBack) {
        setValue(reg, *result.readBack);
        state.written = result.written;
        if (result.written && result.Mismatch())
            state.mismatch = (*result.written ^ *result.readBack) & result.checked;
    } else if (result.written) {
        // Nothing read back: a register that cannot be read shows what it
        // was given; for one that can, the read-back failed.
        state.written = result.written;
        state.changed = 0;
        state.mismatch = 0;
        if (registerAt(reg).IsReadable()) {
            const SMapStep* failed = result.failure();
            state.error = failed && failed->failure() ? failed->failure()->error : tr("no value");
        }
    } else if (result.old) {
        // The write failed after the value it would change was read.
        setValue(reg, *result.old);
    }
    announce(reg, reg);
}

void RegisterTreeModel::announce(int first, int last)
{
    emit dataChanged(index(first, ColumnName), index(last, ColumnValue));
    for (int reg = first; reg <= last; ++reg) {
        const int fields = static_cast<int>(registerAt(reg).fields.size());
        if (fields == 0)
            continue;
        emit dataChanged(createIndex(0, ColumnName, static_cast<quintptr>(reg) + 1),
                         createIndex(fields - 1, ColumnValue, static_cast<quintptr>(reg) + 1));
    }
}

std::optional<uint32_t> RegisterTreeModel::value(int reg) const
{
    if (!m_map || reg < 0 || static_cast<size_t>(reg) >= m_states.size())
        return std::nullopt;
    const SState& state = m_states[static_cast<size_t>(reg)];
    return state.error.isEmpty() ? state.value : std::nullopt;
}

QString RegisterTreeModel::error(int reg) const
{
    if (!m_map || reg < 0 || static_cast<size_t>(reg) >= m_states.size())
        return {};
    return m_states[static_cast<size_t>(reg)].error;
}

bool RegisterTreeModel::isChanged(int reg, int field) const
{
    if (!m_map || reg < 0 || static_cast<size_t>(reg) >= m_states.size())
        return false;
    const SState& state = m_states[static_cast<size_t>(reg)];
    if (!state.error.isEmpty())
        return false;
    const uint32_t bits = field < 0 ? registerAt(reg).Mask()
                                    : registerAt(reg).fields[static_cast<size_t>(field)].Mask();
    return (state.changed & bits) != 0;
}

bool RegisterTreeModel::isStale(int reg) const
{
    if (!m_map || reg < 0 || static_cast<size_t>(reg) >= m_states.size())
        return false;
    const SState& state = m_states[static_cast<size_t>(reg)];
    return state.value && state.error.isEmpty() && registerAt(reg).IsReadable() &&
           state.generation < m_generation;
}

bool RegisterTreeModel::isMismatch(int reg, int field) const
{
    if (!m_map || reg < 0 || static_cast<size_t>(reg) >= m_states.size())
        return false;
    const uint32_t bits = field < 0 ? registerAt(reg).Mask()
                                    : registerAt(reg).fields[static_cast<size_t>(field)].Mask();
    return (m_states[static_cast<size_t>(reg)].mismatch & bits) != 0;
}

QString RegisterTreeModel::valueText(int reg, int field) const
{
    const SMapRegister& r = registerAt(reg);
    const SState& state = m_states[static_cast<size_t>(reg)];
    if (!state.error.isEmpty())
        return field < 0 ? tr("Read failed: %1").arg(state.error) : QString();
    const SMapField* f = field >= 0 ? &r.fields[static_cast<size_t>(field)] : nullptr;
    // What the chip holds as far as is known: read, or only written.
    const bool readable = f ? r.IsReadable() && f->IsReadable() : r.IsReadable();
    const std::optional<uint32_t> shown = readable && state.value ? state.value : state.written;
    if (!shown) {
        if (!readable)
            return tr("write-only");
        if (!f && r.readClears)
            return tr("not read by Read All: a read clears it");
        return {};
    }
    const auto decoded = [&r](const SMapField* of, uint32_t value) {
        if (of)
            return DecodeField(r, *of, value).text;
        if (r.fields.empty())
            return QString::number(value);
        if (r.fields.size() == 1)
            return DecodeField(r, r.fields.front(), value).text;
        QStringList parts;
        for (const SMapField& each : r.fields) {
            if (each.IsReadable())
                parts << each.name + QStringLiteral(": ") + DecodeField(r, each, value).text;
        }
        return parts.join(QStringLiteral(", "));
    };
    QString text = decoded(f, *shown);
    if (!readable || !state.value)
        return tr("%1 (written)").arg(text);
    if (state.written && isMismatch(reg, field)) {
        const QString written =
            f ? DecodeField(r, *f, *state.written).text : RegisterValueText(r, *state.written);
        text = tr("%1, but %2 was written").arg(text, written);
    }
    return text;
}

QString RegisterTreeModel::addressText(int reg, int field) const
{
    if (field < 0) {
        return QStringLiteral("0x") + hexDigits(registerAt(reg).address, 2 * m_map->pointerBytes);
    }
    const SMapField& f = registerAt(reg).fields[static_cast<size_t>(field)];
    return f.msb == f.lsb ? tr("bit %1").arg(f.lsb) : tr("bits %1:%2").arg(f.msb).arg(f.lsb);
}

QString RegisterTreeModel::rawText(int reg, int field) const
{
    const SMapRegister& r = registerAt(reg);
    const SState& state = m_states[static_cast<size_t>(reg)];
    if (!state.error.isEmpty())
        return {};
    const std::optional<uint32_t> shown = state.value ? state.value : state.written;
    if (!shown)
        return {};
    if (field < 0)
        return RegisterValueText(r, *shown);
    const SMapField& f = r.fields[static_cast<size_t>(field)];
    return bitsText(f, FieldBits(f, *shown));
}

QString RegisterTreeModel::accessText(int reg, int field) const
{
    const SMapRegister& r = registerAt(reg);
    if (field >= 0) {
        const SMapField& f = r.fields[static_cast<size_t>(field)];
        QString text = MapAccessText(f.access);
        if (f.write != EFieldWrite::Normal)
            text += QStringLiteral(", ") + FieldWriteText(f.write);
        return text;
    }
    QStringList parts{MapAccessText(r.access)};
    if (r.isVolatile)
        parts << tr("volatile");
    if (r.readClears)
        parts << tr("read clears");
    if (r.page >= 0)
        parts << tr("page %1").arg(m_map->pages[static_cast<size_t>(r.page)].name);
    return parts.join(QStringLiteral(", "));
}

QString RegisterTreeModel::stateText(int reg, int field) const
{
    const SMapRegister& r = registerAt(reg);
    const SState& state = m_states[static_cast<size_t>(reg)];
    QStringList parts;
    if (!state.error.isEmpty() && field < 0)
        parts << tr("Read failed");
    if (isMismatch(reg, field))
        parts << tr("Read back other than written");
    if (isStale(reg))
        parts << m_staleWhy;
    else if (isChanged(reg, field))
        parts << tr("Changed since the previous read");
    if (field < 0 && r.readClears)
        parts << tr("A read clears it: Read All leaves it out, Read reads it");
    return parts.join(QStringLiteral(". "));
}

QString RegisterTreeModel::toolTip(int reg, int field, int column) const
{
    const SMapRegister& r = registerAt(reg);
    const QString description =
        field < 0 ? r.description : r.fields[static_cast<size_t>(field)].description;
    if (column == ColumnName || column == ColumnDescription)
        return description;
    if (column != ColumnValue && column != ColumnRaw)
        return {};
    QStringList lines;
    const QString value = column == ColumnValue ? valueText(reg, field) : rawText(reg, field);
    if (!value.isEmpty())
        lines << value;
    const QString state = stateText(reg, field);
    if (!state.isEmpty())
        lines << state;
    const SState& s = m_states[static_cast<size_t>(reg)];
    if (!isStale(reg) && isChanged(reg, field) && s.previous) {
        lines << tr("Before: %1")
                     .arg(field < 0
                              ? RegisterValueText(r, *s.previous)
                              : DecodeField(r, r.fields[static_cast<size_t>(field)], *s.previous)
                                    .text);
    }
    return lines.join(QLatin1Char('\n'));
}

int RegisterTreeModel::registerOf(const QModelIndex& index) const
{
    if (!m_map || !index.isValid() || index.model() != this)
        return -1;
    return index.internalId() == REGISTER_ROW ? index.row()
                                              : static_cast<int>(index.internalId() - 1);
}

int RegisterTreeModel::fieldOf(const QModelIndex& index) const
{
    if (!m_map || !index.isValid() || index.model() != this || index.internalId() == REGISTER_ROW)
        return -1;
    return index.row();
}

QModelIndex RegisterTreeModel::indexOf(int reg, int field, int column) const
{
    if (!m_map || reg < 0 || static_cast<size_t>(reg) >= m_states.size())
        return {};
    if (field < 0)
        return createIndex(reg, column, REGISTER_ROW);
    if (static_cast<size_t>(field) >= registerAt(reg).fields.size())
        return {};
    return createIndex(field, column, static_cast<quintptr>(reg) + 1);
}

QModelIndex RegisterTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (!m_map || row < 0 || column < 0 || column >= ColumnCount)
        return {};
    if (!parent.isValid())
        return indexOf(row, -1, column);
    if (parent.internalId() != REGISTER_ROW)
        return {};
    return indexOf(parent.row(), row, column);
}

QModelIndex RegisterTreeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid() || child.internalId() == REGISTER_ROW)
        return {};
    return createIndex(static_cast<int>(child.internalId() - 1), ColumnName, REGISTER_ROW);
}

int RegisterTreeModel::rowCount(const QModelIndex& parent) const
{
    if (!m_map)
        return 0;
    if (!parent.isValid())
        return static_cast<int>(m_states.size());
    if (parent.internalId() != REGISTER_ROW || parent.column() != ColumnName)
        return 0;
    return static_cast<int>(registerAt(parent.row()).fields.size());
}

int RegisterTreeModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

QVariant RegisterTreeModel::data(const QModelIndex& index, int role) const
{
    const int reg = registerOf(index);
    if (reg < 0)
        return {};
    const int field = fieldOf(index);
    const int column = index.column();
    const SMapRegister& r = registerAt(reg);
    const SState& state = m_states[static_cast<size_t>(reg)];
    const bool marked = column == ColumnName || column == ColumnRaw || column == ColumnValue;
    // An old value no longer shows what its last read changed.
    const bool stale = isStale(reg);
    const bool changed = !stale && isChanged(reg, field);
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case ColumnName:
            return field < 0 ? r.name : r.fields[static_cast<size_t>(field)].name;
        case ColumnAddress:
            return addressText(reg, field);
        case ColumnRaw:
            return rawText(reg, field);
        case ColumnValue:
            return valueText(reg, field);
        case ColumnAccess:
            return accessText(reg, field);
        case ColumnDescription: {
            const QString& text =
                field < 0 ? r.description : r.fields[static_cast<size_t>(field)].description;
            return text.section(QLatin1Char('\n'), 0, 0);
        }
        default:
            return {};
        }
    case Qt::ToolTipRole:
        return toolTip(reg, field, column);
    case Qt::AccessibleDescriptionRole:
        return stateText(reg, field);
    case Qt::ForegroundRole:
        if (marked && ((field < 0 && !state.error.isEmpty()) || isMismatch(reg, field)))
            return ERROR_COLOR;
        if (marked && changed)
            return CHANGED_TEXT;
        if ((column == ColumnValue && !state.value) ||
            (stale && (column == ColumnRaw || column == ColumnValue)))
            return QUIET_COLOR;
        return {};
    case Qt::BackgroundRole:
        if (marked && changed && !isMismatch(reg, field))
            return CHANGED_BACKGROUND;
        return {};
    case Qt::FontRole:
        if (marked && changed) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return {};
    default:
        return {};
    }
}

QVariant RegisterTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColumnName:
        return tr("Name");
    case ColumnAddress:
        return tr("Address");
    case ColumnRaw:
        return tr("Raw");
    case ColumnValue:
        return tr("Value");
    case ColumnAccess:
        return tr("Access");
    case ColumnDescription:
        return tr("Description");
    default:
        return {};
    }
}
