#pragma once

// Sequences of messages in i2ctransfer's syntax, sent as one transaction: a
// start, a repeated start before every further message, one stop at the end.
//
//     {r|w}LENGTH[@ADDR] [DATA...] ...
//
// A message without @ADDR goes to the previous message's address. A write is
// followed by exactly LENGTH data bytes; a data byte may end in a suffix that
// fills the rest of the message: "=" the same value, "+" and "-" counting up
// or down by one, "p" a pseudo-random sequence. LENGTH and the data bytes
// are numbers as the i2c-tools take them (0x hex, 0 octal, decimal), the
// address as every address of the tool (ParseNumber).

#include "transactions/i2ctransaction.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <vector>

class COrvI2c;

inline constexpr size_t TRANSFER_MAX_LENGTH = 65535;

struct STransferMessage {
    bool read = false;
    uint8_t address = 0; // 7-bit
    size_t length = 0;
    std::vector<uint8_t> data; // writes: the LENGTH bytes to send
};

struct STransferParse {
    std::vector<STransferMessage> messages; // none when refused
    QString error; // what is wrong and how to put it right; empty when read
};

// Reads the messages of the arguments; addresses in 8-bit form with
// eightBit.
STransferParse ParseTransferMessages(const QStringList& arguments, bool eightBit);

// The next byte of the "p" fill: rotate left by one ((d XOR 27) + 13).
uint8_t TransferPseudoRandomNext(uint8_t d);

// Why the adapter cannot send the messages faithfully, empty when it can:
// the Orvane adapters end every read with a stop, so a read must be the last
// message; a read must stay within the model's limit; a model without
// address-only writes cannot end on a message of length 0. Nothing is sent.
QString TransferProblem(const std::vector<STransferMessage>& messages, const COrvI2c& adapter);

// Sends the messages, which TransferProblem accepted, and stops at the
// first that fails. One transaction per message sent, in order.
std::vector<SI2cTransaction> RunTransfer(COrvI2c& adapter,
                                         const std::vector<STransferMessage>& messages);

// The message as i2ctransfer -v prints it once sent, e.g. "msg 0: addr 0x50,
// write, len 3, buf 0x20 0x41 0x42": a write with its bytes, a read with
// the bytes it read (read); messages of length 0 without buf.
QString TransferMessageLine(size_t index, const STransferMessage& message,
                            const std::vector<uint8_t>& read, bool eightBit);

// Bytes as the i2c-tools print them: "0x17 0x80".
QString I2cToolsBytes(const std::vector<uint8_t>& bytes);
