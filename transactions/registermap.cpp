#include "transactions/registermap.h"

#include "numbers/parsenumber.h"
#include "transactions/registeraccess.h"
#include "transactions/valuedecoding.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QStringList MAP_KEYS = {
    QStringLiteral("version"),        QStringLiteral("device"),
    QStringLiteral("description"),    QStringLiteral("pointer_bytes"),
    QStringLiteral("byte_order"),     QStringLiteral("auto_increment"),
    QStringLiteral("increment_flag"), QStringLiteral("pages"),
    QStringLiteral("registers"),
};
const QStringList PAGE_KEYS = {QStringLiteral("name"), QStringLiteral("select"),
                               QStringLiteral("value")};
const QStringList REGISTER_KEYS = {
    QStringLiteral("name"),        QStringLiteral("address"),    QStringLiteral("bytes"),
    QStringLiteral("access"),      QStringLiteral("byte_order"), QStringLiteral("reset"),
    QStringLiteral("reset_mask"),  QStringLiteral("volatile"),   QStringLiteral("read_clears"),
    QStringLiteral("page"),        QStringLiteral("count"),      QStringLiteral("stride"),
    QStringLiteral("description"), QStringLiteral("fields"),
};
const QStringList FIELD_KEYS = {
    QStringLiteral("name"),     QStringLiteral("bits"),        QStringLiteral("signed"),
    QStringLiteral("scale"),    QStringLiteral("offset"),      QStringLiteral("unit"),
    QStringLiteral("decimals"), QStringLiteral("values"),      QStringLiteral("access"),
    QStringLiteral("write"),    QStringLiteral("description"),
};

constexpr int REGISTER_BYTES_MAX = 4;

} // namespace

std::optional<int> ExactStepDecimals(double scale, double offset)
{
    // Near a whole number relative to its own size: a tiny step is no 0.
    const auto isWhole = [](double value, bool zeroAllowed) {
        const double whole = std::round(value);
        if (whole == 0)
            return zeroAllowed && value == 0;
        return std::abs(value - whole) <= 1e-9 * std::abs(value);
    };
    double factor = 1;
    for (int decimals = 0; decimals <= MAP_FIELD_DECIMALS_MAX; ++decimals, factor *= 10) {
        if (isWhole(scale * factor, false) && isWhole(offset * factor, true))
            return decimals;
    }
    return std::nullopt;
}

namespace {

// The fewest decimals that show every step of the scale and the offset;
// for steps no decimal fraction shows exactly (1/1.2) two significant
// digits of the step, at least the watch's 2.
int StepDecimals(double scale, double offset)
{
    if (const std::optional<int> exact = ExactStepDecimals(scale, offset))
        return *exact;
    const int digits = 1 - static_cast<int>(std::floor(std::log10(std::abs(scale))));
    return std::clamp(digits, 2, MAP_FIELD_DECIMALS_MAX);
}

bool IsIdentifier(const QString& name)
{
    if (name.isEmpty() || name.size() > MAP_NAME_LENGTH_MAX)
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
        if (!letter && !(i > 0 && c >= u'0' && c <= u'9'))
            return false;
    }
    return true;
}

std::optional<EMapAccess> ParseAccess(const QString& text)
{
    const QString lower = text.trimmed().toLower();
    if (lower == u"r")
        return EMapAccess::Read;
    if (lower == u"w")
        return EMapAccess::Write;
    if (lower == u"rw")
        return EMapAccess::ReadWrite;
    return std::nullopt;
}

std::optional<EFieldWrite> ParseWrite(const QString& text)
{
    const QString lower = text.trimmed().toLower();
    for (EFieldWrite write :
         {EFieldWrite::Normal, EFieldWrite::W1c, EFieldWrite::W1s, EFieldWrite::W0c}) {
        if (lower == FieldWriteText(write))
            return write;
    }
    return std::nullopt;
}

// Whether a's access includes all of b's.
bool AccessIncludes(EMapAccess a, EMapAccess b)
{
    return (IsReadable(a) || !IsReadable(b)) && (IsWritable(a) || !IsWritable(b));
}

// A whole number in a text: "0x" and hex digits, or decimal digits (a map's
// "010" is ten, not octal); blanks around it are allowed.
std::optional<uint64_t> ParseUnsignedText(QStringView text, bool* hex = nullptr,
                                          QString* reason = nullptr)
{
    text = text.trimmed();
    const bool prefixed = text.startsWith(u"0x", Qt::CaseInsensitive);
    if (hex)
        *hex = prefixed;
    return ParseNumber(text, prefixed ? ENumberSyntax::Hex : ENumberSyntax::Decimal, UINT64_MAX,
                       reason);
}

// A character that breaks a line of output or moves the terminal's cursor.
bool IsLineBreaking(QChar c)
{
    return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
           c == QChar::ParagraphSeparator;
}

bool HasLineBreaking(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), IsLineBreaking);
}

// Characters of a text that a message quotes; a runaway name is cut.
constexpr qsizetype QUOTED_LENGTH_MAX = 40;

// The text in double quotes, its control characters escaped, so that a
// message about a map stays one short line.
QString Quoted(const QString& whole)
{
    const bool cut = whole.size() > QUOTED_LENGTH_MAX;
    const QString text = cut ? whole.left(QUOTED_LENGTH_MAX) : whole;
    QString quoted(QLatin1Char('"'));
    for (QChar c : text) {
        if (c == u'\n')
            quoted += QStringLiteral("\\n");
        else if (c == u'\t')
            quoted += QStringLiteral("\\t");
        else if (IsLineBreaking(c))
            quoted += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            quoted += c;
    }
    return quoted + (cut ? QStringLiteral("…\"") : QStringLiteral("\""));
}

