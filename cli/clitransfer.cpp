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

    ECliExit status = ECliExit::Ok;
    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    if (const QString problem = TransferProblem(messages, *adapter); !problem.isEmpty())
        return tool.Usage(problem);
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;

    if (tool.IsSet(QStringLiteral("verbose"))) {
        tool.Output().WriteTransferMessages(messages);
        // Results that cannot be reported are not worth the bus traffic.
        if (tool.OutputFailed())
            return ECliExit::OutputFailed;
    }
    const std::vector<SI2cTransaction> transactions = RunTransfer(*adapter, messages);
    const SI2cTransaction& last = transactions.back();
    if (!last.ok && !adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    tool.Output().WriteTransfer(messages, transactions);
    if (last.ok)
        return ECliExit::Ok;
    const size_t index = transactions.size() - 1;
    return tool.Judge(
        last,
        tr("message %1 (%2)").arg(index).arg(TransactionTypeText(last, tool.Options().eightBit)));
}
