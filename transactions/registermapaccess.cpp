#include "transactions/registermapaccess.h"

#include "i2c/orvi2c.h"
#include "transactions/registeraccess.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <span>
#include <utility>

namespace {

bool Refuse(SMapError* error, EMapErrorKind kind, const QString& text)
{
    if (error)
        *error = {kind, text};
    return false;
}

QString Quoted(QStringView text)
{
    return QLatin1Char('"') + text.toString() + QLatin1Char('"');
}

QString NearText(const QStringList& near)
{
    return near.isEmpty() ? QString()
                          : QStringLiteral("; near names: ") + near.join(QStringLiteral(", "));
}

uint32_t ResetBits(const SMapRegister& reg)
{
    return reg.reset ? *reg.reset & reg.resetMask : 0;
}

// Every bit of the register is given, so the old value is not needed.
bool CoversRegister(const SMapRegister& reg, const std::vector<SFieldAssignment>& assignments)
{
    uint32_t given = 0;
    for (const SFieldAssignment& assignment : assignments) {
        if (assignment.field < 0)
            return true;
        given |= reg.fields[static_cast<size_t>(assignment.field)].Mask();
    }
    return given == reg.Mask();
}

const SFieldAssignment* FindAssignment(const std::vector<SFieldAssignment>& assignments, int field)
{
    for (const SFieldAssignment& assignment : assignments) {
        if (assignment.field == field)
            return &assignment;
    }
    return nullptr;
}

// The increment flag goes into the pointer of an access of several bytes.
uint32_t PointerFor(const SRegisterMap& map, uint32_t address, size_t bytes)
{
    return bytes > 1 ? address | map.incrementFlag : address;
}

// Runs the accesses of one call over one device, keeping track of the page
// it selected last.
class CMapBus {
public:
    CMapBus(COrvI2c& adapter, uint8_t address, const SRegisterMap& map,
            std::vector<SMapStep>& steps)
        : m_adapter(adapter), m_address(address), m_map(map), m_steps(steps)
    {
    }

    // Reads bytes from the register's address on; the step is the last one.
    bool Read(const SMapRegister& first, size_t bytes, const QString& type)
    {
        const SRegisterRead read =
            RunRegisterRead(m_adapter, m_address, Pointer(first, bytes), m_map.pointerBytes, bytes);
        SMapStep step{type, {}};
        if (read.pointer)
            step.transactions.push_back(*read.pointer);
        if (read.read)
            step.transactions.push_back(*read.read);
        m_steps.push_back(std::move(step));
        return read.ok();
    }

    std::optional<uint32_t> ReadValue(const SMapRegister& reg, const QString& type)
    {
        if (!Read(reg, static_cast<size_t>(reg.bytes), type))
            return std::nullopt;
        return RegisterValueFromBytes(reg, m_steps.back().Row().data);
    }

    bool Write(const SMapRegister& reg, uint32_t value, const QString& type)
    {
        const SI2cTransaction write =
            RunRegisterWrite(m_adapter, m_address, Pointer(reg, static_cast<size_t>(reg.bytes)),
                             m_map.pointerBytes, RegisterValueBytes(reg, value));
        m_steps.push_back({type, {write}});
        return write.ok;
    }

    // Selects the page unless it is selected already; registers without a
    // page need none.
    bool Select(int page)
    {
        if (page < 0 || m_page == page)
            return true;
        m_page.reset();
        const SMapPage& target = m_map.pages[static_cast<size_t>(page)];
        const SMapRegister& selector = m_map.registers[static_cast<size_t>(target.selectRegister)];
        const QString type = QStringLiteral("Select ") + target.name;
        uint32_t value = target.value;
        if (target.selectField >= 0) {
            const std::optional<uint32_t> old =
                ReadValue(selector, QStringLiteral("Read ") + selector.name);
            if (!old)
                return false;
            value = ComposeMapWrite(selector, {{target.selectField, target.value}}, old);
        }
        if (!Write(selector, value, type))
            return false;
        m_page = page;
        return true;
    }

    // The error of the last step, for the registers it leaves without a value.
    QString LastError() const
    {
        const SI2cTransaction* failure = m_steps.empty() ? nullptr : m_steps.back().failure();
        return failure ? failure->error : QString();
    }

