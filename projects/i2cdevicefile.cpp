#include "projects/i2cdevicefile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringView>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString KEY_VERSION = QStringLiteral("version");
const QString KEY_NAME = QStringLiteral("name");
const QString KEY_ADDRESS = QStringLiteral("address");
const QString KEY_DESCRIPTION = QStringLiteral("description");
const QString KEY_MAP = QStringLiteral("map");
const QString KEY_COMMANDS = QStringLiteral("commands");
const QString KEY_LABEL = QStringLiteral("label");
const QString KEY_TYPE = QStringLiteral("type");
const QString KEY_MODE = QStringLiteral("mode");
const QString KEY_DATA = QStringLiteral("data");
const QString KEY_COUNT = QStringLiteral("count");
const QString TYPE_WRITE = QStringLiteral("write");
const QString TYPE_READ = QStringLiteral("read");

// The keys of the format. Others, which other tools put there, are kept as
// they were read, after these.
const QStringList TOP_LEVEL_KEYS = {KEY_VERSION,     KEY_NAME, KEY_ADDRESS,
                                    KEY_DESCRIPTION, KEY_MAP,  KEY_COMMANDS};
const QStringList COMMAND_KEYS = {KEY_LABEL, KEY_TYPE, KEY_MODE, KEY_DATA, KEY_COUNT};

constexpr qint64 FILE_VERSION = 1;
constexpr qint64 MAX_ADDRESS = 0x7F;
constexpr qint64 MAX_READ_COUNT = 65535;
// Device files are small hand-sized texts; the cap keeps a stray huge file
// from being read into memory whole.
constexpr qint64 MAX_FILE_SIZE = 16 * 1024 * 1024;

constexpr char INDENT[] = "    ";
constexpr char COMMAND_INDENT[] = "        ";

// Lets SI2cCommand travel in queued connections and be looked up by name.
[[maybe_unused]] const int COMMAND_META_TYPE = qRegisterMetaType<SI2cCommand>();

int HexDigitValue(QChar c)
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

QStringView WithoutHexPrefix(QStringView text)
{
    return text.startsWith(u"0x", Qt::CaseInsensitive) ? text.mid(2) : text;
}

// A string address is always hex, with or without its prefix. -1 when the
// text is not a hex number; parsing stops early above the 7-bit range.
qint64 ParseHexAddress(QStringView text)
{
    const QStringView digits = WithoutHexPrefix(text.trimmed());
    if (digits.isEmpty())
        return -1;
    qint64 value = 0;
    for (QChar c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
        if (value > MAX_ADDRESS)
            return -1;
    }
    return value;
}

std::optional<EI2cStartStop> ModeFromName(const QString& name)
{
    for (const auto& [mode, modeName] : MODE_NAMES) {
        if (name.compare(QLatin1String(modeName), Qt::CaseInsensitive) == 0)
            return mode;
    }
    return std::nullopt;
}

QByteArray ModeName(EI2cStartStop mode)
{
    const auto index = static_cast<int32_t>(mode);
    if (index < 0 || index >= static_cast<int32_t>(MODE_NAMES.size()))
        return "auto";
    return MODE_NAMES[static_cast<size_t>(index)].second;
}

// Labels are told apart neither by surrounding blanks nor by letter case.
bool SameLabel(const QString& a, const QString& b)
{
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

// What a compact JSON writer makes of one string value, quotes included.
QByteArray JsonString(const QString& text)
{
    // Printable ASCII without quotes or backslashes, most labels, needs no
    // escape: a large file is written without a JSON document per label.
    const bool plain = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'"' && c != u'\\';
    });
    if (plain)
        return '"' + text.toLatin1() + '"';
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray JsonPair(const QString& key, const QByteArray& value)
{
    return JsonString(key) + ": " + value;
}

// extras: the command's members that the format does not know, kept.
QByteArray CommandLine(const SI2cCommand& command, const QByteArray& extras)
{
    QByteArrayList pairs{JsonPair(KEY_LABEL, JsonString(command.label))};
    if (command.type == EI2cCommandType::Read) {
        pairs << JsonPair(KEY_TYPE, JsonString(TYPE_READ))
              << JsonPair(KEY_COUNT, QByteArray::number(command.count));
    } else {
        pairs << JsonPair(KEY_TYPE, JsonString(TYPE_WRITE))
              << JsonPair(KEY_MODE, JsonString(QString::fromLatin1(ModeName(command.mode))))
              << JsonPair(KEY_DATA, JsonString(CI2cDeviceFile::BytesToHex(command.data)));
    }
    if (!extras.isEmpty())
        pairs << extras;
    return COMMAND_INDENT + ("{ " + pairs.join(", ") + " }");
}

