// Device files sit in a folder that anyone may edit: Load takes any bytes.
// A file that loads must save, and what was saved must load back to the same
// device and save to the same bytes.

#include "fuzz/fuzzcheck.h"
#include "projects/i2cdevicefile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// In memory where the system offers it: the disk is the slow part of a run.
QString TempFolderTemplate()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    const QString root = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
    return root + QStringLiteral("/pellan-fuzz-XXXXXX");
}

struct SPaths {
    QTemporaryDir dir{TempFolderTemplate()};
    QString input = dir.filePath(QStringLiteral("input.i2cdev"));
    QString saved = dir.filePath(QStringLiteral("saved.i2cdev"));
    QString again = dir.filePath(QStringLiteral("again.i2cdev"));
};

const SPaths& Paths()
{
    static const SPaths paths;
    FUZZ_CHECK(paths.dir.isValid());
    return paths;
}

void WriteFile(const QString& path, const uint8_t* data, size_t size)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) ==
               static_cast<qint64>(size));
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

bool SameDevice(const CI2cDeviceFile& a, const CI2cDeviceFile& b)
{
    return a.GetName() == b.GetName() && a.GetAddress() == b.GetAddress() &&
           a.GetDescription() == b.GetDescription() && a.GetMap() == b.GetMap() &&
           a.GetCommands() == b.GetCommands();
}

// Text that is not valid UTF-16 (an escaped lone surrogate) cannot survive
// a save as UTF-8; everything else must.
bool HasOnlyValidText(const CI2cDeviceFile& file)
{
    if (!file.GetName().isValidUtf16() || !file.GetDescription().isValidUtf16() ||
        !file.GetMap().isValidUtf16())
        return false;
    for (const SI2cCommand& command : file.GetCommands()) {
        if (!command.label.isValidUtf16())
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const SPaths& paths = Paths();
    WriteFile(paths.input, data, size);

    CI2cDeviceFile file;
    file.SetName(QStringLiteral("before"));
    file.SetAddress(0x11);
    file.AddCommand(
        SI2cCommand{QStringLiteral("kept"), EI2cCommandType::Read, EI2cStartStop::Auto, {}, 3});
    const CI2cDeviceFile before = file;

    const bool loaded = file.Load(paths.input);
    FUZZ_CHECK(file.GetFilePath() == paths.input);
    if (!loaded) {
        // A refused file changes nothing but the path and the error.
        FUZZ_CHECK(!file.GetLastError().isEmpty());
        FUZZ_CHECK(SameDevice(file, before));
        return 0;
    }

    FUZZ_CHECK(file.GetAddress() <= 0x7F);
    for (const SI2cCommand& command : file.GetCommands()) {
        if (command.type == EI2cCommandType::Read) {
            FUZZ_CHECK(command.count >= 1 && command.count <= 65535);
            FUZZ_CHECK(command.mode == EI2cStartStop::Auto && command.data.empty());
        } else {
            FUZZ_CHECK(command.type == EI2cCommandType::Write);
            FUZZ_CHECK(command.count == 1);
        }
    }

    CI2cDeviceFile saved = file;
    FUZZ_CHECK(saved.SaveAs(paths.saved));
    CI2cDeviceFile reloaded;
    FUZZ_CHECK(reloaded.Load(paths.saved));
    if (HasOnlyValidText(file))
        FUZZ_CHECK(SameDevice(reloaded, file));
    FUZZ_CHECK(reloaded.SaveAs(paths.again));
    FUZZ_CHECK(ReadFile(paths.again) == ReadFile(paths.saved));
    return 0;
}