    bool LastWasPointerNack() const
    {
        if (m_steps.empty())
            return false;
        const SMapStep& step = m_steps.back();
        return step.transactions.size() == 1 && !step.transactions[0].ok &&
               step.transactions[0].type == EI2cTransactionType::Write &&
               step.transactions[0].errorKind == EOrvError::Nack;
    }

    bool IsPresent() const { return m_adapter.IsPresent(); }

private:
    uint32_t Pointer(const SMapRegister& reg, size_t bytes) const
    {
        return PointerFor(m_map, reg.address, bytes);
    }

    COrvI2c& m_adapter;
    const uint8_t m_address;
    const SRegisterMap& m_map;
    std::vector<SMapStep>& m_steps;
    std::optional<int> m_page;
};

QString BlockType(const SRegisterMap& map, const std::vector<int>& registers)
{
    const QString first = map.registers[static_cast<size_t>(registers.front())].name;
    if (registers.size() == 1)
        return QStringLiteral("Read ") + first;
    return QStringLiteral("Read ") + first + QStringLiteral("..") +
           map.registers[static_cast<size_t>(registers.back())].name;
}

bool AddAssignment(const SRegisterMap& map, std::vector<SMapWrite>& writes, int reg, int field,
                   uint32_t bits, SMapError* error)
{
    const SMapRegister& target = map.registers[static_cast<size_t>(reg)];
    auto write = std::find_if(writes.begin(), writes.end(),
                              [reg](const SMapWrite& w) { return w.reg == reg; });
    if (write != writes.end()) {
        for (const SFieldAssignment& assignment : write->assignments) {
            if (assignment.field == field) {
                return Refuse(error, EMapErrorKind::BadValue,
                              QStringLiteral("%1 is given twice").arg(MapFieldPath(target, field)));
            }
            if (assignment.field < 0 || field < 0) {
                return Refuse(error, EMapErrorKind::BadValue,
                              QStringLiteral("%1 is given both whole and by field; give one or "
                                             "the other")
                                  .arg(target.name));
            }
        }
        write->assignments.push_back({field, bits});
    } else {
        writes.push_back({reg, {{field, bits}}});
    }
    return true;
}

// The register and field of a target that may be written.
bool FindWritable(const SRegisterMap& map, QStringView target, int& reg, int& field,
                  SMapError* error)
{
    if (!FindMapTarget(map, target, reg, field, error))
        return false;
    const SMapRegister& r = map.registers[static_cast<size_t>(reg)];
    if (!r.IsWritable())
        return Refuse(error, EMapErrorKind::ReadOnly,
                      QStringLiteral("%1 is read-only").arg(r.name));
    if (field >= 0 && !r.fields[static_cast<size_t>(field)].IsWritable())
        return Refuse(error, EMapErrorKind::ReadOnly,
                      QStringLiteral("%1 is read-only").arg(MapFieldPath(r, field)));
    return true;
}

} // namespace

bool SMapStep::ok() const
{
    return !transactions.empty() && failure() == nullptr;
}

const SI2cTransaction* SMapStep::failure() const
{
    for (const SI2cTransaction& transaction : transactions) {
        if (!transaction.ok)
            return &transaction;
    }
    return nullptr;
}

const SI2cTransaction& SMapStep::Row() const
{
    static const SI2cTransaction none;
    if (const SI2cTransaction* failed = failure())
        return *failed;
    return transactions.empty() ? none : transactions.back();
}

QString MapStepReportLine(const SMapStep& step)
{
    const SI2cTransaction& row = step.Row();
    return ReportLine(step.type, TransactionFlagsText(row), CI2cDeviceFile::BytesToHex(row.data));
}

bool SMapRead::ok() const
{
    return std::all_of(registers.begin(), registers.end(),
                       [](const SMapRegisterRead& r) { return r.value.has_value(); }) &&
           failure() == nullptr;
}

const SMapStep* SMapRead::failure() const
{
    for (const SMapStep& step : steps) {
        if (!step.ok())
            return &step;
    }
    return nullptr;
}

std::vector<int> ReadAllRegisters(const SRegisterMap& map, const std::vector<int>& alsoRead)
{
    std::vector<int> registers;
    for (size_t i = 0; i < map.registers.size(); ++i) {
        const SMapRegister& reg = map.registers[i];
        const int index = static_cast<int>(i);
        const bool asked = std::find(alsoRead.begin(), alsoRead.end(), index) != alsoRead.end();
        if (reg.IsReadable() && (!reg.readClears || asked))
            registers.push_back(index);
    }
    return registers;
}

