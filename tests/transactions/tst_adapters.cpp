// The adapter rules the front ends share: traits, listing, choosing and
// connecting, on the simulated HID stack.

#include "sim/adapters/simorvadapter.h"
#include "transactions/adapters.h"

#include <QTest>

namespace {

SAdapterChoiceWords Words()
{
    SAdapterChoiceWords words;
    words.lister = QStringLiteral("LIST");
    words.giveSerial = QStringLiteral("GIVE.");
    words.chooseOne = QStringLiteral("CHOOSE %1.");
    words.quote = [](const QString& text) { return QStringLiteral("<%1>").arg(text); };
    return words;
}

QList<int> Speeds(const SAdapterTraits& traits)
{
    QList<int> hz;
    for (EI2cSpeed speed : traits.speeds)
        hz.append(static_cast<int>(AdapterSpeed(speed).hz));
    return hz;
}

} // namespace

class TestAdapters : public QObject {
    Q_OBJECT

private slots:
    void init() { CSimHidStack::Instance().Reset(); }
    void cleanup() { CSimHidStack::Instance().Reset(); }

    void traits_data();
    void traits();
    void speedOfHz();
    void listingDescribesEachAdapter();
    void choice_data();
    void choice();
    void connectRefusesPullUpsOffWithoutSwitch();
};

void TestAdapters::traits_data()
{
    QTest::addColumn<EOrvType>("type");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QList<int>>("speeds");
    QTest::addColumn<int>("maxRead");
    QTest::addColumn<bool>("pullUpSwitch");
    QTest::addColumn<bool>("addressOnlyWrite");

    const QList<int> all{10'000, 50'000, 100'000, 400'000, 1'000'000};
    QTest::newRow("Orvane3") << EOrvType::Orv3 << "Orvane3" << all << 65535 << false << true;
    QTest::newRow("Orvane5") << EOrvType::Orv5 << "Orvane5" << QList<int>{50'000, 100'000, 400'000}
                             << 256 << true << false;
    QTest::newRow("Orvane7") << EOrvType::Orv7 << "Orvane7" << all << 65535 << false << true;
}

void TestAdapters::traits()
{
    QFETCH(EOrvType, type);
    QFETCH(QString, model);
    QFETCH(QList<int>, speeds);
    QFETCH(int, maxRead);
    QFETCH(bool, pullUpSwitch);
    QFETCH(bool, addressOnlyWrite);

    const SAdapterTraits traits = AdapterTraits(type);
    QCOMPARE(traits.model, model);
    QCOMPARE(Speeds(traits), speeds);
    QCOMPARE(traits.maxRead, static_cast<size_t>(maxRead));
    QCOMPARE(traits.pullUpSwitch, pullUpSwitch);
    QCOMPARE(traits.addressOnlyWrite, addressOnlyWrite);
}

void TestAdapters::speedOfHz()
{
    QCOMPARE(AdapterSpeedOfHz(400'000), std::optional<EI2cSpeed>(EI2cSpeed::Speed400k));
    QVERIFY(!AdapterSpeedOfHz(0));
    QVERIFY(!AdapterSpeedOfHz(400'001));
    QCOMPARE(QString::fromLatin1(AdapterSpeed(EI2cSpeed::Speed1000k).name),
             QStringLiteral("1000k"));
}

void TestAdapters::listingDescribesEachAdapter()
{
    SSimOrvOptions options;
    options.product = L"Bench probe";
    options.releaseNumber = 0x0123;
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv5, L"B", options));
    QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"A"));

    const std::vector<SAdapterListing> list = ListAdapters();
    QCOMPARE(list.size(), size_t(2));
    QCOMPARE(list[0].Serial(), QStringLiteral("A"));
    QCOMPARE(list[0].traits.model, QStringLiteral("Orvane3"));
    QCOMPARE(list[1].Serial(), QStringLiteral("B"));
    QCOMPARE(list[1].product, QStringLiteral("Bench probe"));
    QCOMPARE(list[1].firmware, uint16_t(0x0123));
    QCOMPARE(list[1].traits.maxRead, size_t(256));
}

void TestAdapters::choice_data()
{
    QTest::addColumn<QStringList>("plugged"); // Orvane3 serial numbers
    QTest::addColumn<QString>("asked");       // empty: none asked for
    QTest::addColumn<EAdapterChoice>("outcome");
    QTest::addColumn<QString>("message");

    QTest::newRow("none attached")
        << QStringList{} << QString() << EAdapterChoice::NoneAttached
        << "no Orvane adapter is attached. Plug one in and check with LIST.";
    QTest::newRow("the only one") << QStringList{"A"} << QString() << EAdapterChoice::Chosen
                                  << QString();
    QTest::newRow("several") << QStringList{"B", "A"} << QString()
                             << EAdapterChoice::SeveralAttached
                             << "2 adapters are attached: A (Orvane3), B (Orvane3). CHOOSE A.";
    QTest::newRow("by serial") << QStringList{"B", "A"} << "B" << EAdapterChoice::Chosen
                               << QString();
    QTest::newRow("not attached")
        << QStringList{"A"} << "Z" << EAdapterChoice::NotAttached
        << "no adapter with the serial number <Z> is attached. Attached: A (Orvane3). GIVE.";
}

void TestAdapters::choice()
{
    QFETCH(QStringList, plugged);
    QFETCH(QString, asked);
    QFETCH(EAdapterChoice, outcome);
    QFETCH(QString, message);

    for (const QString& serial : plugged)
        QVERIFY(CSimOrvAdapter::Plug(ESimOrvModel::Orv3, serial.toStdWString()));
    const SAdapterChoiceResult result =
        ChooseAdapter(asked.isEmpty() ? std::nullopt : std::optional<QString>(asked), Words());
    QCOMPARE(result.outcome, outcome);
    QCOMPARE(result.message, message);
    if (outcome == EAdapterChoice::Chosen) {
        QCOMPARE(QString::fromStdWString(result.entry.serialNumber),
                 asked.isEmpty() ? plugged.first() : asked);
        QCOMPARE(result.model, QStringLiteral("Orvane3"));
    }
}

void TestAdapters::connectRefusesPullUpsOffWithoutSwitch()
{
    const auto sim = CSimOrvAdapter::Plug(ESimOrvModel::Orv3, L"A");
    QVERIFY(sim);
    const std::unique_ptr<COrvI2c> adapter = COrvDeviceFactory::Create(EOrvType::Orv3);
    QVERIFY(!ConnectAdapter(*adapter, L"A", EI2cSpeed::Speed100k, false));
    QCOMPARE(adapter->GetLastErrorKind(), EOrvError::Unsupported);
    QVERIFY(!adapter->IsConnected());
    QVERIFY(ConnectAdapter(*adapter, L"A", EI2cSpeed::Speed400k, std::nullopt));
    QCOMPARE(sim->EnableFlags(), uint8_t(0x01));
}

QTEST_GUILESS_MAIN(TestAdapters)
#include "tst_adapters.moc"
