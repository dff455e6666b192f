#include "transactions/registermapexport.h"

#include "transactions/registercodec.h"

#include <cmath>

#include <QSet>
#include <QStringList>

namespace {

QString HexConstant(uint32_t value, int bytes)
{
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(value, 2 * bytes, 16, QLatin1Char('0')).toUpper() +
           QLatin1Char('u');
}

// Text for one line of a C comment.
QString CommentText(QString text)
{
    text.replace(QStringLiteral("*/"), QStringLiteral("* /"));
    text.replace(QStringLiteral("/*"), QStringLiteral("/ *"));
    // No trigraph (??/ would join a comment's lines).
    text.replace(QStringLiteral("??"), QStringLiteral("? ?"));
    return text.simplified();
}

// Identifiers made unique: a repeat gets _2, _3, ...
class CNames {
public:
    QString Take(const QString& wanted)
    {
        QString name = wanted;
        for (int n = 2; m_used.contains(name); ++n)
            name = wanted + QLatin1Char('_') + QString::number(n);
        m_used.insert(name);
        return name;
    }

private:
    QSet<QString> m_used;
};

QString Define(const QString& name, const QString& value)
{
    return QStringLiteral("#define ") + name + QLatin1Char(' ') + value + QLatin1Char('\n');
}

// A cell of a Markdown table: one line, pipes escaped.
QString Cell(QString text)
{
    text = text.simplified();
    text.replace(QLatin1Char('|'), QStringLiteral("\\|"));
    return text;
}

QString Row(const QStringList& cells)
{
    QStringList escaped;
    for (const QString& cell : cells)
        escaped << Cell(cell);
    return QStringLiteral("| ") + escaped.join(QStringLiteral(" | ")) + QStringLiteral(" |\n");
}

QString AddressText(const SRegisterMap& map, uint32_t address)
{
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(address, 2 * map.pointerBytes, 16, QLatin1Char('0')).toUpper();
}

QString BitsText(const SMapField& field)
{
    return field.msb == field.lsb ? QString::number(field.msb)
                                  : QStringLiteral("%1:%2").arg(field.msb).arg(field.lsb);
}

QString FieldMeaning(const SMapField& field)
{
    QStringList parts;
    if (field.isSigned)
        parts << QStringLiteral("signed");
    if (field.scale != 1 || field.offset != 0 || !field.unit.isEmpty()) {
        QString text = QStringLiteral("x ") + QString::number(field.scale, 'g', 12);
        if (field.offset != 0)
            text += (field.offset < 0 ? QStringLiteral(" - ") : QStringLiteral(" + ")) +
                    QString::number(std::abs(field.offset), 'g', 12);
        if (!field.unit.isEmpty())
            text += QLatin1Char(' ') + field.unit;
        parts << text;
    }
    QStringList labels;
    for (const SMapLabel& label : field.labels)
        labels << QStringLiteral("%1 = %2").arg(label.value).arg(label.text);
    if (!labels.isEmpty())
        parts << labels.join(QStringLiteral(", "));
    return parts.join(QStringLiteral("; "));
}

} // namespace

QString CIdentifierPart(QStringView text)
{
    QString part;
    bool gap = false;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const bool keep =
            (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
        if (!keep) {
            gap = !part.isEmpty();
            continue;
        }
        if (gap)
            part += QLatin1Char('_');
        gap = false;
        part += c.toUpper();
    }
    return part;
}

QString RegisterMapHeader(const SRegisterMap& map)
{
    QString device = CIdentifierPart(map.device);
    if (device.isEmpty() || device[0].isDigit())
        device = QStringLiteral("CHIP_") + device;
    if (device.endsWith(QLatin1Char('_')))
        device.chop(1);
    CNames names;
    const QString guard = names.Take(device + QStringLiteral("_REGISTERS_H"));

    QString text;
    text += QStringLiteral("/* %1 registers").arg(CommentText(map.device));
    if (!map.description.trimmed().isEmpty())
        text += QStringLiteral(": ") + CommentText(map.description);
    text += QStringLiteral("\n * Made from its register map; a field's values are its own bits,"
                           "\n * (value & MASK) >> SHIFT. */\n");
    text += QStringLiteral("#ifndef %1\n#define %1\n").arg(guard);
    text += QLatin1Char('\n') + Define(names.Take(device + QStringLiteral("_POINTER_BYTES")),
                                       QStringLiteral("%1u").arg(map.pointerBytes));
    if (map.incrementFlag != 0) {
        text += Define(names.Take(device + QStringLiteral("_INCREMENT_FLAG")),
                       HexConstant(map.incrementFlag, map.pointerBytes));
    }
    for (const SMapPage& page : map.pages) {
        const SMapRegister& selector = map.registers[static_cast<size_t>(page.selectRegister)];
        text += QStringLiteral("/* page %1: %2 = 0x%3 */\n")
                    .arg(page.name, MapFieldPath(selector, page.selectField))
                    .arg(page.value, 0, 16);
    }

    for (const SMapRegister& reg : map.registers) {
        const QString prefix = device + QLatin1Char('_') + CIdentifierPart(reg.name);
        text += QStringLiteral("\n/* %1").arg(reg.name);
        if (!reg.description.trimmed().isEmpty())
            text += QStringLiteral(": ") + CommentText(reg.description);
        if (reg.page >= 0)
            text += QStringLiteral(" (page %1)").arg(map.pages[static_cast<size_t>(reg.page)].name);
        text += QStringLiteral(" */\n");
        text += Define(names.Take(prefix + QStringLiteral("_ADDR")),
                       HexConstant(reg.address, map.pointerBytes));
        if (reg.reset) {
            text += Define(names.Take(prefix + QStringLiteral("_RESET")),
                           HexConstant(*reg.reset, reg.bytes));
        }
        for (const SMapField& field : reg.fields) {
            const QString fieldPrefix = prefix + QLatin1Char('_') + CIdentifierPart(field.name);
            text += Define(names.Take(fieldPrefix + QStringLiteral("_SHIFT")),
                           QStringLiteral("%1u").arg(field.lsb));
            text += Define(names.Take(fieldPrefix + QStringLiteral("_MASK")),
                           HexConstant(field.Mask(), reg.bytes));
            const int valueBytes = (field.Width() + 7) / 8;
            for (const SMapLabel& label : field.labels) {
                QString part = CIdentifierPart(label.text);
                if (part.isEmpty())
                    part = QStringLiteral("VALUE_%1").arg(label.value);
                text += Define(names.Take(fieldPrefix + QLatin1Char('_') + part),
                               HexConstant(label.value, valueBytes));
            }
        }
    }
    text += QStringLiteral("\n#endif /* %1 */\n").arg(guard);
    return text;
}