std::vector<SMapReadBlock> PlanMapReads(const SRegisterMap& map, const std::vector<int>& registers,
                                        size_t maxRead)
{
    std::vector<int> order = registers;
    // Registers without a page first, then page by page; by address in each.
    std::stable_sort(order.begin(), order.end(), [&map](int a, int b) {
        const SMapRegister& ra = map.registers[static_cast<size_t>(a)];
        const SMapRegister& rb = map.registers[static_cast<size_t>(b)];
        if (ra.page != rb.page)
            return ra.page < rb.page;
        return ra.address < rb.address;
    });
    std::vector<SMapReadBlock> blocks;
    uint64_t end = 0;
    for (int index : order) {
        const SMapRegister& reg = map.registers[static_cast<size_t>(index)];
        const size_t bytes = static_cast<size_t>(reg.bytes);
        const bool joins = map.autoIncrement && !blocks.empty() && blocks.back().page == reg.page &&
                           reg.address == end && blocks.back().bytes + bytes <= maxRead;
        if (!joins)
            blocks.push_back({reg.page, {}, 0});
        blocks.back().registers.push_back(index);
        blocks.back().bytes += bytes;
        end = uint64_t{reg.address} + bytes;
    }
    return blocks;
}

uint32_t MapRegisterPointer(const SRegisterMap& map, const SMapRegister& reg)
{
    return PointerFor(map, reg.address, static_cast<size_t>(reg.bytes));
}

bool CheckMapRead(const SRegisterMap& map, int reg, SMapError* error)
{
    if (reg < 0 || static_cast<size_t>(reg) >= map.registers.size())
        return Refuse(error, EMapErrorKind::UnknownName, QStringLiteral("no such register"));
    const SMapRegister& r = map.registers[static_cast<size_t>(reg)];
    if (!r.IsReadable())
        return Refuse(error, EMapErrorKind::WriteOnly,
                      QStringLiteral("%1 is write-only").arg(r.name));
    return true;
}

bool CheckMapRead(const SRegisterMap& map, int reg, int field, SMapError* error)
{
    if (!CheckMapRead(map, reg, error))
        return false;
    const SMapRegister& r = map.registers[static_cast<size_t>(reg)];
    if (field < 0)
        return true;
    if (static_cast<size_t>(field) >= r.fields.size())
        return Refuse(error, EMapErrorKind::UnknownName, QStringLiteral("no such field"));
    if (!r.fields[static_cast<size_t>(field)].IsReadable())
        return Refuse(
            error, EMapErrorKind::WriteOnly,
            QStringLiteral("%1 is write-only; it reads as nothing").arg(MapFieldPath(r, field)));
    return true;
}

int FindMapRegister(const SRegisterMap& map, QStringView name, SMapError* error)
{
    const int reg = map.FindRegister(name);
    if (reg < 0) {
        Refuse(error, EMapErrorKind::UnknownName,
               QStringLiteral("no register %1 in %2%3")
                   .arg(Quoted(name.trimmed()), map.device,
                        NearText(NearNames(map.RegisterNames(), name))));
    }
    return reg;
}

bool FindMapTarget(const SRegisterMap& map, QStringView target, int& reg, int& field,
                   SMapError* error)
{
    target = target.trimmed();
    const qsizetype dot = target.indexOf(u'.');
    reg = FindMapRegister(map, dot < 0 ? target : target.left(dot), error);
    field = -1;
    if (reg < 0)
        return false;
    if (dot < 0)
        return true;
    const SMapRegister& r = map.registers[static_cast<size_t>(reg)];
    const QStringView name = target.mid(dot + 1);
    field = r.FindField(name);
    if (field >= 0)
        return true;
    QStringList names;
    for (const SMapField& f : r.fields)
        names << f.name;
    return Refuse(error, EMapErrorKind::UnknownName,
                  names.isEmpty()
                      ? QStringLiteral("%1 has no fields; give it whole").arg(r.name)
                      : QStringLiteral("%1 has no field %2%3")
                            .arg(r.name, Quoted(name), NearText(NearNames(names, name))));
}