QString JsonText(const QJsonValue& value)
{
    if (value.isString())
        return Quoted(value.toString());
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isNull())
        return QStringLiteral("null");
    if (value.isArray())
        return QStringLiteral("an array");
    return QStringLiteral("an object");
}

QString Hex(uint64_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

struct SFailure {};

// Reads one document; every check that fails throws SFailure with the
// message in m_error, so the checks read as a list. Nothing escapes the
// reader: ParseRegisterMap catches it.
class CMapReader {
public:
    SRegisterMap Read(const QJsonObject& root);
    QString m_error;

private:
    [[noreturn]] void Fail(const QString& place, const QString& reason)
    {
        m_error = place + QStringLiteral(": ") + reason;
        throw SFailure();
    }
    void CheckKeys(const QJsonObject& object, const QStringList& known, const QString& place);
    QString Text(const QJsonObject& object, const QString& key, const QString& place,
                 bool required = false);
    // A text that is printed within a line (a unit, a device name): blanks
    // around it dropped, control characters refused.
    QString LineText(const QJsonObject& object, const QString& key, const QString& place,
                     bool required = false);
    // A description: lines and tabs allowed, other control characters (a
    // NUL, a terminal's escape) refused, since exports and lists show it.
    QString Description(const QJsonObject& object, const QString& place);
    bool Bool(const QJsonObject& object, const QString& key, const QString& place, bool fallback);
    // A whole number from min to max. With hexText, a text must be hex with
    // "0x" unless its value is below 10, where the bases agree: "10" could be
    // either.
    uint32_t Number(const QJsonValue& value, const QString& place, uint64_t min, uint64_t max,
                    bool hexText);
    QString Name(const QJsonObject& object, const QString& place);
    void ReadPages(const QJsonValue& value);
    void ReadRegister(const QJsonObject& object, int index, const QString& place);
    SMapField ReadField(const QJsonObject& object, const SMapRegister& reg, const QString& place);
    void ReadLabels(const QJsonValue& value, SMapField& field, const QString& place);
    double DecodingNumber(const QJsonObject& object, const QString& key, const QString& place,
                          double fallback);
    void ResolvePages(const QJsonArray& pages);

    SRegisterMap m_map;
    int m_labels = 0;
    QHash<QString, int> m_pageIndex; // case-folded name to page
};

void CMapReader::CheckKeys(const QJsonObject& object, const QStringList& known,
                           const QString& place)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key())) {
            const QString at = place.isEmpty() ? it.key() : place + QLatin1Char('.') + it.key();
            // The key as it stands, unless it would break the warning's line.
            m_map.warnings << (HasLineBreaking(at) ? Quoted(at) : at) +
                                  QStringLiteral(": unknown key, ignored");
        }
    }
}

QString CMapReader::Text(const QJsonObject& object, const QString& key, const QString& place,
                         bool required)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() && !required)
        return QString();
    if (value.isUndefined())
        Fail(place + key, QStringLiteral("missing"));
    if (!value.isString())
        Fail(place + key, QStringLiteral("%1 is not a text").arg(JsonText(value)));
    return value.toString();
}

QString CMapReader::Description(const QJsonObject& object, const QString& place)
{
    const QString text = Text(object, QStringLiteral("description"), place);
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control && c != u'\n' && c != u'\r' && c != u'\t') {
            Fail(place + QStringLiteral("description"),
                 QStringLiteral("holds the control character U+%1; a description may hold line "
                                "breaks and tabs, no other control characters")
                     .arg(c.unicode(), 4, 16, QLatin1Char('0')));
        }
    }
    return text;
}

QString CMapReader::LineText(const QJsonObject& object, const QString& key, const QString& place,
                             bool required)
{
    // Checked before the blanks around it go: those include line breaks.
    const QString raw = Text(object, key, place, required);
    const QString text = raw.trimmed();
    if (HasLineBreaking(raw)) {
        Fail(place + key, QStringLiteral("%1 holds a control character (a line break, a tab or "
                                         "the like), which would break the line it is shown in")
                              .arg(Quoted(raw)));
    }
    return text;
}

bool CMapReader::Bool(const QJsonObject& object, const QString& key, const QString& place,
                      bool fallback)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return fallback;
    if (!value.isBool())
        Fail(place + key, QStringLiteral("%1 is not true or false").arg(JsonText(value)));
    return value.toBool();
}

uint32_t CMapReader::Number(const QJsonValue& value, const QString& place, uint64_t min,
                            uint64_t max, bool hexText)
{
    std::optional<uint64_t> number;
    QString reason;
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (d >= 0 && d <= 18446744073709549568.0 && d == std::floor(d))
            number = static_cast<uint64_t>(d);
    } else if (value.isString()) {
        bool hex = false;
        number = ParseUnsignedText(value.toString(), &hex, &reason);
        if (number && hexText && !hex && *number >= 10) {
            Fail(place, QStringLiteral("%1 could be decimal or hex: write hex with 0x "
                                       "(\"0x%2\") or a JSON number (%2)")
                            .arg(JsonText(value), value.toString().trimmed()));
        }
    }
    if (!number) {
        if (!reason.isEmpty())
            reason = QStringLiteral(" (%1)").arg(reason);
        Fail(place,
             hexText ? QStringLiteral("%1 is not a number%2; write a hex text such as "
                                      "\"0x1F\" or a whole JSON number")
                           .arg(JsonText(value), reason)
                     : QStringLiteral("%1 is not a whole number%2").arg(JsonText(value), reason));
    }
    if (*number < min || *number > max) {
        Fail(place, QStringLiteral("%1 is outside %2 to %3")
                        .arg(JsonText(value), hexText ? Hex(min) : QString::number(min),
                             hexText ? Hex(max) : QString::number(max)));
    }
    return static_cast<uint32_t>(*number);
}

