#include "transactions/registermapexport.h"

#include "transactions/registercodec.h"

#include <cmath>

#include <QHash>
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

// The header's identifiers and what each was made from: two things that
// come out as one name refuse the header, since a suffix chosen by order
// would let a define change meaning when the map is reordered.
class CNames {
public:
    QString Take(const QString& name, const QString& origin)
    {
        const auto it = m_used.constFind(name);
        if (it == m_used.constEnd())
            m_used.insert(name, origin);
        else if (m_clash.isEmpty())
            m_clash = QStringLiteral("%1 and %2 both make the C name %3; rename one of them")
                          .arg(*it, origin, name);
        return name;
    }
    const QString& Clash() const { return m_clash; }

private:
    QHash<QString, QString> m_used;
    QString m_clash;
};

// A label as part of an identifier, its signs kept: "+1.5 °C" is
// PLUS_1_5_C and "-1.5 °C" MINUS_1_5_C. A + or - before a digit counts as
// a sign where it does not follow a letter or digit ("a-1" is A_1).
QString LabelIdentifierPart(QStringView text)
{
    QString spelt;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool minus = c == u'-' || c == QChar(0x2212);
        const bool afterWord = i > 0 && text[i - 1].isLetterOrNumber();
        qsizetype next = i + 1;
        if (next < text.size() && text[next] == u'.')
            ++next;
        const bool beforeDigit = next < text.size() && text[next].isDigit();
        if ((minus || c == u'+') && beforeDigit && !afterWord)
            spelt += minus ? QStringLiteral(" MINUS ") : QStringLiteral(" PLUS ");
        else
            spelt += c;
    }
    return CIdentifierPart(spelt);
}

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

QString RegisterMapHeader(const SRegisterMap& map, QString* error)
{
    QString device = CIdentifierPart(map.device);
    if (device.isEmpty() || device[0].isDigit())
        device = QStringLiteral("CHIP_") + device;
    if (device.endsWith(QLatin1Char('_')))
        device.chop(1);
    CNames names;
    const QString guard =
        names.Take(device + QStringLiteral("_REGISTERS_H"), QStringLiteral("the include guard"));

    QString text;
    text += QStringLiteral("/* %1 registers").arg(CommentText(map.device));
    if (!map.description.trimmed().isEmpty())
        text += QStringLiteral(": ") + CommentText(map.description);
    text += QStringLiteral("\n * Made from its register map; a field's values are its own bits,"
                           "\n * (value & MASK) >> SHIFT. */\n");
    text += QStringLiteral("#ifndef %1\n#define %1\n").arg(guard);
    text += QLatin1Char('\n') + Define(names.Take(device + QStringLiteral("_POINTER_BYTES"),
                                                  QStringLiteral("the pointer size")),
                                       QStringLiteral("%1u").arg(map.pointerBytes));
    if (map.incrementFlag != 0) {
        text += Define(names.Take(device + QStringLiteral("_INCREMENT_FLAG"),
                                  QStringLiteral("the increment flag")),
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
        text += Define(names.Take(prefix + QStringLiteral("_ADDR"),
                                  QStringLiteral("the address of ") + reg.name),
                       HexConstant(reg.address, map.pointerBytes));
        if (reg.reset) {
            text += Define(names.Take(prefix + QStringLiteral("_RESET"),
                                      QStringLiteral("the reset value of ") + reg.name),
                           HexConstant(*reg.reset, reg.bytes));
        }
        for (size_t f = 0; f < reg.fields.size(); ++f) {
            const SMapField& field = reg.fields[f];
            const QString path = MapFieldPath(reg, static_cast<int>(f));
            const QString fieldPrefix = prefix + QLatin1Char('_') + CIdentifierPart(field.name);
            text += Define(names.Take(fieldPrefix + QStringLiteral("_SHIFT"),
                                      QStringLiteral("the shift of ") + path),
                           QStringLiteral("%1u").arg(field.lsb));
            text += Define(names.Take(fieldPrefix + QStringLiteral("_MASK"),
                                      QStringLiteral("the mask of ") + path),
                           HexConstant(field.Mask(), reg.bytes));
            const int valueBytes = (field.Width() + 7) / 8;
            for (const SMapLabel& label : field.labels) {
                QString part = LabelIdentifierPart(label.text);
                if (part.isEmpty())
                    part = QStringLiteral("VALUE_%1").arg(label.value);
                text += Define(
                    names.Take(fieldPrefix + QLatin1Char('_') + part,
                               QStringLiteral("the label \"%1\" of %2").arg(label.text, path)),
                    HexConstant(label.value, valueBytes));
            }
        }
    }
    text += QStringLiteral("\n#endif /* %1 */\n").arg(guard);
    if (!names.Clash().isEmpty()) {
        if (error)
            *error = names.Clash();
        return QString();
    }
    return text;
}

QString RegisterMapMarkdown(const SRegisterMap& map)
{
    QString text = QStringLiteral("# %1\n\n").arg(Cell(map.device));
    if (!map.description.trimmed().isEmpty())
        // One paragraph: a line of its own could start a heading or a list.
        text += map.description.simplified() + QStringLiteral("\n\n");
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
