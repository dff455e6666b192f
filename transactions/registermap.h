#pragma once

// Register maps: a chip's registers and their bit fields by name, read from
// an open file format (*.i2cmap, JSON in UTF-8) that the window, the
// command-line tool and Python all take. A map that cannot be used is refused
// as a whole, with a message that names the place ("registers[3].fields[1].
// bits: ..."); one that loads is consistent: names unique, fields inside their
// register and apart, labels within their field, pages and their selectors
// known.
//
//     QString error;
//     const auto map = LoadRegisterMap(path, &error);
//     const int temp = map->FindRegister(u"TEMP");
//
// Arrays ("count" and "stride") are expanded: every register of the map is
// one entry of registers, in the file's order.

#include "transactions/valuedecoding.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <vector>

class QByteArray;

inline constexpr int MAP_FORMAT_VERSION = 1;
// Limits that refuse a stray huge or runaway file quickly: far beyond any
// datasheet, well within what the views and the reader handle at once.
inline constexpr qint64 MAP_FILE_SIZE_MAX = 4 * 1024 * 1024;
inline constexpr int MAP_REGISTERS_MAX = 16384;
inline constexpr int MAP_ARRAY_COUNT_MAX = 4096;
inline constexpr int MAP_LABELS_MAX = 65536;
inline constexpr int MAP_NAME_LENGTH_MAX = 64;
// Enough for steps of 2^-12 or 1e-12 to show exactly; a field watched
// keeps its decimals.
inline constexpr int MAP_FIELD_DECIMALS_MAX = DECODING_DECIMALS_MAX;

// File name suffix of register maps, without the dot.
inline constexpr char MAP_FILE_SUFFIX[] = "i2cmap";

enum class EMapAccess {
    Read,
    Write,
    ReadWrite,
};

enum class EMapByteOrder {
    Big,    // most significant byte first
    Little, // least significant byte first
};

// What a written 1 or 0 does to a field; a read-modify-write never writes
// back a 1 read from a w1c or w1s field, nor a 0 read from a w0c field.
enum class EFieldWrite {
    Normal,
    W1c, // a 1 clears the bit (status flags)
    W1s, // a 1 sets the bit (start, trigger)
    W0c, // a 0 clears the bit
};

bool IsReadable(EMapAccess access);
bool IsWritable(EMapAccess access);
// "r", "w", "rw" and "normal", "w1c", "w1s", "w0c": the file's texts.
QString MapAccessText(EMapAccess access);
QString FieldWriteText(EFieldWrite write);

// One labelled value of a field: the field's own bits, not shifted.
struct SMapLabel {
    uint32_t value = 0;
    QString text;
};

struct SMapField {
    QString name;
    int msb = 0;
    int lsb = 0;
    bool isSigned = false;
    double scale = 1.0;
    double offset = 0.0;
    QString unit;
    // Given, or the fewest that show every step of the scale and offset.
    int decimals = 0;
    std::vector<SMapLabel> labels; // sorted by value
    EMapAccess access = EMapAccess::ReadWrite;
    EFieldWrite write = EFieldWrite::Normal;
    QString description;

    int Width() const { return msb - lsb + 1; }
    // The field's bits where they lie in the register.
    uint32_t Mask() const;
    // The largest value of the field's bits: 2^width - 1.
    uint32_t ValueMask() const;
    bool IsReadable() const { return ::IsReadable(access); }
    bool IsWritable() const { return ::IsWritable(access); }
    // The label of a value of the field's bits; null when it has none.
    const QString* LabelOf(uint32_t value) const;
    // The label matched without regard to case; null when none matches.
    const SMapLabel* FindLabel(QStringView text) const;
};

struct SMapRegister {
    QString name;
    uint32_t address = 0;
    int bytes = 1;
    EMapAccess access = EMapAccess::ReadWrite;
    EMapByteOrder byteOrder = EMapByteOrder::Big;
    std::optional<uint32_t> reset;
    // The bits whose reset value is defined; all when the file gives none.
    uint32_t resetMask = 0;
    bool isVolatile = false;
    bool readClears = false;
    int page = -1; // index into the map's pages, -1 for none
    QString description;
    std::vector<SMapField> fields; // in the file's order
    // Where it came from: the index in the file's "registers", and the
    // element of an array (-1 for a plain register).
    int definition = 0;
    int element = -1;

    // Every bit of the register: 2^(8 x bytes) - 1.
    uint32_t Mask() const;
    bool IsReadable() const { return ::IsReadable(access); }
    bool IsWritable() const { return ::IsWritable(access); }
    // The field of that name without regard to case; -1 when none.
    int FindField(QStringView name) const;
};

// Selecting a page: a write of value to a register, or only to one field of
// it (a read-modify-write).
struct SMapPage {
    QString name;
    int selectRegister = 0;
    int selectField = -1; // -1: the whole register
    uint32_t value = 0;
};

struct SRegisterMap {
    QString device;
    QString description;
    // The file it was loaded from; empty for a map parsed from memory.
    QString filePath;
    int pointerBytes = 1;
    EMapByteOrder byteOrder = EMapByteOrder::Big;
    bool autoIncrement = false;
    // The bits ORed into the pointer for an access of more than one byte;
    // 0 for none.
    uint32_t incrementFlag = 0;
    std::vector<SMapPage> pages;
    std::vector<SMapRegister> registers;
    // Keys the reader does not know, with their places; they are ignored, and
    // "map check" shows them, since a misspelt key silently takes a default.
    QStringList warnings;

    // The register of that name without regard to case; -1 when none.
    int FindRegister(QStringView name) const;
    // The page of that name without regard to case; -1 when none.
    int FindPage(QStringView name) const;
    // The register names, in map order.
    QStringList RegisterNames() const;

    // Upper-case name to register index; made by the reader.
    QHash<QString, int> registerIndex;
};

// The map in text (a file's bytes), or nothing with the reason in error. The
// text must be UTF-8 JSON of at most MAP_FILE_SIZE_MAX bytes.
std::optional<SRegisterMap> ParseRegisterMap(const QByteArray& text, QString* error);
// The map in a file (a regular file; a FIFO or folder is refused without
// waiting), its path kept in filePath.
std::optional<SRegisterMap> LoadRegisterMap(const QString& path, QString* error);

// The fewest decimals, up to MAP_FIELD_DECIMALS_MAX, that show every value
// n x scale + offset exactly; nothing when none do (1/1.2, or a finer step).
std::optional<int> ExactStepDecimals(double scale, double offset);

// The names nearest to wanted (by edit distance without regard to case, or
// starting alike), best first, at most max of them; for "did you mean"
// messages.
QStringList NearNames(const QStringList& names, QStringView wanted, int max = 3);
// "NAME" or "NAME.FIELD".
QString MapFieldPath(const SMapRegister& reg, int field);
