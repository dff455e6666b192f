// The projects panel over a folder of four device files at the 16 MB limit
// (986,891 address-only writes each) and one small file: the start-up load,
// the memory it keeps, and the reload after the small file was touched,
// which must re-read that file alone.

#include "projects/projectspanel.h"
#include "tests/support/projectspanelprobe.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr int BIG_FILES = 4;
constexpr qint64 MAX_FILE_SIZE = 16 * 1024 * 1024;
// The compact command that packs the most commands into a file.
constexpr char COMMAND[] = R"({"type":"write"})";

QString g_folder;
QString g_small;
qint64 g_commands = 0;

// A kilobyte figure of /proc/self/status, such as "VmRSS" or "VmHWM".
double statusKiB(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key) && line.at(qstrlen(key)) == ':')
            return line.mid(qstrlen(key) + 1).trimmed().split(' ').first().toDouble();
    }
    return 0;
}

// As many commands as fit into the size limit.
bool writeBigFile(const QString& path, const QByteArray& name)
{
    const QByteArray head = R"({"name":")" + name + R"(","address":1,"commands":[)";
    const QByteArray tail = "]}";
    const qint64 step = qstrlen(COMMAND) + 1;
    const qint64 count = (MAX_FILE_SIZE - head.size() - tail.size() + 1) / step;
    QByteArray text = head;
    text.reserve(MAX_FILE_SIZE);
    for (qint64 i = 0; i < count; ++i) {
        if (i > 0)
            text += ',';
        text += COMMAND;
    }
    text += tail;
    QFile file(path);
    g_commands += count;
    return text.size() <= MAX_FILE_SIZE && file.open(QIODevice::WriteOnly) &&
           file.write(text) == text.size();
}

bool writeSmallFile(int generation)
{
    CI2cDeviceFile device;
    device.SetName(QStringLiteral("Small"));
    device.SetAddress(0x23);
    device.AddCommand({QStringLiteral("Read %1").arg(generation),
                       EI2cCommandType::Read,
                       EI2cStartStop::Auto,
                       {},
                       2});
    return device.SaveAs(g_small);
}

class CDock {
public:
    CDock()
    {
        auto* layout = new QVBoxLayout(&host);
        for (QWidget* widget : std::initializer_list<QWidget*>{
                 newButton, reloadButton, folderButton, filterEdit, tree, descriptionLabel})
            layout->addWidget(widget);
        panel = new CProjectsPanel(
            {tree, filterEdit, descriptionLabel, newButton, reloadButton, folderButton},
            [](uint8_t address) {
                return QStringLiteral("0x%1").arg(address, 2, 16, QLatin1Char('0')).toUpper();
            },
            [](const QString&) { return std::optional<uint8_t>(); },
            [] { return std::optional<uint8_t>(); }, &host);
        host.resize(400, 700);
        host.show();
        QApplication::processEvents();
    }

    QWidget host;
    QToolButton* newButton = new QToolButton(&host);
    QToolButton* reloadButton = new QToolButton(&host);
    QToolButton* folderButton = new QToolButton(&host);
    QLineEdit* filterEdit = new QLineEdit(&host);
    QTreeView* tree = new QTreeView(&host);
    QLabel* descriptionLabel = new QLabel(&host);
    CProjectsPanel* panel = nullptr;
};

// Argument: 1 = the first big device expanded, 0 = all collapsed. The time
// of one iteration is the reload and the events that lay out and paint the
// tree afterwards.
void BM_ReloadAfterTouch(benchmark::State& state)
{
    const bool expanded = state.range(0) != 0;
    QSettings().setValue(QStringLiteral("projects/expanded"),
                         expanded
                             ? QStringList{QDir(g_folder).filePath(QStringLiteral("big1.i2cdev"))}
                             : QStringList());
    const double rssBefore = statusKiB("VmRSS");
    QElapsedTimer startUp;
    startUp.start();
    CDock dock;
    const double startUpMs = double(startUp.elapsed());
    if (CProjectsPanelProbe::deviceCount(*dock.panel) != BIG_FILES + 1) {
        state.SkipWithError("the folder did not load");
        return;
    }
    const double rssLoaded = statusKiB("VmRSS");

    int generation = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!writeSmallFile(++generation)) {
            state.SkipWithError("could not touch the small file");
            return;
        }
        state.ResumeTiming();
        CProjectsPanelProbe::reload(*dock.panel);
        QApplication::processEvents();
    }
    state.counters["startup_ms"] = startUpMs;
    state.counters["commands"] = double(g_commands);
    state.counters["bytes_per_command"] = (rssLoaded - rssBefore) * 1024 / double(g_commands);
    state.counters["peak_MiB"] = statusKiB("VmHWM") / 1024;
}
BENCHMARK(BM_ReloadAfterTouch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    // Settings and documents in a private home; no display needed.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral(".config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral(".local/share")).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tremwick"));
    QApplication::setApplicationName(QStringLiteral("pellan_i2c"));

    g_folder = home.filePath(QStringLiteral("projects"));
    g_small = QDir(g_folder).filePath(QStringLiteral("small.i2cdev"));
    bool written = QDir().mkpath(g_folder) && writeSmallFile(0);
    for (int i = 1; written && i <= BIG_FILES; ++i)
        written = writeBigFile(QDir(g_folder).filePath(QStringLiteral("big%1.i2cdev").arg(i)),
                               "Big " + QByteArray::number(i));
    if (!written) {
        std::fprintf(stderr, "could not write the bench folder\n");
        return 1;
    }
    QSettings settings;
    settings.setValue(QStringLiteral("projects/folder"), g_folder);
    settings.setValue(QStringLiteral("projects/examplesInstalled"), true);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