// The text of a file that would grow past what the reader takes; reached
// is the command at which it did.
bool FailTooLarge(QString& error, qsizetype reached, qsizetype commands)
{
    error = QStringLiteral("Not saved: with its %1 commands the file would be larger than %2 "
                           "bytes, the most a device file may hold (it passed that size at "
                           "command %3). The file was left as it was; remove commands or "
                           "shorten their labels")
                .arg(commands)
                .arg(MAX_FILE_SIZE)
                .arg(reached);
    return false;
}

SFileStamp StampOf(const struct stat& status)
{
    return {static_cast<quint64>(status.st_dev), static_cast<quint64>(status.st_ino),
            static_cast<qint64>(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
            qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec};
}

std::optional<SFileStamp> StampOfDescriptor(int fd)
{
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0)
        return std::nullopt;
    return StampOf(status);
}

// Opens a regular file for reading, following links. Opened without
// blocking and checked by its descriptor: opening a FIFO (or a link to one)
// would wait for a writer for ever, and a check of the path before the open
// could see another file than the open. Qt resources (":/...") are compiled
// in and opened as they are.
bool OpenRegularFile(QFile& file, const QString& path, QString& error)
{
    if (path.startsWith(u':')) {
        if (file.open(QIODevice::ReadOnly))
            return true;
        error = file.errorString();
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = qt_error_string(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        // Directories, devices and pipes have no size to check and may never end.
        error = QStringLiteral("Not a regular file");
        ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        return false;
    }
    return true;
}

// Members of a device file that the format does not know, in file order:
// those of the top-level object, and those of each command object of its
// "commands" array. Each is `"key": value` with the value compact, as
// written (numbers keep their digits, objects their order).
struct SExtraKeys {
    QByteArrayList top;
    // Command index and its members, joined by ", ".
    std::vector<std::pair<qsizetype, QByteArray>> commands;
};

// Walks a JSON text that the parser accepted; only keys and the extent of
// values are looked at. A large file holds a million commands: keys are
// matched as bytes, and only the unknown ones are decoded.
class CExtraKeyScanner {
public:
    explicit CExtraKeyScanner(const QByteArray& text)
        : m_pos(text.constData()), m_end(text.constData() + text.size())
    {
    }

    SExtraKeys Scan()
    {
        SExtraKeys extras;
        skipBlanks();
        if (peek() != '{')
            return extras;
        ++m_pos;
        members([&](QByteArrayView key, const char* value) {
            if (isKey(key, KEY_COMMANDS)) {
                // As the parser, the last of repeated keys counts.
                extras.commands.clear();
                if (peek() == '[') {
                    commands(extras.commands);
                    return;
                }
            }
            skipValue();
            if (!isKnown(key, TOP_LEVEL_KEYS))
                extras.top.append(pair(key, value));
        });
        return extras;
    }

private:
    char peek() const { return m_pos < m_end ? *m_pos : '\0'; }

    void skipBlanks()
    {
        while (m_pos < m_end &&
               (*m_pos == ' ' || *m_pos == '\n' || *m_pos == '\r' || *m_pos == '\t'))
            ++m_pos;
    }

    // From the opening quote to just after the closing one.
    void skipString()
    {
        ++m_pos;
        while (m_pos < m_end) {
            const char c = *m_pos++;
            if (c == '\\')
                ++m_pos;
            else if (c == '"')
                return;
        }
    }

    void skipValue()
    {
        const char first = peek();
        if (first == '"') {
            skipString();
            return;
        }
        if (first != '{' && first != '[') {
            while (m_pos < m_end && *m_pos != ',' && *m_pos != ']' && *m_pos != '}' &&
                   *m_pos != ' ' && *m_pos != '\n' && *m_pos != '\r' && *m_pos != '\t')
                ++m_pos;
            return;
        }
        int depth = 0;
        while (m_pos < m_end) {
            const char c = *m_pos;
            if (c == '"') {
                skipString();
                continue;
            }
            ++m_pos;
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return;
        }
    }

    // After an object's "{": calls member(key with its quotes, start of the
    // value) with the position there; member must pass the value. Ends
    // after the "}".
    template <typename Member> void members(Member member)
    {
        for (;;) {
            skipBlanks();
            if (peek() != '"') {
                ++m_pos; // "}"
                return;
            }
            const char* keyStart = m_pos;
            skipString();
            const QByteArrayView key(keyStart, m_pos - keyStart);
            skipBlanks();
            ++m_pos; // ":"
            skipBlanks();
            member(key, m_pos);
            skipBlanks();
            if (peek() == ',')
                ++m_pos;
        }
    }

    void commands(std::vector<std::pair<qsizetype, QByteArray>>& found)
    {
        ++m_pos; // "["
        for (qsizetype index = 0;; ++index) {
            skipBlanks();
            if (m_pos >= m_end || *m_pos == ']') {
                ++m_pos;
                return;
            }
            if (*m_pos == '{') {
                ++m_pos;
                QByteArrayList pairs;
                members([&](QByteArrayView key, const char* value) {
                    skipValue();
                    if (!isKnown(key, COMMAND_KEYS))
                        pairs.append(pair(key, value));
                });
                if (!pairs.isEmpty())
                    found.emplace_back(index, pairs.join(", "));
            } else {
                skipValue();
            }
            skipBlanks();
            if (peek() == ',')
                ++m_pos;
        }
    }

    static QString decodeKey(QByteArrayView key)
    {
        if (!key.contains('\\'))
            return QString::fromUtf8(key.sliced(1, key.size() - 2));
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray("[") + key.toByteArray() + QByteArray("]"));
        return document.array().at(0).toString();
    }

    static bool isKey(QByteArrayView key, const QString& name)
    {
        if (!key.contains('\\'))
            return key.sliced(1, key.size() - 2) == QLatin1StringView(name.toLatin1());
        return decodeKey(key) == name;
    }

    static bool isKnown(QByteArrayView key, const QStringList& names)
    {
        // Known keys are plain ASCII: a key written with escapes is compared
        // decoded.
        if (key.contains('\\'))
            return names.contains(decodeKey(key));
        const QByteArrayView bare = key.sliced(1, key.size() - 2);
        return std::any_of(names.cbegin(), names.cend(), [bare](const QString& name) {
            return bare.size() == name.size() && QLatin1StringView(bare) == name;
        });
    }

    // The member whose value began at value and ends here, the value with
    // the blanks outside strings left out.
    QByteArray pair(QByteArrayView key, const char* value) const
    {
        QByteArray compact;
        compact.reserve(m_pos - value);
        bool inString = false;
        for (const char* i = value; i < m_pos; ++i) {
            const char c = *i;
            if (inString) {
                compact += c;
                if (c == '\\' && i + 1 < m_pos)
                    compact += *++i;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
                compact += c;
            } else if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
                compact += c;
            }
        }
        return JsonPair(decodeKey(key), compact);
    }

    const char* m_pos;
    const char* m_end;
};