QString CMapReader::Name(const QJsonObject& object, const QString& place)
{
    const QString name = Text(object, QStringLiteral("name"), place, true);
    if (!IsIdentifier(name)) {
        Fail(place + QStringLiteral("name"),
             QStringLiteral("%1 is not a name: use letters, digits and _, a letter or _ first, "
                            "at most %2 characters")
                 .arg(Quoted(name))
                 .arg(MAP_NAME_LENGTH_MAX));
    }
    return name;
}

double CMapReader::DecodingNumber(const QJsonObject& object, const QString& key,
                                  const QString& place, double fallback)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return fallback;
    // Read by the watch's rules, so that a scale such as "1/1.2" means the same.
    SDecodingTexts texts;
    QString text;
    if (value.isDouble())
        text = QString::number(value.toDouble(), 'g', 17);
    else if (value.isString())
        text = value.toString();
    else
        Fail(place + key, QStringLiteral("%1 is not a number").arg(JsonText(value)));
    if (text.trimmed().isEmpty())
        Fail(place + key, QStringLiteral("empty"));
    (key == u"scale" ? texts.scale : texts.offset) = text;
    QString error;
    const std::optional<SDecodingRule> rule = ParseDecodingRule(texts, &error);
    if (!rule)
        Fail(place + key, error);
    return key == u"scale" ? rule->scale : rule->offset;
}

void CMapReader::ReadLabels(const QJsonValue& value, SMapField& field, const QString& place)
{
    if (value.isUndefined())
        return;
    if (!value.isObject())
        Fail(place, QStringLiteral("%1 is not an object of value: label").arg(JsonText(value)));
    const QJsonObject object = value.toObject();
    m_labels += static_cast<int>(object.size());
    if (m_labels > MAP_LABELS_MAX)
        Fail(place, QStringLiteral("the map has more than %1 labels").arg(MAP_LABELS_MAX));
    const int width = field.Width();
    // Labels by value and by folded text, so that a field of many labels
    // loads in linear time.
    QHash<uint32_t, size_t> values;
    QHash<QString, size_t> texts;
    values.reserve(object.size());
    texts.reserve(object.size());
    field.labels.reserve(static_cast<size_t>(object.size()));
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString at = place + QLatin1Char('[') + Quoted(it.key()) + QLatin1Char(']');
        const QString keyText = it.key();
        QStringView key = QStringView(keyText).trimmed();
        const bool negative = key.startsWith(u'-');
        if (negative)
            key = key.mid(1);
        bool hex = false;
        QString reason;
        const std::optional<uint64_t> number = ParseUnsignedText(key, &hex, &reason);
        if (!number || (negative && hex)) {
            Fail(at, QStringLiteral("%1 is not a value%2: write decimal or hex with 0x")
                         .arg(Quoted(it.key()),
                              reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason)));
        }
        uint32_t bits = 0;
        if (negative) {
            const uint64_t limit = uint64_t{1} << (width - 1);
            if (!field.isSigned || *number > limit) {
                Fail(at, field.isSigned ? QStringLiteral("%1 does not fit the %2 signed bits of %3")
                                              .arg(it.key())
                                              .arg(width)
                                              .arg(field.name)
                                        : QStringLiteral("%1 is negative, but %2 is not signed")
                                              .arg(it.key(), field.name));
            }
            bits = static_cast<uint32_t>(-static_cast<int64_t>(*number)) & field.ValueMask();
        } else {
            if (*number > field.ValueMask()) {
                Fail(at, QStringLiteral("%1 does not fit the %2 bit(s) of %3 (at most %4)")
                             .arg(it.key())
                             .arg(width)
                             .arg(field.name, Hex(field.ValueMask())));
            }
            bits = static_cast<uint32_t>(*number);
        }
        if (!it.value().isString() || it.value().toString().trimmed().isEmpty())
            Fail(at, QStringLiteral("%1 is not a label text").arg(JsonText(it.value())));
        const QString text = it.value().toString().trimmed();
        if (HasLineBreaking(it.value().toString())) {
            Fail(at, QStringLiteral("the label %1 holds a control character (a line break, a tab "
                                    "or the like), which would break the line it is shown in")
                         .arg(Quoted(it.value().toString())));
        }
        if (const auto same = values.constFind(bits); same != values.constEnd()) {
            Fail(at, QStringLiteral("the value %1 has a label already (%2)")
                         .arg(Hex(bits), Quoted(field.labels[*same].text)));
        }
        // Case folded as a case-insensitive compare folds it.
        const QString folded = text.toCaseFolded();
        if (const auto same = texts.constFind(folded); same != texts.constEnd()) {
            Fail(at, QStringLiteral("the label %1 is given to %2 and %3; labels are told "
                                    "apart without regard to case")
                         .arg(Quoted(text), Hex(field.labels[*same].value), Hex(bits)));
        }
        values.insert(bits, field.labels.size());
        texts.insert(folded, field.labels.size());
        field.labels.push_back({bits, text});
    }
    std::sort(field.labels.begin(), field.labels.end(),
              [](const SMapLabel& a, const SMapLabel& b) { return a.value < b.value; });
}

