#include "transactions/transfermessages.h"

#include "i2c/orvi2c.h"
#include "numbers/parsenumber.h"
#include "transactions/i2caddress.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <optional>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("TransferMessages", text);
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// "r2", "w3@0x50": read or write, the length and the address text.
struct SMessageHead {
    bool read = false;
    std::optional<uint64_t> length;
    QString lengthError; // why length is empty
    QString address;     // empty without @
};

std::optional<SMessageHead> ParseHead(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^([rw])([^@]+)(?:@(.+))?$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    SMessageHead head;
    head.read = match.captured(1) == QLatin1String("r");
    head.length = ParseNumber(match.captured(2), ENumberSyntax::I2cTools, TRANSFER_MAX_LENGTH,
                              &head.lengthError);
    head.address = match.captured(3);
    return head;
}

// The rest of a write from its last given byte on, by the suffix.
void Fill(std::vector<uint8_t>& data, size_t length, QChar suffix)
{
    while (data.size() < length) {
        const uint8_t d = data.back();
        switch (suffix.unicode()) {
        case u'+':
            data.push_back(static_cast<uint8_t>(d + 1));
            break;
        case u'-':
            data.push_back(static_cast<uint8_t>(d - 1));
            break;
        case u'p':
            data.push_back(TransferPseudoRandomNext(d));
            break;
        default:
            data.push_back(d);
            break;
        }
    }
}

} // namespace

uint8_t TransferPseudoRandomNext(uint8_t d)
{
    const auto sum = static_cast<uint8_t>((d ^ 27) + 13);
    return static_cast<uint8_t>((sum << 1) | (sum >> 7));
}

namespace {

STransferParse ParseMessages(const QStringList& arguments, bool eightBit)
{
    STransferParse result;
    const QString syntax = tr("Give messages as {r|w}LENGTH[@ADDR], a write followed by its "
                              "LENGTH data bytes, e.g. w1@0x50 0x00 r2.");
    if (arguments.isEmpty()) {
        result.error = tr("no messages given. %1").arg(syntax);
        return result;
    }
    std::optional<uint8_t> address;
    for (qsizetype i = 0; i < arguments.size();) {
        const QString text = arguments[i++];
        const size_t index = result.messages.size();
        const std::optional<SMessageHead> head = ParseHead(text);
        if (!head) {
            const bool afterRead = index > 0 && result.messages.back().read;
            result.error = afterRead && ParseNumber(text, ENumberSyntax::I2cTools, UINT64_MAX)
                               ? tr("message %1 is a read, which takes no data bytes, but %2 "
                                    "follows it. %3")
                                     .arg(index - 1)
                                     .arg(quoted(text), syntax)
                               : tr("invalid message %1. %2").arg(quoted(text), syntax);
            return result;
        }
        if (!head->length) {
            result.error = tr("invalid length in message %1 %2: %3. Give a number from 0 to %4.")
                               .arg(index)
                               .arg(quoted(text), head->lengthError)
                               .arg(TRANSFER_MAX_LENGTH);
            return result;
        }
        if (!head->address.isEmpty()) {
            QString reason;
            address = ParseI2cAddress(head->address, eightBit, &reason);
            if (!address) {
                result.error =
                    eightBit ? tr("invalid address in message %1 %2: %3. With --8bit give a hex "
                                  "address from 0x00 to 0xFF after @, e.g. w1@0xA0.")
                                   .arg(index)
                                   .arg(quoted(text), reason)
                             : tr("invalid address in message %1 %2: %3. Give a hex 7-bit "
                                  "address from 0x00 to 0x7F after @, e.g. w1@0x50.")
                                   .arg(index)
                                   .arg(quoted(text), reason);
                return result;
            }
        } else if (!address) {
            result.error = tr("the first message %1 names no address. Add one after @, e.g. "
                              "%2@0x50.")
                               .arg(quoted(text), text);
            return result;
        }

        STransferMessage message;
        message.read = head->read;
        message.address = *address;
        message.length = *head->length;
        while (!message.read && message.data.size() < message.length) {
            if (i >= arguments.size()) {
                result.error = tr("message %1 %2 needs %3 data bytes but has %4. Give one "
                                  "byte per argument, or end one with = + - or p to fill the "
                                  "rest.")
                                   .arg(index)
                                   .arg(quoted(text))
                                   .arg(message.length)
                                   .arg(message.data.size());
                return result;
            }
            QString byteText = arguments[i++];
            QChar suffix;
            if (byteText.size() > 1 &&
                QStringLiteral("=+-p").contains(byteText.back(), Qt::CaseSensitive)) {
                suffix = byteText.back();
                byteText.chop(1);
            }
            QString reason;
            const std::optional<uint64_t> value =
                ParseNumber(byteText, ENumberSyntax::I2cTools, 0xFF, &reason);
            if (!value) {
                result.error = tr("invalid data byte %1 in message %2 %3: %4. It needs %5 data "
                                  "bytes: give numbers from 0 to 255 (0x00 to 0xFF), the last "
                                  "given optionally ending in = + - or p.")
                                   .arg(quoted(arguments[i - 1]))
                                   .arg(index)
                                   .arg(quoted(text), reason)
                                   .arg(message.length);
                return result;
            }
            message.data.push_back(static_cast<uint8_t>(*value));
            if (!suffix.isNull())
                Fill(message.data, message.length, suffix);
        }
        result.messages.push_back(std::move(message));
    }
    return result;
}

} // namespace