// One command as the document gave it, its label and data in the shared
// buffers of SContents.
struct SCommandPart {
    EI2cCommandType type = EI2cCommandType::Write;
    EI2cStartStop mode = EI2cStartStop::Auto;
    int32_t count = 1;
    qsizetype labelStart = 0;
    qsizetype labelSize = 0;
    size_t dataStart = 0;
    size_t dataSize = 0;
};

// A device file's contents, checked, with the labels and data of all
// commands in two buffers.
struct SContents {
    QString name;
    QString description;
    QString map;
    uint8_t address = 0;
    std::vector<SCommandPart> parts;
    QString labels;
    std::vector<uint8_t> data;
    SExtraKeys extras;
};

// Parses the file's text (released once parsed) and checks it. False with
// the error text at the first fault.
bool ReadContents(QByteArray& bytes, SContents& contents, QString& error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    // The document does not keep the order of members: theirs comes from
    // the text.
    if (!document.isNull())
        contents.extras = CExtraKeyScanner(bytes).Scan();
    bytes = QByteArray(); // the document holds its own copy; a large file is not kept twice
    if (document.isNull()) {
        error = QStringLiteral("JSON error at offset %1: %2")
                    .arg(parseError.offset)
                    .arg(parseError.errorString());
        return false;
    }
    const QJsonObject root = document.object();

    const qint64 version = root.value(KEY_VERSION).toInteger(0);
    if (version > FILE_VERSION) {
        error = QStringLiteral("File version %1 is newer than supported (%2)")
                    .arg(version)
                    .arg(FILE_VERSION);
        return false;
    }

    const QJsonValue addressValue = root.value(KEY_ADDRESS);
    const qint64 address = addressValue.isDouble() ? addressValue.toInteger(-1)
                                                   : ParseHexAddress(addressValue.toString());
    if (address < 0 || address > MAX_ADDRESS) {
        error = QStringLiteral("Invalid or missing address");
        return false;
    }

    const QJsonValue mapValue = root.value(KEY_MAP);
    if (!mapValue.isUndefined() && !mapValue.isString()) {
        error = QStringLiteral("Invalid map name");
        return false;
    }

    const QJsonArray array = root.value(KEY_COMMANDS).toArray();
    contents.parts.reserve(static_cast<size_t>(array.size()));
    for (qsizetype i = 0; i < array.size(); ++i) {
        const qsizetype number = i + 1; // as the messages count
        const QJsonObject object = array.at(i).toObject();
        SCommandPart part;
        const QString label = object.value(KEY_LABEL).toString();
        part.labelStart = contents.labels.size();
        part.labelSize = label.size();
        contents.labels += label;
        part.dataStart = contents.data.size();

        const QString typeText = object.value(KEY_TYPE).toString();
        if (typeText.compare(TYPE_READ, Qt::CaseInsensitive) == 0) {
            part.type = EI2cCommandType::Read;
            const qint64 count = object.value(KEY_COUNT).toInteger(0);
            if (count < 1 || count > MAX_READ_COUNT) {
                error = QStringLiteral("Command %1: invalid read count").arg(number);
                return false;
            }
            part.count = static_cast<int32_t>(count);
        } else if (typeText.compare(TYPE_WRITE, Qt::CaseInsensitive) == 0) {
            std::optional<EI2cStartStop> mode = EI2cStartStop::Auto;
            if (object.contains(KEY_MODE))
                mode = ModeFromName(object.value(KEY_MODE).toString());
            // A data value that is not text is refused, not read as no data:
            // the command would become a bare address probe.
            const QJsonValue dataValue = object.value(KEY_DATA);
            std::optional<std::vector<uint8_t>> data;
            if (dataValue.isUndefined() || dataValue.isString())
                data = CI2cDeviceFile::HexToBytes(dataValue.toString());
            if (!mode || !data) {
                error = QStringLiteral("Command %1: invalid mode or data").arg(number);
                return false;
            }
            part.mode = *mode;
            part.dataSize = data->size();
            contents.data.insert(contents.data.end(), data->cbegin(), data->cend());
        } else {
            error = QStringLiteral("Command %1: unknown type \"%2\"").arg(number).arg(typeText);
            return false;
        }
        contents.parts.push_back(part);
    }

    contents.name = root.value(KEY_NAME).toString();
    contents.address = static_cast<uint8_t>(address);
    contents.description = root.value(KEY_DESCRIPTION).toString();
    contents.map = mapValue.toString();
    return true;
}

} // namespace