SMapRead RunMapRegisterRead(COrvI2c& adapter, uint8_t address, const SRegisterMap& map, int reg)
{
    SMapRead result;
    SMapRegisterRead entry{reg, std::nullopt, {}};
    SMapError error;
    if (!CheckMapRead(map, reg, &error)) {
        entry.error = error.text;
        result.registers.push_back(entry);
        return result;
    }
    const SMapRegister& r = map.registers[static_cast<size_t>(reg)];
    CMapBus bus(adapter, address, map, result.steps);
    if (bus.Select(r.page))
        entry.value = bus.ReadValue(r, QStringLiteral("Read ") + r.name);
    if (!entry.value)
        entry.error = bus.LastError();
    result.registers.push_back(entry);
    return result;
}

SMapRead RunMapReadAll(COrvI2c& adapter, uint8_t address, const SRegisterMap& map,
                       const std::vector<int>& alsoRead, const std::function<bool()>& cancelled,
                       const std::function<void(const SMapRegisterRead&)>& progress)
{
    SMapRead result;
    CMapBus bus(adapter, address, map, result.steps);
    std::map<int, SMapRegisterRead> reads;
    const auto fail = [&reads](const std::vector<int>& registers, size_t from,
                               const QString& error) {
        for (size_t i = from; i < registers.size(); ++i)
            reads[registers[i]] = {registers[i], std::nullopt, error};
    };
    // In map order; the blocks go page by page, so a register may be known
    // before one that precedes it in the map.
    const std::vector<int> order = ReadAllRegisters(map, alsoRead);
    const std::vector<SMapReadBlock> blocks = PlanMapReads(map, order, adapter.GetMaxReadCount());
    size_t reported = 0;
    const auto report = [&] {
        for (; progress && reported < order.size(); ++reported) {
            const auto read = reads.find(order[reported]);
            if (read == reads.end())
                break;
            progress(read->second);
        }
    };
    // Why the rest are not tried: the adapter has gone, or the caller cancelled.
    QString gone;
    const auto stop = [&] {
        if (gone.isEmpty() && cancelled && cancelled())
            gone = QStringLiteral("Cancelled");
        return !gone.isEmpty();
    };
    for (const SMapReadBlock& block : blocks) {
        report();
        if (stop()) {
            fail(block.registers, 0, gone);
            continue;
        }
        if (!bus.Select(block.page)) {
            fail(block.registers, 0, bus.LastError());
            if (!bus.IsPresent())
                gone = bus.LastError();
            continue;
        }
        size_t first = 0;
        while (first < block.registers.size()) {
            if (first > 0 && stop()) {
                fail(block.registers, first, gone);
                break;
            }
            std::vector<int> rest(block.registers.begin() + static_cast<std::ptrdiff_t>(first),
                                  block.registers.end());
            size_t bytes = 0;
            for (int index : rest)
                bytes += static_cast<size_t>(map.registers[static_cast<size_t>(index)].bytes);
            const SMapRegister& head = map.registers[static_cast<size_t>(rest.front())];
            if (bus.Read(head, bytes, BlockType(map, rest))) {
                const std::vector<uint8_t>& data = result.steps.back().Row().data;
                size_t offset = 0;
                for (int index : rest) {
                    const SMapRegister& reg = map.registers[static_cast<size_t>(index)];
                    reads[index] = {
                        index, RegisterValueFromBytes(reg, std::span(data).subspan(offset)), {}};
                    offset += static_cast<size_t>(reg.bytes);
                }
                break;
            }
            if (!bus.IsPresent()) {
                gone = bus.LastError();
                fail(block.registers, first, gone);
                break;
            }
            // A refused pointer names the first register; the others may be fine.
            if (bus.LastWasPointerNack() && rest.size() > 1) {
                reads[rest.front()] = {rest.front(), std::nullopt, bus.LastError()};
                ++first;
                continue;
            }
            fail(block.registers, first, bus.LastError());
            break;
        }
    }
    report();
    for (auto& [index, read] : reads)
        result.registers.push_back(std::move(read));
    return result;
}

bool AddMapAssignment(const SRegisterMap& map, std::vector<SMapWrite>& writes, QStringView target,
                      QStringView value, SMapError* error)
{
    int reg = -1;
    int field = -1;
    if (!FindWritable(map, target, reg, field, error))
        return false;
    const SMapRegister& r = map.registers[static_cast<size_t>(reg)];
    const std::optional<uint32_t> bits =
        field >= 0 ? EncodeFieldText(r, r.fields[static_cast<size_t>(field)], value, error)
                   : EncodeRegisterText(r, value, error);
    return bits && AddAssignment(map, writes, reg, field, *bits, error);
}

