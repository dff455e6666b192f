// The one number parser: i2c-tools' rules, the hex-only and the decimal
// syntax, and the reason of every refusal.

#include "numbers/parsenumber.h"

#include <QTest>

Q_DECLARE_METATYPE(ENumberSyntax)

namespace {

constexpr ENumberSyntax I2C = ENumberSyntax::I2cTools;
constexpr ENumberSyntax HEX = ENumberSyntax::Hex;
constexpr ENumberSyntax DEC = ENumberSyntax::Decimal;

} // namespace

class TstParseNumber : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TstParseNumber::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<ENumberSyntax>("syntax");
    QTest::addColumn<quint64>("maximum");
    QTest::addColumn<quint64>("value");
    // Empty for a number; otherwise how the refusal's reason begins.
    QTest::addColumn<QString>("error");

    const auto ok = [](const char* name, const char* text, ENumberSyntax syntax, quint64 maximum,
                       quint64 value) {
        QTest::newRow(name) << QString::fromUtf8(text) << syntax << maximum << value << QString();
    };
    const auto no = [](const char* name, const char* text, ENumberSyntax syntax, quint64 maximum,
                       const char* error) {
        QTest::newRow(name) << QString::fromUtf8(text) << syntax << maximum << quint64(0)
                            << QString::fromUtf8(error);
    };
    ok("i2c-tools hex", "0x10", I2C, 255, 16);
    ok("i2c-tools upper-case X and digits", "0XfF", I2C, 255, 255);
    ok("i2c-tools decimal", "16", I2C, 255, 16);
    ok("i2c-tools octal", "020", I2C, 255, 16);
    ok("i2c-tools 010 is eight", "010", I2C, 255, 8);
    ok("i2c-tools zero", "0", I2C, 0, 0);
    ok("i2c-tools 00 is octal zero", "00", I2C, 0, 0);
    ok("i2c-tools at the maximum", "0xffffffff", I2C, UINT32_MAX, UINT32_MAX);
    ok("i2c-tools 64 bits", "0xffffffffffffffff", I2C, UINT64_MAX, UINT64_MAX);
    no("i2c-tools above the maximum", "256", I2C, 255, "the largest value here is 255 (0xff)");
    no("i2c-tools small maximum", "0x3", I2C, 2, "the largest value here is 2");
    no("i2c-tools overflow", "0x10000000000000000", I2C, UINT64_MAX,
       "the largest value here is 18446744073709551615 (0xffffffffffffffff)");
    no("i2c-tools decimal overflow", "99999999999999999999", I2C, UINT64_MAX,
       "the largest value here is");
    no("i2c-tools 08", "08", I2C, 255,
       "\"8\" is not an octal digit: a leading 0 makes a number octal, as in the i2c-tools");
    no("i2c-tools 0x alone", "0x", I2C, 255, "no hex digits follow 0x");
    no("i2c-tools hex digit without 0x", "1f", I2C, 255, "\"f\" is not a digit");
    no("i2c-tools bad hex digit", "0x1g", I2C, 255, "\"g\" is not a hex digit");
    no("i2c-tools plus", "+1", I2C, 255, "a number here takes no sign");
    no("i2c-tools minus", "-1", I2C, 255, "a number here takes no sign");
    no("i2c-tools blank before", " 1", I2C, 255, "blanks are not allowed around a number");
    no("i2c-tools blank after", "1\t", I2C, 255, "blanks are not allowed around a number");
    no("i2c-tools blank inside", "1 2", I2C, 255, "a number has no blanks inside");
    no("i2c-tools empty", "", I2C, 255, "no number was given");
    no("i2c-tools suffix", "12k", I2C, 255, "\"k\" is not a digit");
    no("i2c-tools Arabic-Indic digit", "\u0661", I2C, 255, "\"\u0661\" is not a digit");
    ok("hex without 0x", "ff", HEX, 255, 255);
    ok("hex with 0x", "0x7F", HEX, 255, 127);
    ok("hex leading zero is no octal", "010", HEX, 255, 16);
    no("hex above the maximum", "0x80", HEX, 0x7f, "the largest value here is 0x7f");
    no("hex 0x alone", "0x", HEX, 255, "no hex digits follow 0x");
    no("hex bad digit", "0xzz", HEX, 255, "\"z\" is not a hex digit");
    no("hex sign", "-0x1", HEX, 255, "a number here takes no sign");
    ok("decimal", "123", DEC, 1000, 123);
    ok("decimal leading zero is no octal", "010", DEC, 1000, 10);
    no("decimal takes no 0x", "0x10", DEC, 1000, "\"x\" is not a digit");
    no("decimal above the maximum", "1001", DEC, 1000, "the largest value here is 1000");
}

void TstParseNumber::parse()
{
    QFETCH(QString, text);
    QFETCH(ENumberSyntax, syntax);
    QFETCH(quint64, maximum);
    QFETCH(quint64, value);
    QFETCH(QString, error);

    QString reason;
    const std::optional<uint64_t> parsed = ParseNumber(text, syntax, maximum, &reason);
    if (error.isEmpty()) {
        QVERIFY2(parsed, qPrintable(reason));
        QCOMPARE(*parsed, value);
        QVERIFY(reason.isEmpty());
    } else {
        QVERIFY(!parsed);
        QVERIFY2(reason.startsWith(error), qPrintable(reason));
    }
}

QTEST_APPLESS_MAIN(TstParseNumber)
#include "tst_parsenumber.moc"