const QString CI2cDeviceFile::FILE_SUFFIX = QStringLiteral("i2cdev");

std::optional<SFileStamp> SFileStamp::Of(const QString& path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return StampOf(status);
}

bool CI2cDeviceFile::Load(const QString& path)
{
    m_filePath = path;
    m_fileStamp.reset();

    QFile file(path);
    if (!OpenRegularFile(file, path, m_lastError))
        return false;
    // Taken before reading and checked after it: only a file that stood
    // still while it was read gets a stamp.
    const std::optional<SFileStamp> stamp = StampOfDescriptor(file.handle());
    if (file.size() > MAX_FILE_SIZE) {
        m_fileStamp = stamp;
        m_lastError = QStringLiteral("File too large (%1 bytes, at most %2)")
                          .arg(file.size())
                          .arg(MAX_FILE_SIZE);
        return false;
    }
    QByteArray bytes = file.readAll();
    // A read error ends here rather than as a parse error of a cut text.
    if (file.error() != QFileDevice::NoError) {
        m_lastError = file.errorString();
        return false;
    }
    if (stamp && StampOfDescriptor(file.handle()) == stamp)
        m_fileStamp = stamp;
    file.close();

    SContents contents;
    if (!ReadContents(bytes, contents, m_lastError))
        return false;

    // The commands' own strings are made only now, with the document gone:
    // made while it lived, they would lie scattered among its freed blocks
    // and keep them from going back to the system.
    QList<SI2cCommand> commands;
    commands.reserve(static_cast<qsizetype>(contents.parts.size()));
    for (const SCommandPart& part : contents.parts) {
        SI2cCommand command;
        if (part.labelSize > 0)
            command.label = contents.labels.mid(part.labelStart, part.labelSize);
        command.type = part.type;
        command.mode = part.mode;
        command.count = part.count;
        const auto data = contents.data.cbegin() + static_cast<std::ptrdiff_t>(part.dataStart);
        command.data.assign(data, data + static_cast<std::ptrdiff_t>(part.dataSize));
        commands.append(std::move(command));
    }

    QList<QByteArray> commandExtras;
    if (!contents.extras.commands.empty()) {
        commandExtras.resize(commands.size());
        for (const auto& [index, pairs] : contents.extras.commands) {
            if (index < commandExtras.size())
                commandExtras[index] = pairs;
        }
    }

    // Only a fully valid file replaces the contents.
    m_name = std::move(contents.name);
    m_address = contents.address;
    m_description = std::move(contents.description);
    m_map = std::move(contents.map);
    m_commands = std::move(commands);
    m_extraKeys = std::move(contents.extras.top);
    m_commandExtras = std::move(commandExtras);
    return true;
}