bool AddMapAssignmentNumber(const SRegisterMap& map, std::vector<SMapWrite>& writes,
                            QStringView target, double value, SMapError* error)
{
    int reg = -1;
    int field = -1;
    if (!FindWritable(map, target, reg, field, error))
        return false;
    const SMapRegister& r = map.registers[static_cast<size_t>(reg)];
    std::optional<uint32_t> bits;
    if (field >= 0) {
        bits = EncodeFieldNumber(r, r.fields[static_cast<size_t>(field)], value, error);
    } else if (value >= 0 && value <= r.Mask() && value == std::floor(value)) {
        bits = static_cast<uint32_t>(value);
    } else {
        Refuse(error, EMapErrorKind::BadValue,
               QStringLiteral("%1: %2 is not a whole number from 0 to %3")
                   .arg(r.name, QString::number(value, 'g', 17))
                   .arg(r.Mask()));
    }
    return bits && AddAssignment(map, writes, reg, field, *bits, error);
}

std::optional<std::vector<SMapWrite>>
PlanMapWrites(const SRegisterMap& map, const QStringList& assignments, SMapError* error)
{
    std::vector<SMapWrite> writes;
    for (const QString& text : assignments) {
        const qsizetype equals = text.indexOf(QLatin1Char('='));
        if (equals < 0) {
            Refuse(error, EMapErrorKind::BadValue,
                   QStringLiteral("%1 is not NAME=VALUE or NAME.FIELD=VALUE").arg(Quoted(text)));
            return std::nullopt;
        }
        if (!AddMapAssignment(map, writes, QStringView(text).left(equals),
                              QStringView(text).mid(equals + 1).trimmed(), error))
            return std::nullopt;
    }
    for (const SMapWrite& write : writes) {
        if (!CheckMapWrite(map, write, error))
            return std::nullopt;
    }
    return writes;
}

bool CheckMapWrite(const SRegisterMap& map, const SMapWrite& write, SMapError* error)
{
    if (write.reg < 0 || static_cast<size_t>(write.reg) >= map.registers.size())
        return Refuse(error, EMapErrorKind::UnknownName, QStringLiteral("no such register"));
    const SMapRegister& reg = map.registers[static_cast<size_t>(write.reg)];
    if (!reg.IsWritable())
        return Refuse(error, EMapErrorKind::ReadOnly,
                      QStringLiteral("%1 is read-only").arg(reg.name));
    if (write.assignments.empty())
        return Refuse(error, EMapErrorKind::BadValue,
                      QStringLiteral("%1: nothing to write").arg(reg.name));
    bool whole = false;
    for (const SFieldAssignment& assignment : write.assignments) {
        if (assignment.field < 0) {
            whole = true;
            if (assignment.bits & ~reg.Mask())
                return Refuse(error, EMapErrorKind::BadValue,
                              QStringLiteral("%1: the value does not fit").arg(reg.name));
            continue;
        }
        if (static_cast<size_t>(assignment.field) >= reg.fields.size())
            return Refuse(error, EMapErrorKind::UnknownName, QStringLiteral("no such field"));
        const SMapField& field = reg.fields[static_cast<size_t>(assignment.field)];
        if (!field.IsWritable())
            return Refuse(
                error, EMapErrorKind::ReadOnly,
                QStringLiteral("%1 is read-only").arg(MapFieldPath(reg, assignment.field)));
        if (assignment.bits & ~field.ValueMask())
            return Refuse(error, EMapErrorKind::BadValue,
                          QStringLiteral("%1: the value does not fit")
                              .arg(MapFieldPath(reg, assignment.field)));
    }
    if (whole && write.assignments.size() > 1)
        return Refuse(error, EMapErrorKind::BadValue,
                      QStringLiteral("%1 is given both whole and by field; give one or the other")
                          .arg(reg.name));
    if (!reg.IsReadable() && !whole) {
        QStringList missing;
        for (size_t i = 0; i < reg.fields.size(); ++i) {
            if (reg.fields[i].IsWritable() &&
                !FindAssignment(write.assignments, static_cast<int>(i)))
                missing << reg.fields[i].name;
        }
        if (!missing.isEmpty()) {
            return Refuse(error, EMapErrorKind::WriteOnly,
                          QStringLiteral("%1 is write-only, so its other fields cannot be read "
                                         "and kept: give %2 as well, or the whole value")
                              .arg(reg.name, missing.join(QStringLiteral(", "))));
        }
    }
    return true;
}

