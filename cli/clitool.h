#pragma once

#include "i2c/orvi2c.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

class CCliOutput;
class QCommandLineParser;
class QTextStream;
struct SAdapterTraits;
struct SCliCommand;
struct SI2cTransaction;

// Exit statuses of the command-line tool.
enum class ECliExit : int {
    Ok = 0,           // every transaction succeeded
    Failed = 1,       // an I2C transaction failed
    Usage = 2,        // bad usage or bad input; nothing went to the bus
    NoConnection = 3, // no adapter, an unknown serial number, a connection failed or lost
    OutputFailed = 4, // standard output could not be written
};

// The options every command shares.
struct SCliOptions {
    QString serial; // empty: the only attached adapter
    EI2cSpeed speed = EI2cSpeed::Speed100k;
    QString speedName = QStringLiteral("100k");
    std::optional<bool> pullUps;
    bool eightBit = false;
    bool json = false;
    // The reserved addresses 0x00-0x07 and 0x78-0x7F are taken too.
    bool allAddresses = false;
};

// The command-line tool: one command per run, on one adapter. Results go to
// out, messages (what was wrong and how to put it right) to err.
//
//     QTextStream out(stdout), err(stderr);
//     return CCliTool(out, err).Run(QCoreApplication::arguments());
//
// The commands themselves live in cli/clicommands.h, one source file per
// family; they reach the adapter, the options and the output through the
// public helpers below.
class CCliTool {
    Q_DECLARE_TR_FUNCTIONS(CCliTool)

public:
    CCliTool(QTextStream& out, QTextStream& err);
    ~CCliTool();
    CCliTool(const CCliTool&) = delete;
    CCliTool& operator=(const CCliTool&) = delete;

    // Runs the command the arguments name (the program's name first) and
    // returns the exit status.
    int Run(const QStringList& arguments);

    // The text of --help for a program of this name; extra goes at its end,
    // and the examples name exampleAdapter with -a where it is not empty.
    static QString HelpText(const QString& program, const QString& extra = QString(),
                            const QString& exampleAdapter = QString());
    // Appended to --help, for what a program adds (the demo's environment),
    // and the adapter its examples name (the demo has three attached).
    void SetHelpExtra(const QString& extra, const QString& exampleAdapter = QString())
    {
        m_helpExtra = extra;
        m_exampleAdapter = exampleAdapter;
    }
    // The demo programs also find the shipped maps in the build tree.
    void SetDemo(bool demo) { m_demo = demo; }

    // --- For the commands -------------------------------------------------

    const QString& Program() const { return m_program; }
    const SCliOptions& Options() const { return m_options; }
    CCliOutput& Output() { return *m_output; }
    // The command's own options (those of the command table), by long name.
    bool IsSet(const QString& option) const;
    QString Value(const QString& option) const;
    // Standard output failed; commands stop sending once it has.
    bool OutputFailed() const;
    // Where register maps are looked for, first the user's beside the
    // window's projects folder.
    QStringList MapFolders() const;

    // Picks the adapter and checks the options against its model; nothing
    // is sent. Empty with the exit status in status on failure.
    std::unique_ptr<COrvI2c> SelectAdapter(ECliExit& status);
    // "Orvane3 OR3-100042" once an adapter is selected.
    const QString& AdapterName() const { return m_adapterName; }
    // Connects the selected adapter with the options in force; a failure is
    // reported on err.
    bool Connect(COrvI2c& adapter);
    // The exit status after a transaction the adapter survived; a failure is
    // reported on err as "<what> failed: <error>. <hint>".
    ECliExit Judge(const SI2cTransaction& transaction, const QString& what);
    // How to put a failed transaction right.
    QString FailureHint(const SI2cTransaction& transaction) const;
    ECliExit ConnectionLost(COrvI2c& adapter, const std::optional<QString>& label = std::nullopt);

    // Parse an argument, or report it on err and return nothing. A reserved
    // address is refused without --all-addresses; next is the argument after
    // the address, which tells the i2c-tools' bus number before it.
    std::optional<uint8_t> ParseAddress(const QString& text, const QString& next = QString());
    // Whether the address may be used: not reserved, or --all-addresses
    // given; else reported on err as "<what> 0x00 is reserved" (what
    // "address", "the device file's address"), with the bus number hint
    // when the text given and the argument after it both read as addresses.
    bool CheckAddress(uint8_t address, const QString& what, const QString& given = QString(),
                      const QString& next = QString());
    std::optional<size_t> ParseCount(const QString& text);
    ECliExit Usage(const QString& message);
    ECliExit Fail(ECliExit status, const QString& message);
    // A line on err as it stands, without the program's name: the i2c-tools'
    // own warnings, matched to the character.
    void Warn(const QString& line);

    // The text in double quotes, with control characters, the quote and the
    // backslash escaped as in C, so that a message stays one readable line;
    // cut after maxLength characters with "..." when maxLength > 0.
    static QString Quoted(const QString& text, qsizetype maxLength = 0);
    // A text from elsewhere (an adapter's error, a decoding failure) as a
    // clause that a message ends with its own full stop: without the one it
    // may have, so that no message ends in "..".
    static QString Clause(const QString& text);
    // "10k" ... "1000k" as far as the model runs at them, slowest first.
    static QStringList SpeedNames(const SAdapterTraits& traits);

private:
    // Takes the common option values into m_options; the exit status when
    // one is refused.
    std::optional<ECliExit> ReadOptions(const QCommandLineParser& parser);
    // The exit status once the command has run: a failed standard output
    // overrides what the command returned.
    int Finish(ECliExit status);

    QTextStream& m_out;
    QTextStream& m_err;
    QString m_program;
    QString m_helpExtra;
    QString m_exampleAdapter;
    bool m_demo = false;
    SCliOptions m_options;
    std::unique_ptr<QCommandLineParser> m_parser;
    std::unique_ptr<CCliOutput> m_output;
    std::wstring m_serial; // of the selected adapter
    QString m_adapterName;
};