bool CI2cDeviceFile::Save() const
{
    // Only what the reader takes back: a saved file always loads again.
    if (m_address > MAX_ADDRESS) {
        m_lastError = QStringLiteral("Not saved: the address 0x%1 is above 0x7F; the file was "
                                     "left as it was")
                          .arg(m_address, 2, 16, QLatin1Char('0'));
        return false;
    }
    for (qsizetype i = 0; i < m_commands.size(); ++i) {
        const SI2cCommand& command = m_commands.at(i);
        if (command.type == EI2cCommandType::Read &&
            (command.count < 1 || command.count > MAX_READ_COUNT)) {
            m_lastError = QStringLiteral("Not saved: command %1 reads %2 bytes, not 1 to %3; the "
                                         "file was left as it was")
                              .arg(i + 1)
                              .arg(command.count)
                              .arg(MAX_READ_COUNT);
            return false;
        }
    }

    const QByteArray addressText =
        "0x" + QByteArray::number(m_address, 16).toUpper().rightJustified(2, '0');
    QByteArray text = "{\n";
    text += INDENT + JsonPair(KEY_VERSION, QByteArray::number(FILE_VERSION)) + ",\n";
    text += INDENT + JsonPair(KEY_NAME, JsonString(m_name)) + ",\n";
    text += INDENT + JsonPair(KEY_ADDRESS, JsonString(QString::fromLatin1(addressText))) + ",\n";
    text += INDENT + JsonPair(KEY_DESCRIPTION, JsonString(m_description)) + ",\n";
    if (!m_map.isEmpty())
        text += INDENT + JsonPair(KEY_MAP, JsonString(m_map)) + ",\n";
    if (m_commands.isEmpty()) {
        text += INDENT + JsonPair(KEY_COMMANDS, "[]");
    } else {
        text += INDENT + JsonPair(KEY_COMMANDS, "[") + "\n";
        for (qsizetype i = 0; i < m_commands.size(); ++i) {
            if (i > 0)
                text += ",\n";
            text += CommandLine(m_commands.at(i),
                                m_commandExtras.isEmpty() ? QByteArray() : m_commandExtras.at(i));
            // Measured as it grows: a file the reader would refuse is never
            // written, nor built whole only to be thrown away.
            if (text.size() > MAX_FILE_SIZE)
                return FailTooLarge(m_lastError, i + 1, m_commands.size());
        }
        text += "\n";
        text += INDENT + QByteArray("]");
    }
    for (const QByteArray& pair : m_extraKeys)
        text += ",\n" + QByteArray(INDENT) + pair;
    text += "\n}\n";
    if (text.size() > MAX_FILE_SIZE)
        return FailTooLarge(m_lastError, m_commands.size(), m_commands.size());

    // The target is replaced only by a commit, so a failure leaves the
    // previous file as it was. QSaveFile commits a short write (a disk that
    // fills up mid-file) as if it were complete, so every byte is written
    // unbuffered and checked first; the write after a short one fails with
    // the system's text.
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_lastError = file.errorString();
        return false;
    }
    for (qint64 written = 0; written < text.size();) {
        const qint64 count = file.write(text.constData() + written, text.size() - written);
        if (count <= 0) {
            m_lastError = file.errorString();
            file.cancelWriting();
            return false;
        }
        written += count;
    }
    if (!file.commit()) {
        m_lastError = file.errorString();
        return false;
    }
    return true;
}