uint32_t ComposeMapWrite(const SMapRegister& reg, const std::vector<SFieldAssignment>& assignments,
                         std::optional<uint32_t> old)
{
    for (const SFieldAssignment& assignment : assignments) {
        if (assignment.field < 0)
            return assignment.bits & reg.Mask();
    }
    uint32_t value = (old ? *old : ResetBits(reg)) & reg.Mask();
    for (size_t i = 0; i < reg.fields.size(); ++i) {
        const SMapField& field = reg.fields[i];
        if (const SFieldAssignment* given = FindAssignment(assignments, static_cast<int>(i))) {
            value = WithFieldBits(field, value, given->bits);
        } else if (field.write == EFieldWrite::W1c || field.write == EFieldWrite::W1s) {
            value &= ~field.Mask();
        } else if (field.write == EFieldWrite::W0c) {
            value |= field.Mask();
        } else if (!field.IsReadable()) {
            value = (value & ~field.Mask()) | (ResetBits(reg) & field.Mask());
        }
    }
    return value;
}

uint32_t MapWriteCheckedBits(const SMapRegister& reg,
                             const std::vector<SFieldAssignment>& assignments)
{
    if (!reg.IsReadable())
        return 0;
    const auto readsBack = [](const SMapField& field) {
        return field.IsReadable() && field.IsWritable() && field.write == EFieldWrite::Normal;
    };
    uint32_t bits = 0;
    for (const SFieldAssignment& assignment : assignments) {
        if (assignment.field >= 0) {
            const SMapField& field = reg.fields[static_cast<size_t>(assignment.field)];
            if (readsBack(field))
                bits |= field.Mask();
            continue;
        }
        if (reg.isVolatile)
            return 0;
        bits = reg.Mask();
        for (const SMapField& field : reg.fields) {
            if (!readsBack(field))
                bits &= ~field.Mask();
        }
        return bits;
    }
    return bits;
}

bool SMapWriteResult::Mismatch() const
{
    return written && readBack && ((*written ^ *readBack) & checked) != 0;
}

QStringList SMapWriteResult::MismatchNames(const SRegisterMap& map, const SMapWrite& write) const
{
    QStringList names;
    if (!Mismatch() || write.reg < 0 || static_cast<size_t>(write.reg) >= map.registers.size())
        return names;
    const SMapRegister& reg = map.registers[static_cast<size_t>(write.reg)];
    const uint32_t differ = (*written ^ *readBack) & checked;
    for (const SFieldAssignment& assignment : write.assignments) {
        if (assignment.field < 0) {
            names << reg.name;
        } else if (reg.fields[static_cast<size_t>(assignment.field)].Mask() & differ) {
            names << MapFieldPath(reg, assignment.field);
        }
    }
    return names;
}

bool SMapWriteResult::ok() const
{
    return refusal.isEmpty() && written && failure() == nullptr && !Mismatch();
}

const SMapStep* SMapWriteResult::failure() const
{
    for (const SMapStep& step : steps) {
        if (!step.ok())
            return &step;
    }
    return nullptr;
}

SMapWriteResult RunMapWrite(COrvI2c& adapter, uint8_t address, const SRegisterMap& map,
                            const SMapWrite& write)
{
    SMapWriteResult result;
    SMapError error;
    if (!CheckMapWrite(map, write, &error)) {
        result.refusal = error.text;
        return result;
    }
    const SMapRegister& reg = map.registers[static_cast<size_t>(write.reg)];
    CMapBus bus(adapter, address, map, result.steps);
    if (!bus.Select(reg.page))
        return result;
    if (reg.IsReadable() && !CoversRegister(reg, write.assignments)) {
        result.old = bus.ReadValue(reg, QStringLiteral("Read ") + reg.name);
        if (!result.old)
            return result;
    }
    const uint32_t value = ComposeMapWrite(reg, write.assignments, result.old);
    if (!bus.Write(reg, value, QStringLiteral("Write ") + reg.name))
        return result;
    result.written = value;
    if (reg.IsReadable()) {
        result.checked = MapWriteCheckedBits(reg, write.assignments);
        result.readBack = bus.ReadValue(reg, QStringLiteral("Read back ") + reg.name);
    }
    return result;
}
