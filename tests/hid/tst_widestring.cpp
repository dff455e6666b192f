#include "hid/widestring.h"

#include <QtTest>

#include <vector>

// Code units as given per row; each is converted through both code-unit
// widths where the row applies.
using Units = std::vector<uint32_t>;
Q_DECLARE_METATYPE(Units)

namespace {

template <typename CodeUnit> QByteArray Convert(const Units& units)
{
    std::vector<CodeUnit> text;
    for (uint32_t unit : units) {
        text.push_back(static_cast<CodeUnit>(unit));
    }
    text.push_back(0);
    return QByteArray::fromStdString(WideToUtf8(text.data()));
}

} // namespace

class TestWideString : public QObject {
    Q_OBJECT

private slots:
    void nullPointer()
    {
        QVERIFY(WideToUtf8(static_cast<const char16_t*>(nullptr)).empty());
        QVERIFY(WideToUtf8(static_cast<const wchar_t*>(nullptr)).empty());
    }

    void utf16_data()
    {
        QTest::addColumn<Units>("units");
        QTest::addColumn<QByteArray>("utf8");
        QTest::newRow("empty") << Units{} << QByteArray();
        QTest::newRow("ascii") << Units{'O', 'k'} << QByteArray("Ok");
        QTest::newRow("two bytes") << Units{0xE9, 0x7FF} << QByteArray("\xC3\xA9\xDF\xBF");
        QTest::newRow("three bytes")
            << Units{0x20AC, 0xFFFF} << QByteArray("\xE2\x82\xAC\xEF\xBF\xBF");
        QTest::newRow("surrogate pair") << Units{0xD83D, 0xDE00} << QByteArray("\xF0\x9F\x98\x80");
        QTest::newRow("highest pair") << Units{0xDBFF, 0xDFFF} << QByteArray("\xF4\x8F\xBF\xBF");
        QTest::newRow("lone high at end") << Units{0xD83D} << QByteArray("\xED\xA0\xBD");
        QTest::newRow("high before ascii") << Units{0xD83D, 'A'}
                                           << QByteArray("\xED\xA0\xBD"
                                                         "A");
        QTest::newRow("lone low") << Units{0xDE00} << QByteArray("\xED\xB8\x80");
        QTest::newRow("pair reversed")
            << Units{0xDE00, 0xD83D} << QByteArray("\xED\xB8\x80\xED\xA0\xBD");
    }

    void utf16()
    {
        QFETCH(Units, units);
        QFETCH(QByteArray, utf8);
        QCOMPARE(Convert<char16_t>(units), utf8);
    }

    void utf32_data()
    {
        QTest::addColumn<Units>("units");
        QTest::addColumn<QByteArray>("utf8");
        QTest::newRow("ascii") << Units{'O', 'k'} << QByteArray("Ok");
        QTest::newRow("three bytes") << Units{0x20AC} << QByteArray("\xE2\x82\xAC");
        QTest::newRow("emoji") << Units{0x1F600} << QByteArray("\xF0\x9F\x98\x80");
        QTest::newRow("highest code point") << Units{0x10FFFF} << QByteArray("\xF4\x8F\xBF\xBF");
        // Surrogate values are never paired up in whole code points.
        QTest::newRow("surrogate values")
            << Units{0xD83D, 0xDE00} << QByteArray("\xED\xA0\xBD\xED\xB8\x80");
        QTest::newRow("beyond unicode") << Units{0x110000} << QByteArray("\xEF\xBF\xBD");
        QTest::newRow("all bits") << Units{0xFFFFFFFF, 'x'}
                                  << QByteArray("\xEF\xBF\xBD"
                                                "x");
    }

    void utf32()
    {
        QFETCH(Units, units);
        QFETCH(QByteArray, utf8);
        QCOMPARE(Convert<char32_t>(units), utf8);
    }

    // The HID library's texts are wchar_t; on this platform that takes the
    // whole-code-point rules.
    void wcharProductString()
    {
        const std::string text = WideToUtf8(L"Orvane \U0001F600");
        QCOMPARE(QByteArray::fromStdString(text), QByteArray("Orvane \xF0\x9F\x98\x80"));
    }
};

QTEST_GUILESS_MAIN(TestWideString)
#include "tst_widestring.moc"