QString RegisterMapMarkdown(const SRegisterMap& map)
{
    QString text = QStringLiteral("# %1\n\n").arg(Cell(map.device));
    if (!map.description.trimmed().isEmpty())
        text += map.description.trimmed() + QStringLiteral("\n\n");
    text += QStringLiteral("Register pointer: %1 byte(s), most significant first. Multi-byte "
                           "registers: %2 endian. Reads run across registers: %3.")
                .arg(map.pointerBytes)
                .arg(map.byteOrder == EMapByteOrder::Big ? QStringLiteral("big")
                                                         : QStringLiteral("little"))
                .arg(map.autoIncrement ? QStringLiteral("yes") : QStringLiteral("no"));
    if (map.incrementFlag != 0)
        text += QStringLiteral(" Increment flag: 0x%1.").arg(map.incrementFlag, 0, 16);
    text += QStringLiteral("\n\n");
    if (!map.pages.empty()) {
        text += Row({QStringLiteral("Page"), QStringLiteral("Selected by")});
        text += QStringLiteral("|---|---|\n");
        for (const SMapPage& page : map.pages) {
            const SMapRegister& selector = map.registers[static_cast<size_t>(page.selectRegister)];
            text += Row({page.name, QStringLiteral("%1 = 0x%2")
                                        .arg(MapFieldPath(selector, page.selectField))
                                        .arg(page.value, 0, 16)});
        }
        text += QLatin1Char('\n');
    }

    text += Row({QStringLiteral("Register"), QStringLiteral("Address"), QStringLiteral("Bytes"),
                 QStringLiteral("Access"), QStringLiteral("Reset"), QStringLiteral("Notes"),
                 QStringLiteral("Description")});
    text += QStringLiteral("|---|---|---|---|---|---|---|\n");
    for (const SMapRegister& reg : map.registers) {
        QStringList notes;
        if (reg.page >= 0)
            notes << QStringLiteral("page ") + map.pages[static_cast<size_t>(reg.page)].name;
        if (reg.isVolatile)
            notes << QStringLiteral("volatile");
        if (reg.readClears)
            notes << QStringLiteral("read clears");
        if (reg.bytes > 1 && reg.byteOrder != map.byteOrder)
            notes << (reg.byteOrder == EMapByteOrder::Big ? QStringLiteral("big endian")
                                                          : QStringLiteral("little endian"));
        QString reset;
        if (reg.reset) {
            reset = RegisterValueText(reg, *reg.reset);
            if (reg.resetMask != reg.Mask())
                reset += QStringLiteral(" (mask %1)").arg(RegisterValueText(reg, reg.resetMask));
        }
        text += Row({reg.name, AddressText(map, reg.address), QString::number(reg.bytes),
                     MapAccessText(reg.access), reset, notes.join(QStringLiteral(", ")),
                     reg.description});
    }

    for (const SMapRegister& reg : map.registers) {
        if (reg.fields.empty())
            continue;
        text +=
            QStringLiteral("\n## %1 (%2)\n\n").arg(Cell(reg.name), AddressText(map, reg.address));
        text += Row({QStringLiteral("Field"), QStringLiteral("Bits"), QStringLiteral("Access"),
                     QStringLiteral("Write"), QStringLiteral("Meaning"),
                     QStringLiteral("Description")});
        text += QStringLiteral("|---|---|---|---|---|---|\n");
        for (const SMapField& field : reg.fields) {
            text += Row({field.name, BitsText(field), MapAccessText(field.access),
                         FieldWriteText(field.write), FieldMeaning(field), field.description});
        }
    }
    return text;
}
