#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CCliOutput;
class QCommandLineParser;
class COrvI2c;
class QTextStream;
struct SI2cCommand;
struct SI2cTransaction;

// Exit statuses of the command-line tool.
enum class ECliExit : int {
    Ok = 0,           // every transaction succeeded
    Failed = 1,       // an I2C transaction failed
    Usage = 2,        // bad usage or bad input; nothing went to the bus
    NoConnection = 3, // no adapter, an unknown serial number, a connection failed or lost
};

// The command-line tool: one command per run, on one adapter. Results go to
// out, messages (what was wrong and how to put it right) to err.
//
//     QTextStream out(stdout), err(stderr);
//     return CCliTool(out, err).Run(QCoreApplication::arguments());
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

    // The text of --help for a program of this name.
    static QString HelpText(const QString& program);

private:
    struct SOptions;

    // Takes the option values into m_options; the exit status when one is
    // refused.
    std::optional<ECliExit> ReadOptions(const QCommandLineParser& parser);
    ECliExit CommandList();
    ECliExit CommandDetect(const QStringList& arguments);
    ECliExit CommandRead(const QStringList& arguments);
    ECliExit CommandWrite(const QStringList& arguments);
    ECliExit CommandRun(const QStringList& arguments);

    // Picks the adapter and checks the options against its model; nothing
    // is sent. Empty with the exit status in status on failure.
    std::unique_ptr<COrvI2c> SelectAdapter(ECliExit& status);
    // Connects the selected adapter with the options in force.
    bool Connect(COrvI2c& adapter);
    // The exit status after a transaction the adapter survived; a failure is
    // reported on err.
    ECliExit Judge(const SI2cTransaction& transaction, const QString& what);
    // How to put a failed transaction right.
    QString FailureHint(const SI2cTransaction& transaction) const;
    ECliExit ConnectionLost(COrvI2c& adapter, const std::optional<QString>& label = std::nullopt);

    std::optional<uint8_t> ParseAddress(const QString& text);
    std::optional<size_t> ParseCount(const QString& text);
    ECliExit Usage(const QString& message);
    ECliExit Fail(ECliExit status, const QString& message);

    QTextStream& m_out;
    QTextStream& m_err;
    QString m_program;
    std::unique_ptr<SOptions> m_options;
    std::unique_ptr<CCliOutput> m_output;
    std::wstring m_serial; // of the selected adapter
    QString m_adapterName; // "Orvane3 OR3-100042" once one is selected
};
