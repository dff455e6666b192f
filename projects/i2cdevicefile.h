#pragma once

#include <QByteArrayList>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QtGlobal>

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

enum class EI2cCommandType : int32_t {
    Write = 0,
    Read = 1,
};

// Start/stop conditions of a write. The values are the item indexes of the
// main window's start/stop selector.
enum class EI2cStartStop : int32_t {
    Auto = 0,  // start and stop
    Start = 1, // start only
    Stop = 2,  // stop only
    None = 3,  // neither
};

// The mode names of device files, in value order.
inline constexpr std::array<std::pair<EI2cStartStop, const char*>, 4> MODE_NAMES{{
    {EI2cStartStop::Auto, "auto"},
    {EI2cStartStop::Start, "start"},
    {EI2cStartStop::Stop, "stop"},
    {EI2cStartStop::None, "none"},
}};

// One stored command: a write of fixed bytes or a read of a fixed count.
struct SI2cCommand {
    QString label;
    EI2cCommandType type = EI2cCommandType::Write;
    EI2cStartStop mode = EI2cStartStop::Auto; // writes only; reads carry Auto
    std::vector<uint8_t> data;                // writes only; empty for reads
    int32_t count = 1;                        // reads only, 1 to 65535; writes carry 1

    bool operator==(const SI2cCommand&) const = default;
};

Q_DECLARE_METATYPE(SI2cCommand)

// Which file a path leads to, and which version of it: the device and inode
// of the file (links followed), its size, and its modification and status
// change times in nanoseconds. An edit of the file changes one of them.
struct SFileStamp {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modified = 0;
    qint64 changed = 0;

    bool operator==(const SFileStamp&) const = default;
    // Whether both lead to the same file, whatever its version.
    bool SameFile(const SFileStamp& other) const
    {
        return device == other.device && inode == other.inode;
    }
    // The file at path as it is now; nothing when it cannot be examined.
    static std::optional<SFileStamp> Of(const QString& path);
};

// One device file in memory: name, 7-bit address, description and an ordered
// list of commands, with the reader and writer of the file format.
//
// A value type; copies share the command list until one of them changes it.
// Load, Save and SaveAs return false on failure and leave a text for
// GetLastError; nothing throws for bad input. Setters and list edits change
// only the object in memory.
class CI2cDeviceFile {
public:
    // File name suffix of device files, without the dot.
    static const QString FILE_SUFFIX;

    // Sets the file path, then reads the file. On failure returns false and
    // changes nothing but the file path and the last error.
    bool Load(const QString& path);
    // Replaces the file at the file path atomically; on failure the previous
    // file is untouched and the save file's error text is the last error.
    bool Save() const;
    // Sets the file path, then saves.
    bool SaveAs(const QString& path);

    QString GetFilePath() const { return m_filePath; }
    // The file that the last Load read whole, as it was while being read;
    // nothing when that Load failed before it had read the file, or the
    // file changed while it was read.
    std::optional<SFileStamp> GetFileStamp() const { return m_fileStamp; }
    // Text of the most recent failure; a success does not clear it.
    QString GetLastError() const { return m_lastError; }
    QString GetName() const { return m_name; }
    void SetName(const QString& name) { m_name = name; }
    uint8_t GetAddress() const { return m_address; }
    void SetAddress(uint8_t address) { m_address = address; }
    QString GetDescription() const { return m_description; }
    void SetDescription(const QString& description) { m_description = description; }
    // The register map of the device, by device name or file; empty for none.
    QString GetMap() const { return m_map; }
    void SetMap(const QString& map) { m_map = map; }

    const QList<SI2cCommand>& GetCommands() const { return m_commands; }
    // Appends a copy at the end.
    void AddCommand(const SI2cCommand& command);
    // Moves the command at index to index + delta, shifting those in between
    // by one place. False, with nothing changed, when either position is
    // outside the list; true for a delta of 0.
    bool MoveCommand(int index, int delta);
    // Replaces the label, untrimmed; an index outside the list is ignored.
    void RenameCommand(int index, const QString& label);
    // An index outside the list is ignored.
    void RemoveCommand(int index);
    // True when a command other than the one at exceptIndex (-1 for none)
    // has this label, both trimmed and compared without regard to case.
    bool HasCommandLabel(const QString& label, int exceptIndex) const;
    // The index of the first command with this label, compared as
    // HasCommandLabel compares; -1 when there is none.
    int FindCommandLabel(const QString& label) const;

    // Hex text to bytes: groups separated by white space, commas or
    // semicolons, each an optional "0x" and an even number of hex digits or a
    // single digit. Empty when the text is not acceptable; an empty text
    // gives an empty vector.
    static std::optional<std::vector<uint8_t>> HexToBytes(const QString& text);
    // Bytes as two upper-case hex digits each, separated by single spaces.
    static QString BytesToHex(const std::vector<uint8_t>& bytes);

private:
    QString m_filePath;
    mutable QString m_lastError; // written by the const Save
    QString m_name;
    uint8_t m_address = 0;
    QString m_description;
    QString m_map;
    QList<SI2cCommand> m_commands;
    // Members that other tools put into the file and the format does not
    // know, kept in their order after the known ones: of the top level, and
    // of each command (empty when no command has any, else one entry a
    // command), each as `"key": value` text.
    QByteArrayList m_extraKeys;
    QList<QByteArray> m_commandExtras;
    std::optional<SFileStamp> m_fileStamp;
};