STransferParse ParseTransferMessages(const QStringList& arguments, bool eightBit)
{
    STransferParse result = ParseMessages(arguments, eightBit);
    if (!result.error.isEmpty())
        result.messages.clear();
    return result;
}

QString TransferProblem(const std::vector<STransferMessage>& messages, const COrvI2c& adapter)
{
    const QString model = QString::fromStdWString(adapter.GetTypeName());
    for (size_t k = 0; k < messages.size(); ++k) {
        const STransferMessage& message = messages[k];
        const bool last = k + 1 == messages.size();
        if (message.read && !last) {
            return tr("message %1 is a read and message %2 follows it, but the Orvane adapters "
                      "end every read with a stop, so the sequence cannot go as one "
                      "transaction. Make the read the last message, or send what follows it in "
                      "another call.")
                .arg(k)
                .arg(k + 1);
        }
        if (message.read && message.length > adapter.GetMaxReadCount()) {
            return tr("message %1 reads %2 bytes, but the %3 reads at most %4 at once. Give a "
                      "smaller length.")
                .arg(k)
                .arg(message.length)
                .arg(model)
                .arg(adapter.GetMaxReadCount());
        }
        if (last && message.length == 0 && !adapter.IsAddressOnlyWriteSupported()) {
            return tr("message %1 has length 0, so it would end the transaction with the "
                      "address alone, which the %2 cannot send. Give it a length.")
                .arg(k)
                .arg(model);
        }
    }
    return {};
}

std::vector<SI2cTransaction> RunTransfer(COrvI2c& adapter,
                                         const std::vector<STransferMessage>& messages)
{
    std::vector<SI2cTransaction> transactions;
    for (size_t k = 0; k < messages.size(); ++k) {
        const STransferMessage& message = messages[k];
        const bool last = k + 1 == messages.size();
        SI2cTransaction transaction;
        if (message.read && message.length > 0) {
            transaction = RunRead(adapter, message.address, message.length);
        } else if (message.read) {
            // A read of nothing: the address in read form, then the stop.
            transaction.type = EI2cTransactionType::Read;
            transaction.address = message.address;
            SI2cWriteResult result;
            transaction.ok =
                adapter.Write({static_cast<uint8_t>(message.address << 1 | 1)}, result, true, true);
            transaction.status = result.status;
            transaction.errorCode = result.errorCode;
            if (!transaction.ok) {
                transaction.error = QString::fromStdString(adapter.GetLastError());
                transaction.errorKind = adapter.GetLastErrorKind();
            }
        } else {
            transaction = RunWrite(adapter, last ? EI2cStartStop::Auto : EI2cStartStop::Start,
                                   message.address, message.data);
        }
        transactions.push_back(std::move(transaction));
        if (!transactions.back().ok)
            break;
    }
    return transactions;
}

QString TransferMessageLine(size_t index, const STransferMessage& message,
                            const std::vector<uint8_t>& read, bool eightBit)
{
    const uint8_t shown = eightBit ? static_cast<uint8_t>(message.address << 1) : message.address;
    QString line = QStringLiteral("msg %1: addr 0x%2, %3, len %4")
                       .arg(index)
                       .arg(shown, 2, 16, QLatin1Char('0'))
                       .arg(message.read ? QStringLiteral("read") : QStringLiteral("write"))
                       .arg(message.length);
    const std::vector<uint8_t>& buffer = message.read ? read : message.data;
    if (message.length > 0 && !buffer.empty())
        line += QStringLiteral(", buf ") + I2cToolsBytes(buffer);
    return line;
}

QString I2cToolsBytes(const std::vector<uint8_t>& bytes)
{
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(bytes.size()));
    for (uint8_t byte : bytes)
        texts.append(QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0')));
    return texts.join(QLatin1Char(' '));
}