SMapField CMapReader::ReadField(const QJsonObject& object, const SMapRegister& reg,
                                const QString& place)
{
    CheckKeys(object, FIELD_KEYS, place.chopped(1));
    SMapField field;
    field.name = Name(object, place);

    const QString bitsPlace = place + QStringLiteral("bits");
    const QJsonValue bits = object.value(QStringLiteral("bits"));
    const int registerBits = 8 * reg.bytes;
    if (bits.isUndefined())
        Fail(bitsPlace, QStringLiteral("missing"));
    std::optional<uint64_t> msb;
    std::optional<uint64_t> lsb;
    if (bits.isDouble()) {
        msb = lsb = Number(bits, bitsPlace, 0, UINT32_MAX, false);
    } else if (bits.isString()) {
        // Decimal bit numbers only: "0x3" is no bit number.
        const QString text = bits.toString();
        const bool plain = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
            return c.isDigit() || c == QLatin1Char(':') || c == QLatin1Char(' ');
        });
        const QStringList parts = text.split(QLatin1Char(':'));
        if (plain && parts.size() == 1) {
            msb = lsb = ParseUnsignedText(parts[0]);
        } else if (plain && parts.size() == 2) {
            msb = ParseUnsignedText(parts[0]);
            lsb = ParseUnsignedText(parts[1]);
        }
    }
    if (!msb || !lsb)
        Fail(bitsPlace, QStringLiteral("%1 is not \"MSB:LSB\" or \"N\"").arg(JsonText(bits)));
    if (*msb < *lsb) {
        Fail(bitsPlace, QStringLiteral("%1 has its high bit last; write \"%2:%3\"")
                            .arg(JsonText(bits))
                            .arg(*lsb)
                            .arg(*msb));
    }
    field.msb = static_cast<int>(std::min<uint64_t>(*msb, 64));
    field.lsb = static_cast<int>(std::min<uint64_t>(*lsb, 64));
    if (field.msb >= registerBits) {
        Fail(bitsPlace, QStringLiteral("%1 lies outside the %2 bits of %3 (bits %4 to 0)")
                            .arg(JsonText(bits))
                            .arg(registerBits)
                            .arg(reg.name)
                            .arg(registerBits - 1));
    }

    field.isSigned = Bool(object, QStringLiteral("signed"), place, false);
    field.scale = DecodingNumber(object, QStringLiteral("scale"), place, 1.0);
    if (field.scale == 0)
        Fail(place + QStringLiteral("scale"), QStringLiteral("0 would make every value 0"));
    field.offset = DecodingNumber(object, QStringLiteral("offset"), place, 0.0);
    // Every value of the field's bits must decode to a number: the ends of
    // its range are the largest in size.
    const double low = field.isSigned ? -std::ldexp(1.0, field.Width() - 1) : 0.0;
    const double high = field.isSigned ? std::ldexp(1.0, field.Width() - 1) - 1
                                       : static_cast<double>(field.ValueMask());
    for (const double bitsValue : {low, high}) {
        if (!std::isfinite(bitsValue * field.scale)) {
            Fail(place + QStringLiteral("scale"),
                 QStringLiteral("%1 x %2 is beyond the largest number")
                     .arg(bitsValue, 0, 'g', 12)
                     .arg(field.scale, 0, 'g', 12));
        }
        if (!std::isfinite(bitsValue * field.scale + field.offset)) {
            Fail(place + QStringLiteral("offset"),
                 QStringLiteral("%1 x %2 + %3 is beyond the largest number")
                     .arg(bitsValue, 0, 'g', 12)
                     .arg(field.scale, 0, 'g', 12)
                     .arg(field.offset, 0, 'g', 12));
        }
    }
    field.unit = LineText(object, QStringLiteral("unit"), place);
    const QJsonValue decimals = object.value(QStringLiteral("decimals"));
    field.decimals = decimals.isUndefined()
                         ? StepDecimals(field.scale, field.offset)
                         : static_cast<int>(Number(decimals, place + QStringLiteral("decimals"), 0,
                                                   MAP_FIELD_DECIMALS_MAX, false));
    field.description = Description(object, place);

    field.access = reg.access;
    if (object.contains(QStringLiteral("access"))) {
        const QString text = Text(object, QStringLiteral("access"), place);
        const std::optional<EMapAccess> access = ParseAccess(text);
        if (!access) {
            Fail(place + QStringLiteral("access"),
                 QStringLiteral("%1 is not r, w or rw").arg(Quoted(text)));
        }
        if (!AccessIncludes(reg.access, *access)) {
            Fail(place + QStringLiteral("access"),
                 QStringLiteral("%1 is wider than the register's %2: a field may only narrow it")
                     .arg(Quoted(text), Quoted(MapAccessText(reg.access))));
        }
        field.access = *access;
    }
    if (object.contains(QStringLiteral("write"))) {
        const QString text = Text(object, QStringLiteral("write"), place);
        const std::optional<EFieldWrite> write = ParseWrite(text);
        if (!write) {
            Fail(place + QStringLiteral("write"),
                 QStringLiteral("%1 is not normal, w1c, w1s or w0c").arg(Quoted(text)));
        }
        field.write = *write;
    }
    ReadLabels(object.value(QStringLiteral("values")), field, place + QStringLiteral("values"));
    return field;
}

