#include "numbers/parsenumber.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ParseNumber", text);
}

std::optional<uint64_t> refuse(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}

int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace

QString FormatNumberLimit(uint64_t maximum, ENumberSyntax syntax)
{
    const QString hex = QStringLiteral("0x") + QString::number(maximum, 16);
    switch (syntax) {
    case ENumberSyntax::Hex:
        return hex;
    case ENumberSyntax::Decimal:
        return QString::number(maximum);
    case ENumberSyntax::I2cTools:
        break;
    }
    return maximum < 10 ? QString::number(maximum)
                        : QStringLiteral("%1 (%2)").arg(QString::number(maximum), hex);
}

std::optional<uint64_t> ParseNumber(QStringView text, ENumberSyntax syntax, uint64_t maximum,
                                    QString* error)
{
    if (text.isEmpty())
        return refuse(error, tr("no number was given"));
    if (text.front().isSpace() || text.back().isSpace())
        return refuse(error, tr("blanks are not allowed around a number"));
    if (text.front() == u'+' || text.front() == u'-')
        return refuse(error, tr("a number here takes no sign"));

    int base = 10;
    QStringView digits = text;
    const bool hexPrefix =
        text.size() >= 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X');
    if (syntax == ENumberSyntax::Hex) {
        base = 16;
        if (hexPrefix)
            digits = text.mid(2);
    } else if (syntax == ENumberSyntax::I2cTools) {
        if (hexPrefix) {
            base = 16;
            digits = text.mid(2);
        } else if (text.size() > 1 && text[0] == u'0') {
            base = 8;
            digits = text.mid(1);
        }
    }
    if (digits.isEmpty())
        return refuse(error, tr("no hex digits follow 0x"));

    uint64_t value = 0;
    bool tooLarge = false;
    for (QChar c : digits) {
        const int digit = digitValue(c);
        if (digit < 0 || digit >= base) {
            const QString quoted = QStringLiteral("\"%1\"").arg(c);
            if (c.isSpace())
                return refuse(error, tr("a number has no blanks inside"));
            if (base == 16)
                return refuse(error, tr("%1 is not a hex digit").arg(quoted));
            if (base == 8 && digit >= 0 && digit < 10) {
                return refuse(error, tr("%1 is not an octal digit: a leading 0 makes a number "
                                        "octal, as in the i2c-tools")
                                         .arg(quoted));
            }
            return refuse(error, tr("%1 is not a digit").arg(quoted));
        }
        // Go on reading, so that a bad digit after an overflow is named.
        if (!tooLarge) {
            if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
                tooLarge = true;
            else
                value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        }
    }
    if (tooLarge || value > maximum) {
        return refuse(error,
                      tr("the largest value here is %1").arg(FormatNumberLimit(maximum, syntax)));
    }
    return value;
}
