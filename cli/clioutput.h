#pragma once

#include "transactions/i2ctransaction.h"
#include "transactions/registercodec.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

class QTextStream;
struct SRegisterDump;
struct SRegisterRead;
struct SRegisterSet;
struct SDecodingRule;
struct SMapEntry;
struct SMapRegister;
struct SRegisterMap;
struct STransferMessage;
struct SWatchPoll;
struct SWatchSample;
struct SWatchSource;

// One attached adapter as the list command shows it.
struct SCliAdapterInfo {
    QString model;
    QString serial;
    QString product;
    uint16_t firmware = 0;
    QStringList speeds;   // "10k" ... "1000k", slowest first
    bool pullUps = false; // the model can switch its internal pull-ups
};

// What the command-line tool prints on standard output: text as the window
// shows it, or JSON Lines, one object per transaction or adapter.
class CCliOutput {
public:
    CCliOutput(QTextStream& out, bool json, bool eightBit);

    // The line "Copy Report" gives for the row; a label goes into JSON only.
    void WriteTransaction(const SI2cTransaction& transaction,
                          const std::optional<QString>& label = std::nullopt);
    // The bytes read as the output table's hex lines, 16 per line with hex
    // offsets; a failed read is reported as a transaction.
    void WriteReadData(const SI2cTransaction& read);
    // The grid i2cdetect prints, by 7-bit address (also with --8bit), with
    // XX for an address whose probe failed and blanks for those a scan
    // that ended early did not reach; JSON adds "failed", the addresses
    // whose probes failed. As text, WriteScanRows prints the header and
    // each row as soon as its addresses are probed, as i2cdetect does, so
    // that a scan ended by a signal leaves what it found; WriteScan then
    // prints the rows left.
    void WriteScanRows(const SI2cScan& scan, uint8_t probed);
    void WriteScan(const SI2cScan& scan);
    void WriteAdapter(const SCliAdapterInfo& adapter);

    // get: the bytes as i2cget prints them ("0x17 0x80"), nothing when the
    // read failed; JSON type "get" with the register (null for the current
    // pointer).
    void WriteRegisterRead(const SRegisterRead& read, uint8_t address, std::optional<uint32_t> reg);
    // set: as text what i2cset -r prints once the write went ("Value 0x55
    // written, readback matched", "Warning - data mismatch - ...",
    // "Warning - readback failed"), nothing without a read-back. JSON type
    // "set" with the register, "old" (masked), "readback" (asked), "step"
    // (the step that failed: "old", "write" or "readback"; null when none
    // did), data only when the values were written, and mismatch as the
    // error of a read-back that differed.
    void WriteRegisterSet(const SRegisterSet& set, uint8_t address, uint32_t reg, bool masked,
                          bool readback, const QString& mismatch);
    // dump: i2cdump's grid; JSON type "dump" with "first", "last" and every
    // byte in data, XX for a failed one. As text, WriteRegisterDumpRows
    // prints the header and each row once its first done registers cover it,
    // as i2cdump does; WriteRegisterDump then prints the rows left.
    void WriteRegisterDumpRows(const SRegisterDump& dump, size_t done);
    void WriteRegisterDump(const SRegisterDump& dump, uint8_t address);
    // transfer, after sending, as i2ctransfer prints it: the bytes of a read
    // message ("0x17 0x80"; no line for a read of nothing), or with verbose
    // a line per message sent, a read with its bytes. JSON type "transfer"
    // with "messages", one transaction object per message that went to the
    // adapter, and "ok":false unless all were sent.
    void WriteTransfer(const std::vector<STransferMessage>& messages,
                       const std::vector<SI2cTransaction>& transactions, bool verbose);
    // watch, before the first sample: with csv the header line of the CSV
    // columns, else nothing.
    void WriteWatchHeader(bool csv);
    // watch: a line per sample. Text: the local ISO time, a tab, and the
    // value with its unit, or the bytes read without a rule, or "failed: "
    // and the error. CSV: the columns of the window's Watch. JSON type
    // "watch" with the register (null for the current pointer), time,
    // seconds since the start (to the microsecond), value (rounded to the
    // rule's decimals; null without one) and unit. A sample has a value
    // only with a rule. A field of a map gives reading: the text and value
    // are then those of get (the label, the number unrounded).
    void WriteWatchSample(const SWatchSample& sample, const SWatchPoll& poll,
                          const SWatchSource& source, const std::optional<SDecodingRule>& rule,
                          bool csv, const std::optional<SFieldReading>& reading = std::nullopt);
    // The text line that stands for an empty adapter list.
    void WriteNoAdapters();

    // A register of a map as regs reads it and set reads it back. Text: a
    // line "TEMP (0x00) = 0x1780" and one per field, "  T = 23.5 °C", or
    // "TEMP (0x00): failed: " and the error. JSON: {"register":"TEMP",
    // "address":0,"raw":"0x1780","fields":{"T":{"value":23.5,"text":
    // "23.5 °C"}}}, value the label of a labelled value; a failure (an
    // error) adds "ok":false and "error", without a value with raw null and
    // no fields.
    void WriteMapRegister(const SRegisterMap& map, const SMapRegister& reg,
                          std::optional<uint32_t> value, const QString& error);
    // get with a map: as text the bytes read as get prints them, or only
    // the field's text (field >= 0); nothing when the read failed. JSON:
    // the register's object, with only that field.
    void WriteMapGet(const SMapRegister& reg, int field, const std::vector<uint8_t>& bytes,
                     std::optional<uint32_t> value, const QString& error);
    // map list: device, registers, path and description separated by tabs
    // (line breaks and tabs in a description or path as blanks),
    // or "-" and the error for a map that does not load. JSON: device,
    // description, path, registers, ok and error.
    void WriteMapEntry(const SMapEntry& entry);
    // map check: "PATH: DEVICE, N registers" and a line per key the reader
    // does not know; a map that does not load gives nothing as text. JSON:
    // path, ok, error, device, registers and warnings.
    void WriteMapCheck(const QString& path, const SRegisterMap* map, const QString& error);
    // Text as it stands: a header, Markdown.
    void WriteText(const QString& text);

private:
    QTextStream& m_out;
    const bool m_json;
    const bool m_eightBit;
    // The grid printed so far, of detect or dump: whether its header is out,
    // and the next row's first address or register.
    bool m_gridStarted = false;
    uint64_t m_gridRow = 0;
};