void CMapReader::ReadRegister(const QJsonObject& object, int index, const QString& at)
{
    const QString place = at + QLatin1Char('.');
    CheckKeys(object, REGISTER_KEYS, at);
    SMapRegister reg;
    reg.definition = index;
    reg.name = Name(object, place);
    const QJsonValue address = object.value(QStringLiteral("address"));
    if (address.isUndefined())
        Fail(place + QStringLiteral("address"), QStringLiteral("missing"));
    reg.address = Number(address, place + QStringLiteral("address"), 0,
                         MaxRegister(m_map.pointerBytes), true);
    if (object.contains(QStringLiteral("bytes"))) {
        reg.bytes =
            static_cast<int>(Number(object.value(QStringLiteral("bytes")),
                                    place + QStringLiteral("bytes"), 1, REGISTER_BYTES_MAX, false));
    }
    if (object.contains(QStringLiteral("access"))) {
        const QString text = Text(object, QStringLiteral("access"), place);
        const std::optional<EMapAccess> access = ParseAccess(text);
        if (!access) {
            Fail(place + QStringLiteral("access"),
                 QStringLiteral("%1 is not r, w or rw").arg(Quoted(text)));
        }
        reg.access = *access;
    }
    reg.byteOrder = m_map.byteOrder;
    if (object.contains(QStringLiteral("byte_order"))) {
        const QString text = Text(object, QStringLiteral("byte_order"), place).trimmed();
        if (text.compare(u"big", Qt::CaseInsensitive) == 0)
            reg.byteOrder = EMapByteOrder::Big;
        else if (text.compare(u"little", Qt::CaseInsensitive) == 0)
            reg.byteOrder = EMapByteOrder::Little;
        else
            Fail(place + QStringLiteral("byte_order"),
                 QStringLiteral("%1 is not big or little").arg(Quoted(text)));
    }
    reg.resetMask = reg.Mask();
    if (object.contains(QStringLiteral("reset"))) {
        reg.reset = Number(object.value(QStringLiteral("reset")), place + QStringLiteral("reset"),
                           0, reg.Mask(), true);
    }
    if (object.contains(QStringLiteral("reset_mask"))) {
        reg.resetMask = Number(object.value(QStringLiteral("reset_mask")),
                               place + QStringLiteral("reset_mask"), 0, reg.Mask(), true);
    }
    reg.isVolatile = Bool(object, QStringLiteral("volatile"), place, false);
    reg.readClears = Bool(object, QStringLiteral("read_clears"), place, false);
    reg.description = Description(object, place);
    if (object.contains(QStringLiteral("page"))) {
        const QString page = Text(object, QStringLiteral("page"), place);
        reg.page = m_pageIndex.value(page.trimmed().toCaseFolded(), -1);
        if (reg.page < 0) {
            QStringList names;
            for (const SMapPage& known : m_map.pages)
                names << known.name;
            Fail(place + QStringLiteral("page"),
                 names.isEmpty() ? QStringLiteral("%1: the map has no pages").arg(Quoted(page))
                                 : QStringLiteral("no page %1; the pages are %2")
                                       .arg(Quoted(page), names.join(QStringLiteral(", "))));
        }
    }

    const QJsonValue fields = object.value(QStringLiteral("fields"));
    if (!fields.isUndefined() && !fields.isArray())
        Fail(place + QStringLiteral("fields"), QStringLiteral("not an array"));
    const QJsonArray fieldArray = fields.toArray();
    uint32_t used = 0;
    for (qsizetype i = 0; i < fieldArray.size(); ++i) {
        const QString fieldAt = place + QStringLiteral("fields[%1]").arg(i);
        if (!fieldArray[i].isObject())
            Fail(fieldAt, QStringLiteral("a field is an object"));
        SMapField field = ReadField(fieldArray[i].toObject(), reg, fieldAt + QLatin1Char('.'));
        if (reg.FindField(field.name) >= 0) {
            Fail(fieldAt + QStringLiteral(".name"),
                 QStringLiteral("%1 is a field of %2 already").arg(field.name, reg.name));
        }
        if (field.Mask() & used) {
            for (const SMapField& other : reg.fields) {
                if (other.Mask() & field.Mask()) {
                    Fail(fieldAt + QStringLiteral(".bits"),
                         QStringLiteral("%1 (%2:%3) overlaps %4 (%5:%6)")
                             .arg(field.name)
                             .arg(field.msb)
                             .arg(field.lsb)
                             .arg(other.name)
                             .arg(other.msb)
                             .arg(other.lsb));
                }
            }
        }
        used |= field.Mask();
        reg.fields.push_back(std::move(field));
    }

    int count = 1;
    uint32_t stride = static_cast<uint32_t>(reg.bytes);
    const bool array = object.contains(QStringLiteral("count"));
    if (array) {
        count = static_cast<int>(Number(object.value(QStringLiteral("count")),
                                        place + QStringLiteral("count"), 1, MAP_ARRAY_COUNT_MAX,
                                        false));
    }
    if (object.contains(QStringLiteral("stride"))) {
        if (!array)
            Fail(place + QStringLiteral("stride"), QStringLiteral("a stride needs a count"));
        stride = Number(object.value(QStringLiteral("stride")), place + QStringLiteral("stride"),
                        static_cast<uint64_t>(reg.bytes), MaxRegister(m_map.pointerBytes), false);
    }
    if (m_map.registers.size() + static_cast<size_t>(count) > MAP_REGISTERS_MAX) {
        Fail(array ? place + QStringLiteral("count") : at,
             QStringLiteral("the map would have more than %1 registers").arg(MAP_REGISTERS_MAX));
    }
    if (array && uint64_t{reg.address} + uint64_t{stride} * static_cast<uint64_t>(count - 1) >
                     MaxRegister(m_map.pointerBytes)) {
        Fail(place + QStringLiteral("count"),
             QStringLiteral("the last of %1 registers %2 apart lies past %3, the end of a "
                            "%4-byte pointer")
                 .arg(count)
                 .arg(stride)
                 .arg(Hex(MaxRegister(m_map.pointerBytes)))
                 .arg(m_map.pointerBytes));
    }

    for (int element = 0; element < count; ++element) {
        SMapRegister copy = reg;
        if (array) {
            copy.name = reg.name + QString::number(element);
            copy.element = element;
            copy.address = reg.address + stride * static_cast<uint32_t>(element);
        }
        const QString key = copy.name.toUpper();
        const auto existing = m_map.registerIndex.constFind(key);
        if (existing != m_map.registerIndex.constEnd()) {
            const SMapRegister& other = m_map.registers[static_cast<size_t>(*existing)];
            Fail(place + QStringLiteral("name"),
                 QStringLiteral("%1 is the name of registers[%2] already (%3); register names are "
                                "told apart without regard to case")
                     .arg(copy.name)
                     .arg(other.definition)
                     .arg(other.name));
        }
        if (m_map.incrementFlag & copy.address) {
            Fail(place + QStringLiteral("address"),
                 QStringLiteral("%1 of %2 has bits of the increment flag %3 set")
                     .arg(Hex(copy.address), copy.name, Hex(m_map.incrementFlag)));
        }
        m_map.registerIndex.insert(key, static_cast<int>(m_map.registers.size()));
        m_map.registers.push_back(std::move(copy));
    }
}

