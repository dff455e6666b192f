// Register maps come from anyone (other tools write them): the reader takes
// any bytes. A refused map says where; a loaded one keeps every promise the
// reader makes (names unique, fields inside their register and apart, labels
// within their field, pages known), its fields decode and encode back to the
// same bits, and its C header defines each name once.

#include "fuzz/fuzzcheck.h"
#include "transactions/registeraccess.h"
#include "transactions/registercodec.h"
#include "transactions/registermap.h"
#include "transactions/registermapaccess.h"
#include "transactions/registermapexport.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

bool Within(EMapAccess outer, EMapAccess inner)
{
    return (IsReadable(outer) || !IsReadable(inner)) && (IsWritable(outer) || !IsWritable(inner));
}

void CheckField(const SMapRegister& reg, const SMapField& field, uint32_t value)
{
    const uint32_t bits = FieldBits(field, value);
    FUZZ_CHECK(WithFieldBits(field, value, bits) == value);
    SMapError error;
    FUZZ_CHECK(EncodeFieldBits(reg, field, bits, &error) == bits);
    const SFieldReading reading = DecodeField(reg, field, value);
    FUZZ_CHECK(!reading.text.isEmpty());
    // A write-only field reads as nothing: no bits, number or label.
    FUZZ_CHECK(reading.readable == field.IsReadable());
    if (!reading.readable)
        return;
    FUZZ_CHECK(reading.bits == bits);
    if (reading.HasLabel())
        FUZZ_CHECK(EncodeFieldLabel(reg, field, reading.label, &error) == reading.bits);
    // Scales a datasheet uses read back exactly; extreme ones may not.
    const double scale = std::abs(field.scale);
    if (scale >= 1e-4 && scale <= 1e4 && std::abs(field.offset) <= 1e4)
        FUZZ_CHECK(EncodeFieldNumber(reg, field, reading.number, &error) == reading.bits);
}

void CheckLoaded(const SRegisterMap& map, uint32_t seed)
{
    FUZZ_CHECK(!map.device.isEmpty());
    FUZZ_CHECK(map.pointerBytes >= 1 && map.pointerBytes <= 4);
    FUZZ_CHECK(!map.registers.empty() && map.registers.size() <= MAP_REGISTERS_MAX);
    QSet<QString> names;
    for (size_t r = 0; r < map.registers.size(); ++r) {
        const SMapRegister& reg = map.registers[r];
        FUZZ_CHECK(!names.contains(reg.name.toUpper()));
        names.insert(reg.name.toUpper());
        FUZZ_CHECK(map.FindRegister(reg.name) == static_cast<int>(r));
        FUZZ_CHECK(reg.bytes >= 1 && reg.bytes <= 4);
        FUZZ_CHECK(RegisterFits(reg.address, map.pointerBytes));
        FUZZ_CHECK((reg.address & map.incrementFlag) == 0);
        FUZZ_CHECK(!reg.reset || (*reg.reset & ~reg.Mask()) == 0);
        FUZZ_CHECK((reg.resetMask & ~reg.Mask()) == 0);
        FUZZ_CHECK(reg.page >= -1 && reg.page < static_cast<int>(map.pages.size()));
        uint32_t used = 0;
        QSet<QString> fieldNames;
        for (const SMapField& field : reg.fields) {
            FUZZ_CHECK(field.lsb >= 0 && field.lsb <= field.msb && field.msb < 8 * reg.bytes);
            FUZZ_CHECK((field.Mask() & used) == 0 && (field.Mask() & ~reg.Mask()) == 0);
            used |= field.Mask();
            FUZZ_CHECK(!fieldNames.contains(field.name.toUpper()));
            fieldNames.insert(field.name.toUpper());
            FUZZ_CHECK(Within(reg.access, field.access));
            FUZZ_CHECK(std::isfinite(field.scale) && field.scale != 0 &&
                       std::isfinite(field.offset));
            FUZZ_CHECK(field.decimals >= 0 && field.decimals <= MAP_FIELD_DECIMALS_MAX);
            for (size_t i = 0; i < field.labels.size(); ++i) {
                FUZZ_CHECK((field.labels[i].value & ~field.ValueMask()) == 0);
                FUZZ_CHECK(i == 0 || field.labels[i - 1].value < field.labels[i].value);
                FUZZ_CHECK(field.FindLabel(field.labels[i].text) == &field.labels[i]);
            }
        }
        for (uint32_t value : {0u, reg.Mask(), reg.reset.value_or(0), seed & reg.Mask()}) {
            FUZZ_CHECK(RegisterValueFromBytes(reg, RegisterValueBytes(reg, value)) == value);
            for (const SMapField& field : reg.fields)
                CheckField(reg, field, value);
        }
    }
    for (const SMapPage& page : map.pages) {
        FUZZ_CHECK(page.selectRegister >= 0 &&
                   static_cast<size_t>(page.selectRegister) < map.registers.size());
        const SMapRegister& selector = map.registers[static_cast<size_t>(page.selectRegister)];
        FUZZ_CHECK(selector.page < 0 && selector.IsWritable());
        FUZZ_CHECK(page.selectField < static_cast<int>(selector.fields.size()));
    }

    // Every register in one plan, each once, no block past the limit.
    const std::vector<int> readable = ReadAllRegisters(map);
    size_t planned = 0;
    for (const SMapReadBlock& block : PlanMapReads(map, readable, 256)) {
        FUZZ_CHECK(!block.registers.empty() && block.bytes <= 256);
        planned += block.registers.size();
    }
    FUZZ_CHECK(planned == readable.size());

    static const QRegularExpression define(QStringLiteral("^#define (\\S+) (\\S+)$"),
                                           QRegularExpression::MultilineOption);
    static const QRegularExpression identifier(QStringLiteral("^[A-Z_][A-Z0-9_]*$"));
    const QString header = RegisterMapHeader(map);
    QSet<QString> defined;
    for (auto it = define.globalMatch(header); it.hasNext();) {
        const QString name = it.next().captured(1);
        FUZZ_CHECK(identifier.match(name).hasMatch());
        FUZZ_CHECK(!defined.contains(name));
        defined.insert(name);
    }
    FUZZ_CHECK(header.count(QStringLiteral("/*")) == header.count(QStringLiteral("*/")));
    FUZZ_CHECK(!RegisterMapMarkdown(map).isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const std::optional<SRegisterMap> map = ParseRegisterMap(text, &error);
    if (!map) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    uint32_t seed = 0;
    for (size_t i = 0; i < size && i < 4; ++i)
        seed = (seed << 8) | data[i];
    CheckLoaded(*map, seed ^ static_cast<uint32_t>(size) * 2654435761u);
    return 0;
}
