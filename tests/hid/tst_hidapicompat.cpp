#include "hid/hidapicompat.h"
#include "hid/hidapiext.h"

#include <QtTest>

#include <QDir>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <vector>

#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

Q_DECLARE_METATYPE(HidrawControl)

namespace {

const std::wstring PREFIX = L"Cannot read the report descriptor";

std::wstring SystemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error)).toStdWString();
}

// A hidraw node as the kernel would answer: descriptorSize for the size
// request (or sizeErrno), then the bytes 1, 2, 3, ... (or descriptorErrno).
HidrawControl FakeNode(int descriptorSize, int sizeErrno = 0, int descriptorErrno = 0)
{
    return [=](int, unsigned long request, void* argument) {
        if (request == HIDIOCGRDESCSIZE) {
            if (sizeErrno != 0) {
                errno = sizeErrno;
                return -1;
            }
            *static_cast<int*>(argument) = descriptorSize;
            return 0;
        }
        if (descriptorErrno != 0) {
            errno = descriptorErrno;
            return -1;
        }
        auto* descriptor = static_cast<hidraw_report_descriptor*>(argument);
        for (__u32 i = 0; i < descriptor->size; ++i) {
            descriptor->value[i] = static_cast<__u8>(i + 1);
        }
        return 0;
    };
}

} // namespace

class TestHidapiCompat : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_file;
    QString m_fifo;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_file = m_dir.filePath("descriptor");
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(64, '\x05'));
        file.close();
        m_fifo = m_dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(m_fifo).constData(), 0600), 0);
    }

    // Every failing step names itself and gives the system's text; the
    // buffer stays untouched.
    void failingStepIsNamed_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<HidrawControl>("control");
        QTest::addColumn<QString>("error");

        const auto sizeFailed = [](const QString& path, int error) {
            return QString::fromStdWString(PREFIX + L": cannot get its size from ") + path + ": " +
                   QString::fromStdWString(SystemText(error));
        };
        const QString missing = m_dir.filePath("none");
        QTest::newRow("cannot open")
            << missing << HidrawControl()
            << QString::fromStdWString(PREFIX) + ": cannot open " + missing + ": " +
                   QString::fromStdWString(SystemText(ENOENT));
        QTest::newRow("regular file") << m_file << HidrawControl() << sizeFailed(m_file, ENOTTY);
        QTest::newRow("FIFO, without waiting for a writer")
            << m_fifo << HidrawControl() << sizeFailed(m_fifo, ENOTTY);
        QTest::newRow("other character device")
            << "/dev/null" << HidrawControl() << sizeFailed("/dev/null", ENOTTY);
        QTest::newRow("size request fails")
            << m_file << FakeNode(0, EIO) << sizeFailed(m_file, EIO);
        QTest::newRow("negative size")
            << m_file << FakeNode(-1)
            << QString::fromStdWString(PREFIX) + ": " + m_file + " gives a size out of range: -1";
        QTest::newRow("size beyond the kernel's limit")
            << m_file << FakeNode(HID_MAX_DESCRIPTOR_SIZE + 1)
            << QString::fromStdWString(PREFIX) + ": " + m_file +
                   " gives a size out of range: " + QString::number(HID_MAX_DESCRIPTOR_SIZE + 1);
        QTest::newRow("descriptor request fails")
            << m_file << FakeNode(18, 0, ENODEV)
            << QString::fromStdWString(PREFIX) + " from " + m_file + ": " +
                   QString::fromStdWString(SystemText(ENODEV));
    }

    void failingStepIsNamed()
    {
        QFETCH(QString, path);
        QFETCH(HidrawControl, control);
        QFETCH(QString, error);
        std::vector<unsigned char> buffer(4097, 0xEE);
        std::wstring text;
        QCOMPARE(ReadHidrawReportDescriptor(QFile::encodeName(path).constData(), buffer.data(),
                                            4096, text, control),
                 -1);
        QCOMPARE(QString::fromStdWString(text), error);
        QCOMPARE(buffer, std::vector<unsigned char>(buffer.size(), 0xEE));
    }

    void missingInputsAreNamed()
    {
        unsigned char byte = 0;
        std::wstring text;
        QCOMPARE(ReadHidrawReportDescriptor(nullptr, &byte, 1, text), -1);
        QCOMPARE(text, PREFIX + L": the device has no path");
        QCOMPARE(ReadHidrawReportDescriptor("/dev/null", nullptr, 16, text), -1);
        QCOMPARE(text, PREFIX + L": no buffer");

        // hidapi's reason for having no information is passed on, unless
        // it has none and would say "Success".
        QCOMPARE(
            ReadDeviceReportDescriptor(nullptr, L"Couldn't create udev context", &byte, 1, text),
            -1);
        QCOMPARE(text, PREFIX + L": no device information: Couldn't create udev context");
        QCOMPARE(ReadDeviceReportDescriptor(nullptr, L"Success", &byte, 1, text), -1);
        QCOMPARE(text, PREFIX + L": no device information");
        hid_device_info noPath{};
        QCOMPARE(ReadDeviceReportDescriptor(&noPath, nullptr, &byte, 1, text), -1);
        QCOMPARE(text, PREFIX + L": the device has no path");

#if HID_API_VERSION < HID_API_MAKE_VERSION(0, 14, 0)
        // What the project reads after the call is the stand-in's own text.
        QCOMPARE(hid_get_report_descriptor(nullptr, &byte, 1), -1);
        QCOMPARE(std::wstring(pellan_hid_report_descriptor_error(nullptr)),
                 PREFIX + L": no device");
#endif
        QVERIFY(hid_read_error(nullptr) != nullptr);
    }

    void cutsToTheBuffer_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("stored");
        QTest::newRow("whole") << 4096 << 18;
        QTest::newRow("cut") << 5 << 5;
        QTest::newRow("no buffer") << 0 << 0;
    }

    void cutsToTheBuffer()
    {
        QFETCH(int, size);
        QFETCH(int, stored);
        std::vector<unsigned char> buffer(static_cast<size_t>(size) + 1, 0xEE);
        std::wstring text;
        QCOMPARE(ReadHidrawReportDescriptor(QFile::encodeName(m_file).constData(),
                                            size > 0 ? buffer.data() : nullptr,
                                            static_cast<size_t>(size), text, FakeNode(18)),
                 stored);
        for (int i = 0; i < stored; ++i) {
            QCOMPARE(buffer[static_cast<size_t>(i)], static_cast<unsigned char>(i + 1));
        }
        QCOMPARE(buffer[static_cast<size_t>(stored)], static_cast<unsigned char>(0xEE));
    }

    // Needs real hidraw nodes that this user may open; skipped elsewhere.
    void readsARealNode()
    {
        const QStringList nodes = QDir("/dev").entryList({"hidraw*"}, QDir::System);
        std::vector<unsigned char> full(4096);
        std::wstring text;
        for (const QString& node : nodes) {
            const QByteArray path = ("/dev/" + node).toLocal8Bit();
            const int length =
                ReadHidrawReportDescriptor(path.constData(), full.data(), full.size(), text);
            if (length <= 1) {
                continue;
            }
            std::vector<unsigned char> small(1);
            QCOMPARE(ReadHidrawReportDescriptor(path.constData(), small.data(), small.size(), text),
                     1);
            QCOMPARE(small[0], full[0]);
            return;
        }
        QSKIP("no readable hidraw node on this machine");
    }
};

QTEST_GUILESS_MAIN(TestHidapiCompat)
#include "tst_hidapicompat.moc"
