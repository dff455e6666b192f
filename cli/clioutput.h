#pragma once

#include "transactions/i2ctransaction.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

class QTextStream;

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
    // whose probes failed.
    void WriteScan(const SI2cScan& scan);
    void WriteAdapter(const SCliAdapterInfo& adapter);
    // The text line that stands for an empty adapter list.
    void WriteNoAdapters();

private:
    QTextStream& m_out;
    const bool m_json;
    const bool m_eightBit;
};
