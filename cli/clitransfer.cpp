// The message-sequence command: transfer, the i2ctransfer way.

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "transactions/transfermessages.h"

namespace {

QString tr(const char* text)
{
    return CCliTool::tr(text);
}

} // namespace

ECliExit CommandTransfer(CCliTool& tool, const QStringList& arguments)
{
    const STransferParse parsed = ParseTransferMessages(arguments, tool.Options().eightBit);
    if (!parsed.error.isEmpty())
        return tool.Usage(parsed.error);
    const std::vector<STransferMessage>& messages = parsed.messages;
    for (size_t k = 0; k < messages.size(); ++k) {
        if (!tool.CheckAddress(messages[k].address, tr("message %1's address").arg(k)))
            return ECliExit::Usage;
    }

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    if (const QString problem = TransferProblem(messages, *adapter); !problem.isEmpty())
        return tool.Usage(problem);
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;

    const std::vector<SI2cTransaction> transactions = RunTransfer(*adapter, messages);
    const SI2cTransaction& last = transactions.back();
    if (!last.ok) {
        // As i2ctransfer warns, before it prints the messages that went.
        tool.Warn(tr("Warning: only %1/%2 messages were sent")
                      .arg(transactions.size() - 1)
                      .arg(messages.size()));
    }
    // Printed also when the adapter went away: part of it may have been sent.
    tool.Output().WriteTransfer(messages, transactions, tool.IsSet(QStringLiteral("verbose")));
    if (!last.ok && !adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    if (last.ok)
        return ECliExit::Ok;
    const size_t index = transactions.size() - 1;
    return tool.Judge(
        last,
        tr("message %1 (%2)").arg(index).arg(TransactionTypeText(last, tool.Options().eightBit)));
}