void CMapReader::ReadPages(const QJsonValue& value)
{
    if (value.isUndefined())
        return;
    if (!value.isArray())
        Fail(QStringLiteral("pages"), QStringLiteral("not an array"));
    const QJsonArray pages = value.toArray();
    for (qsizetype i = 0; i < pages.size(); ++i) {
        const QString at = QStringLiteral("pages[%1]").arg(i);
        if (!pages[i].isObject())
            Fail(at, QStringLiteral("a page is an object"));
        const QJsonObject object = pages[i].toObject();
        CheckKeys(object, PAGE_KEYS, at);
        SMapPage page;
        page.name = Name(object, at + QLatin1Char('.'));
        const QString key = page.name.toCaseFolded();
        if (m_pageIndex.contains(key))
            Fail(at + QStringLiteral(".name"),
                 QStringLiteral("%1 is a page already").arg(page.name));
        m_pageIndex.insert(key, static_cast<int>(m_map.pages.size()));
        m_map.pages.push_back(page);
    }
}

void CMapReader::ResolvePages(const QJsonArray& pages)
{
    for (qsizetype i = 0; i < pages.size(); ++i) {
        const QString place = QStringLiteral("pages[%1].").arg(i);
        const QJsonObject object = pages[i].toObject();
        SMapPage& page = m_map.pages[static_cast<size_t>(i)];
        const QString select = Text(object, QStringLiteral("select"), place, true).trimmed();
        const qsizetype dot = select.indexOf(QLatin1Char('.'));
        const QString registerName = dot < 0 ? select : select.left(dot);
        page.selectRegister = m_map.FindRegister(registerName);
        if (page.selectRegister < 0) {
            const QStringList near = NearNames(m_map.RegisterNames(), registerName);
            Fail(place + QStringLiteral("select"),
                 QStringLiteral("no register %1%2")
                     .arg(Quoted(registerName), near.isEmpty()
                                                    ? QString()
                                                    : QStringLiteral("; near names: ") +
                                                          near.join(QStringLiteral(", "))));
        }
        const SMapRegister& reg = m_map.registers[static_cast<size_t>(page.selectRegister)];
        if (reg.page >= 0) {
            Fail(place + QStringLiteral("select"),
                 QStringLiteral("%1 lies on page %2 itself")
                     .arg(reg.name, m_map.pages[static_cast<size_t>(reg.page)].name));
        }
        if (!reg.IsWritable())
            Fail(place + QStringLiteral("select"), QStringLiteral("%1 is read-only").arg(reg.name));
        uint32_t max = reg.Mask();
        if (dot >= 0) {
            const QString fieldName = select.mid(dot + 1);
            page.selectField = reg.FindField(fieldName);
            if (page.selectField < 0) {
                Fail(place + QStringLiteral("select"),
                     QStringLiteral("%1 has no field %2").arg(reg.name, Quoted(fieldName)));
            }
            const SMapField& field = reg.fields[static_cast<size_t>(page.selectField)];
            if (!field.IsWritable()) {
                Fail(place + QStringLiteral("select"),
                     QStringLiteral("%1 is read-only").arg(MapFieldPath(reg, page.selectField)));
            }
            if (!reg.IsReadable()) {
                Fail(place + QStringLiteral("select"),
                     QStringLiteral("%1 is write-only, so one field of it cannot be written "
                                    "alone; select with the whole register")
                         .arg(reg.name));
            }
            max = field.ValueMask();
        }
        if (!object.contains(QStringLiteral("value")))
            Fail(place + QStringLiteral("value"), QStringLiteral("missing"));
        page.value = Number(object.value(QStringLiteral("value")), place + QStringLiteral("value"),
                            0, max, true);
    }
}