bool CI2cDeviceFile::SaveAs(const QString& path)
{
    m_filePath = path;
    return Save();
}

void CI2cDeviceFile::AddCommand(const SI2cCommand& command)
{
    m_commands.append(command);
    if (!m_commandExtras.isEmpty())
        m_commandExtras.append(QByteArray());
}

bool CI2cDeviceFile::MoveCommand(int index, int delta)
{
    // 64-bit so that an extreme delta cannot overflow.
    const qint64 count = m_commands.size();
    const qint64 target = qint64(index) + delta;
    if (index < 0 || target < 0 || index >= count || target >= count)
        return false;
    // QList::move rotates the range between the two positions by one place.
    m_commands.move(index, static_cast<qsizetype>(target));
    if (!m_commandExtras.isEmpty())
        m_commandExtras.move(index, static_cast<qsizetype>(target));
    return true;
}

void CI2cDeviceFile::RenameCommand(int index, const QString& label)
{
    if (index >= 0 && index < m_commands.size())
        m_commands[index].label = label;
}

void CI2cDeviceFile::RemoveCommand(int index)
{
    if (index < 0 || index >= m_commands.size())
        return;
    m_commands.removeAt(index);
    if (!m_commandExtras.isEmpty())
        m_commandExtras.removeAt(index);
}

bool CI2cDeviceFile::HasCommandLabel(const QString& label, int exceptIndex) const
{
    for (qsizetype i = 0; i < m_commands.size(); ++i) {
        if (i != exceptIndex && SameLabel(m_commands[i].label, label))
            return true;
    }
    return false;
}

int CI2cDeviceFile::FindCommandLabel(const QString& label) const
{
    for (qsizetype i = 0; i < m_commands.size(); ++i) {
        if (SameLabel(m_commands[i].label, label))
            return static_cast<int>(i);
    }
    return -1;
}

std::optional<std::vector<uint8_t>> CI2cDeviceFile::HexToBytes(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[\\s,;]+"));

    // Plain ASCII text, the usual case, is split by hand with the same rule
    // (white space, commas and semicolons): a folder reload converts tens of
    // thousands of these and the expression dominated it.
    const bool ascii =
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
    QList<QStringView> parts;
    if (ascii) {
        const auto isSeparator = [](QChar c) {
            const char16_t u = c.unicode();
            return u == ' ' || u == ',' || u == ';' || (u >= '\t' && u <= '\r');
        };
        const QStringView view(text);
        qsizetype start = -1;
        for (qsizetype i = 0; i <= view.size(); ++i) {
            if (i == view.size() || isSeparator(view[i])) {
                if (start >= 0)
                    parts.append(view.mid(start, i - start));
                start = -1;
            } else if (start < 0) {
                start = i;
            }
        }
    } else {
        parts = QStringView(text).split(separators, Qt::SkipEmptyParts);
    }

    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(text.size() / 2));
    for (const QStringView part : parts) {
        const QStringView digits = WithoutHexPrefix(part);
        if (digits.size() == 1) {
            // A single digit stands for a byte with a leading zero.
            const int value = HexDigitValue(digits[0]);
            if (value < 0)
                return std::nullopt;
            bytes.push_back(static_cast<uint8_t>(value));
            continue;
        }
        if (digits.isEmpty() || digits.size() % 2 != 0)
            return std::nullopt;
        for (qsizetype i = 0; i < digits.size(); i += 2) {
            const int high = HexDigitValue(digits[i]);
            const int low = HexDigitValue(digits[i + 1]);
            if (high < 0 || low < 0)
                return std::nullopt;
            bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
    }
    return bytes;
}

QString CI2cDeviceFile::BytesToHex(const std::vector<uint8_t>& bytes)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size() * 3));
    for (const uint8_t byte : bytes) {
        if (!text.isEmpty())
            text += u' ';
        text += QLatin1Char(DIGITS[byte >> 4]);
        text += QLatin1Char(DIGITS[byte & 0x0F]);
    }
    return text;
}
