#include "hid/hidapicompat.h"
#include "hid/hidapiext.h"

#include <QtTest>

#include <QDir>
#include <QTemporaryDir>

#include <vector>

class TestHidapiCompat : public QObject {
    Q_OBJECT

private slots:
    void notAHidrawNode_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("size");
        static QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath("descriptor"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(64, '\x05'));
        file.close();

        QTest::newRow("missing") << dir.filePath("none") << 4096;
        QTest::newRow("regular file") << file.fileName() << 4096;
        QTest::newRow("regular file, small buffer") << file.fileName() << 1;
        QTest::newRow("regular file, no buffer") << file.fileName() << 0;
        QTest::newRow("directory") << dir.path() << 4096;
        QTest::newRow("other character device") << "/dev/null" << 4096;
    }

    void notAHidrawNode()
    {
        QFETCH(QString, path);
        QFETCH(int, size);
        std::vector<unsigned char> buffer(static_cast<size_t>(size) + 1, 0xEE);
        QCOMPARE(ReadHidrawReportDescriptor(path.toLocal8Bit().constData(), buffer.data(),
                                            static_cast<size_t>(size)),
                 -1);
        QCOMPARE(buffer, std::vector<unsigned char>(buffer.size(), 0xEE));
    }

    void badArguments()
    {
        unsigned char byte = 0;
        QCOMPARE(ReadHidrawReportDescriptor(nullptr, &byte, 1), -1);
        QCOMPARE(ReadHidrawReportDescriptor("/dev/null", nullptr, 16), -1);
        QCOMPARE(hid_get_report_descriptor(nullptr, &byte, 1), -1);
        QVERIFY(hid_read_error(nullptr) != nullptr);
    }

    // Needs real hidraw nodes that this user may open; skipped elsewhere.
    void cutsToTheBuffer()
    {
        const QStringList nodes = QDir("/dev").entryList({"hidraw*"}, QDir::System);
        std::vector<unsigned char> full(4096);
        for (const QString& node : nodes) {
            const QByteArray path = ("/dev/" + node).toLocal8Bit();
            const int length =
                ReadHidrawReportDescriptor(path.constData(), full.data(), full.size());
            if (length <= 1) {
                continue;
            }
            std::vector<unsigned char> small(1);
            QCOMPARE(ReadHidrawReportDescriptor(path.constData(), small.data(), small.size()), 1);
            QCOMPARE(small[0], full[0]);
            QCOMPARE(ReadHidrawReportDescriptor(path.constData(), nullptr, 0), 0);
            return;
        }
        QSKIP("no readable hidraw node on this machine");
    }
};

QTEST_GUILESS_MAIN(TestHidapiCompat)
#include "tst_hidapicompat.moc"