SRegisterMap CMapReader::Read(const QJsonObject& root)
{
    CheckKeys(root, MAP_KEYS, QString());
    const QJsonValue version = root.value(QStringLiteral("version"));
    if (!version.isUndefined()) {
        if (!version.isDouble())
            Fail(QStringLiteral("version"),
                 QStringLiteral("%1 is not a number; write \"version\": %2")
                     .arg(JsonText(version))
                     .arg(MAP_FORMAT_VERSION));
        const uint32_t number = Number(version, QStringLiteral("version"), 1, UINT32_MAX, false);
        if (number > MAP_FORMAT_VERSION) {
            Fail(QStringLiteral("version"),
                 QStringLiteral("%1 is newer than this program reads (%2)")
                     .arg(number)
                     .arg(MAP_FORMAT_VERSION));
        }
    }
    m_map.device = LineText(root, QStringLiteral("device"), QString(), true);
    if (m_map.device.isEmpty())
        Fail(QStringLiteral("device"), QStringLiteral("empty"));
    m_map.description = Description(root, QString());
    if (root.contains(QStringLiteral("pointer_bytes"))) {
        m_map.pointerBytes = static_cast<int>(
            Number(root.value(QStringLiteral("pointer_bytes")), QStringLiteral("pointer_bytes"),
                   REGISTER_WIDTH_MIN, REGISTER_WIDTH_MAX, false));
    }
    if (root.contains(QStringLiteral("byte_order"))) {
        const QString text = Text(root, QStringLiteral("byte_order"), QString()).trimmed();
        if (text.compare(u"big", Qt::CaseInsensitive) == 0)
            m_map.byteOrder = EMapByteOrder::Big;
        else if (text.compare(u"little", Qt::CaseInsensitive) == 0)
            m_map.byteOrder = EMapByteOrder::Little;
        else
            Fail(QStringLiteral("byte_order"),
                 QStringLiteral("%1 is not big or little").arg(Quoted(text)));
    }
    m_map.autoIncrement = Bool(root, QStringLiteral("auto_increment"), QString(), false);
    if (root.contains(QStringLiteral("increment_flag"))) {
        m_map.incrementFlag =
            Number(root.value(QStringLiteral("increment_flag")), QStringLiteral("increment_flag"),
                   1, MaxRegister(m_map.pointerBytes), true);
    }
    ReadPages(root.value(QStringLiteral("pages")));

    const QJsonValue registers = root.value(QStringLiteral("registers"));
    if (!registers.isArray())
        Fail(QStringLiteral("registers"),
             registers.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not an array"));
    const QJsonArray array = registers.toArray();
    if (array.isEmpty())
        Fail(QStringLiteral("registers"), QStringLiteral("the map has no registers"));
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QString at = QStringLiteral("registers[%1]").arg(i);
        if (!array[i].isObject())
            Fail(at, QStringLiteral("a register is an object"));
        ReadRegister(array[i].toObject(), static_cast<int>(i), at);
    }
    ResolvePages(root.value(QStringLiteral("pages")).toArray());
    return std::move(m_map);
}

// "line 3, column 7" of a byte offset into the text.
QString LineAndColumn(const QByteArray& text, qsizetype offset)
{
    offset = std::clamp<qsizetype>(offset, 0, text.size());
    const QByteArrayView before(text.constData(), offset);
    const qsizetype lineStart = before.lastIndexOf('\n') + 1;
    const qsizetype line = before.count('\n') + 1;
    const qsizetype column =
        QString::fromUtf8(text.constData() + lineStart, offset - lineStart).size() + 1;
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}

bool Refuse(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// The first key given twice in one object of JSON text that parsed, with
// its place. The JSON reader keeps the last silently, so a map that says
// "device" twice would load with one of them dropped.
std::optional<QString> RepeatedKey(const QByteArray& text)
{
    struct SLevel {
        bool object = false;
        bool keyNext = false;
        QSet<QByteArray> keys;
    };
    std::vector<SLevel> levels;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' || c == '[') {
            levels.push_back({c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (!levels.empty())
                levels.pop_back();
        } else if (c == ',') {
            if (!levels.empty() && levels.back().object)
                levels.back().keyNext = true;
        } else if (c == '"') {
            const qsizetype start = i;
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\')
                    ++i;
            }
            if (levels.empty() || !levels.back().keyNext)
                continue;
            levels.back().keyNext = false;
            QByteArray key = text.mid(start + 1, i - start - 1);
            // Escapes spell one key in many ways: compare what they mean.
            if (key.contains('\\')) {
                key =
                    QJsonDocument::fromJson("[\"" + key + "\"]").array().at(0).toString().toUtf8();
            }
            if (levels.back().keys.contains(key)) {
                return QStringLiteral("%1: the key %2 is given twice in one object")
                    .arg(LineAndColumn(text, start), Quoted(QString::fromUtf8(key)));
            }
            levels.back().keys.insert(key);
        }
    }
    return std::nullopt;
}

} // namespace

bool IsReadable(EMapAccess access)
{
    return access != EMapAccess::Write;
}

bool IsWritable(EMapAccess access)
{
    return access != EMapAccess::Read;
}

QString MapAccessText(EMapAccess access)
{
    switch (access) {
    case EMapAccess::Read:
        return QStringLiteral("r");
    case EMapAccess::Write:
        return QStringLiteral("w");
    case EMapAccess::ReadWrite:
        break;
    }
    return QStringLiteral("rw");
}

QString FieldWriteText(EFieldWrite write)
{
    switch (write) {
    case EFieldWrite::W1c:
        return QStringLiteral("w1c");
    case EFieldWrite::W1s:
        return QStringLiteral("w1s");
    case EFieldWrite::W0c:
        return QStringLiteral("w0c");
    case EFieldWrite::Normal:
        break;
    }
    return QStringLiteral("normal");
}

uint32_t SMapField::ValueMask() const
{
    return Width() >= 32 ? UINT32_MAX : (uint32_t{1} << Width()) - 1;
}

uint32_t SMapField::Mask() const
{
    return ValueMask() << lsb;
}

const QString* SMapField::LabelOf(uint32_t value) const
{
    const auto it =
        std::lower_bound(labels.begin(), labels.end(), value,
                         [](const SMapLabel& label, uint32_t v) { return label.value < v; });
    return it != labels.end() && it->value == value ? &it->text : nullptr;
}

const SMapLabel* SMapField::FindLabel(QStringView text) const
{
    text = text.trimmed();
    for (const SMapLabel& label : labels) {
        if (text.compare(label.text, Qt::CaseInsensitive) == 0)
            return &label;
    }
    return nullptr;
}

uint32_t SMapRegister::Mask() const
{
    return bytes >= 4 ? UINT32_MAX : (uint32_t{1} << (8 * bytes)) - 1;
}

int SMapRegister::FindField(QStringView name) const
{
    name = name.trimmed();
    for (size_t i = 0; i < fields.size(); ++i) {
        if (name.compare(fields[i].name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int SRegisterMap::FindRegister(QStringView name) const
{
    return registerIndex.value(name.trimmed().toString().toUpper(), -1);
}

int SRegisterMap::FindPage(QStringView name) const
{
    name = name.trimmed();
    for (size_t i = 0; i < pages.size(); ++i) {
        if (name.compare(pages[i].name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

QStringList SRegisterMap::RegisterNames() const
{
    QStringList names;
    names.reserve(static_cast<qsizetype>(registers.size()));
    for (const SMapRegister& reg : registers)
        names << reg.name;
    return names;
}

std::optional<SRegisterMap> ParseRegisterMap(const QByteArray& text, QString* error)
{
    if (text.size() > MAP_FILE_SIZE_MAX) {
        Refuse(error, QStringLiteral("too large (%1 bytes, at most %2)")
                          .arg(text.size())
                          .arg(MAP_FILE_SIZE_MAX));
        return std::nullopt;
    }
    QByteArray body = text;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(body);
    if (decoder.hasError()) {
        Refuse(error, QStringLiteral("not UTF-8 text"));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (document.isNull()) {
        Refuse(error, QStringLiteral("%1: JSON error: %2")
                          .arg(LineAndColumn(body, parseError.offset), parseError.errorString()));
        return std::nullopt;
    }
    if (!document.isObject()) {
        Refuse(error, QStringLiteral("the map is not a JSON object"));
        return std::nullopt;
    }
    if (const std::optional<QString> repeated = RepeatedKey(body)) {
        Refuse(error, *repeated);
        return std::nullopt;
    }
    CMapReader reader;
    try {
        return reader.Read(document.object());
    } catch (const SFailure&) {
        Refuse(error, reader.m_error);
        return std::nullopt;
    }
}

std::optional<SRegisterMap> LoadRegisterMap(const QString& path, QString* error)
{
    // The system would take the path up to its NUL: another file.
    if (path.contains(QChar(0))) {
        Refuse(error, QStringLiteral("a path cannot hold a NUL character"));
        return std::nullopt;
    }
    // Opened without blocking and checked by its descriptor: a FIFO named
    // *.i2cmap would otherwise wait for a writer for ever.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Refuse(error, qt_error_string(errno));
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        Refuse(error, QStringLiteral("not a regular file"));
        return std::nullopt;
    }
    if (status.st_size > MAP_FILE_SIZE_MAX) {
        ::close(fd);
        Refuse(error, QStringLiteral("too large (%1 bytes, at most %2)")
                          .arg(status.st_size)
                          .arg(MAP_FILE_SIZE_MAX));
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Refuse(error, file.errorString());
        return std::nullopt;
    }
    // One byte more than allowed tells a file that grew meanwhile.
    const QByteArray text = file.read(MAP_FILE_SIZE_MAX + 1);
    if (file.error() != QFileDevice::NoError) {
        Refuse(error, file.errorString());
        return std::nullopt;
    }
    std::optional<SRegisterMap> map = ParseRegisterMap(text, error);
    if (map)
        map->filePath = path;
    return map;
}

namespace {

// Edits between two names, a swap of neighbours counting as one (TMEP for
// TEMP).
int EditDistance(const QString& a, const QString& b)
{
    const size_t columns = static_cast<size_t>(b.size()) + 1;
    std::vector<int> d((static_cast<size_t>(a.size()) + 1) * columns);
    const auto at = [&d, columns](qsizetype i, qsizetype j) -> int& {
        return d[static_cast<size_t>(i) * columns + static_cast<size_t>(j)];
    };
    for (qsizetype i = 0; i <= a.size(); ++i)
        at(i, 0) = static_cast<int>(i);
    for (qsizetype j = 0; j <= b.size(); ++j)
        at(0, j) = static_cast<int>(j);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
        }
    }
    return at(a.size(), b.size());
}

} // namespace

QStringList NearNames(const QStringList& names, QStringView wanted, int max)
{
    const QString key = wanted.trimmed().toString().toUpper();
    if (key.isEmpty() || key.size() > 4 * MAP_NAME_LENGTH_MAX)
        return {};
    const int limit = std::max<int>(1, static_cast<int>(key.size()) / 3);
    std::vector<std::pair<int, QString>> near;
    for (const QString& name : names) {
        const QString upper = name.toUpper();
        int distance = EditDistance(key, upper);
        if (distance > limit && (upper.startsWith(key) || key.startsWith(upper)))
            distance = limit;
        if (distance <= limit)
            near.emplace_back(distance, name);
    }
    std::stable_sort(near.begin(), near.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList result;
    for (const auto& [distance, name] : near) {
        if (result.size() >= max)
            break;
        result << name;
    }
    return result;
}

QString MapFieldPath(const SMapRegister& reg, int field)
{
    if (field < 0 || static_cast<size_t>(field) >= reg.fields.size())
        return reg.name;
    return reg.name + QLatin1Char('.') + reg.fields[static_cast<size_t>(field)].name;
}
