#pragma once

// A register map on an adapter, as the window's Registers view, the
// command-line tool and Python all run it: reading one register or all of
// them, and read-modify-writes of fields with a read-back. Every access is a
// step, a row of the output table named with the register ("Read TEMP",
// "Read TEMP..TOS", "Write CONF", "Read back CONF", "Select BANK2"); names and
// values are checked before anything goes to the bus.
//
//     SMapError error;
//     const auto writes = PlanMapWrites(map, {"CONF.F_QUE=4 faults", "TOS.T=80"}, &error);
//     for (const SMapWrite& write : *writes) {
//         const SMapWriteResult result = RunMapWrite(adapter, 0x48, map, write);
//         for (const SMapStep& step : result.steps) ... a row each ...
//     }

#include "transactions/i2ctransaction.h"
#include "transactions/registercodec.h"
#include "transactions/registermap.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class COrvI2c;

// One access: a register read (the pointer write, then the read), a write,
// a read-back or a page selection.
struct SMapStep {
    QString type;                              // the row's name, "Read TEMP"
    std::vector<SI2cTransaction> transactions; // in bus order

    bool ok() const;
    // The failed transaction, or null.
    const SI2cTransaction* failure() const;
    // The transaction the row shows: the failed one, else the last (the read
    // of a read, with the bytes read).
    const SI2cTransaction& Row() const;
};

// The row as "Copy Report" gives it: the step's name, the Flags text and the
// row transaction's data in hex.
QString MapStepReportLine(const SMapStep& step);

// One register of a read: its value, or why there is none.
struct SMapRegisterRead {
    int reg = -1;
    std::optional<uint32_t> value;
    QString error; // the failed step's error; empty when read
};

struct SMapRead {
    std::vector<SMapStep> steps;             // in bus order
    std::vector<SMapRegisterRead> registers; // the registers read, in map order
    bool ok() const;
    // The first step that failed, or null.
    const SMapStep* failure() const;
};

// One read transaction of Read All: registers that follow each other on one
// page (each beginning where the one before ends, the pointer advancing by
// one a byte), as many as one read may take.
struct SMapReadBlock {
    int page = -1;
    std::vector<int> registers; // by address
    size_t bytes = 0;
};

// The registers Read All reads: the readable ones, without those whose read
// clears something unless they are in alsoRead.
std::vector<int> ReadAllRegisters(const SRegisterMap& map, const std::vector<int>& alsoRead = {});
// How Read All reads those registers: page by page (registers without a
// page first), one block per run of consecutive registers where the map
// says the pointer advances (auto_increment), at most maxRead bytes each;
// one block per register otherwise.
std::vector<SMapReadBlock> PlanMapReads(const SRegisterMap& map, const std::vector<int>& registers,
                                        size_t maxRead);

// The pointer an access of the register sends: its address, with the
// increment flag where it has more than one byte (a watch polls with it).
uint32_t MapRegisterPointer(const SRegisterMap& map, const SMapRegister& reg);

// Refuses a read of a write-only register; true when reg can be read.
bool CheckMapRead(const SRegisterMap& map, int reg, SMapError* error);
// The same for a field of it (field -1 for the whole register): a write-only
// field reads as nothing, so asking for its value is refused alike in every
// front end.
bool CheckMapRead(const SRegisterMap& map, int reg, int field, SMapError* error);
// The register named, without regard to case; -1 with a message that lists
// near names when there is none.
int FindMapRegister(const SRegisterMap& map, QStringView name, SMapError* error);
// "NAME" or "NAME.FIELD": the register and the field (-1 for none); false
// with near names when either is unknown.
bool FindMapTarget(const SRegisterMap& map, QStringView target, int& reg, int& field,
                   SMapError* error);

// Reads one register, its page selected first. A write-only register is
// refused before the bus (registers[0].error).
SMapRead RunMapRegisterRead(COrvI2c& adapter, uint8_t address, const SRegisterMap& map, int reg);
// Reads the registers ReadAllRegisters names, as PlanMapReads plans it. A
// failure marks the registers it hit and the rest still read: when the chip
// refused a block's pointer (a NACK), its first register is marked and the
// rest of the block read again; another failure marks the whole block. Once
// the adapter has gone, the rest are marked without a try. cancelled, when
// given, is asked before each read: a map of many registers is many
// transactions, and once it says so the rest are marked "Cancelled" without
// a try. Each register goes to progress, in map order, as soon as it and
// those before it are read or failed.
SMapRead RunMapReadAll(COrvI2c& adapter, uint8_t address, const SRegisterMap& map,
                       const std::vector<int>& alsoRead = {},
                       const std::function<bool()>& cancelled = {},
                       const std::function<void(const SMapRegisterRead&)>& progress = {});

// A value for one field, or for the whole register (field -1), as the bits
// that go into it.
struct SFieldAssignment {
    int field = -1;
    uint32_t bits = 0;
};

// The fields of one register set in one read-modify-write.
struct SMapWrite {
    int reg = -1;
    std::vector<SFieldAssignment> assignments;
};

// Adds "NAME" or "NAME.FIELD" set to value to the write of its register
// (a new one at the end when there is none). A value reads as EncodeFieldText
// reads it, for a whole register as EncodeRegisterText does. Refused with
// nothing added: an unknown name (near names listed), a read-only register
// or field, a bad value, a field or register given twice, or a register
// given both whole and by field.
bool AddMapAssignment(const SRegisterMap& map, std::vector<SMapWrite>& writes, QStringView target,
                      QStringView value, SMapError* error);
// The same for a number in the field's unit (a whole number for a register).
bool AddMapAssignmentNumber(const SRegisterMap& map, std::vector<SMapWrite>& writes,
                            QStringView target, double value, SMapError* error);
// The writes of "NAME=VALUE" and "NAME.FIELD=VALUE" texts, one per
// register in the order first named, each checked by CheckMapWrite.
std::optional<std::vector<SMapWrite>>
PlanMapWrites(const SRegisterMap& map, const QStringList& assignments, SMapError* error);
// A write that can go to the bus: a known writable register with at least
// one assignment; a write-only register (which cannot be read first) needs
// all its writable fields, or the whole value.
bool CheckMapWrite(const SRegisterMap& map, const SMapWrite& write, SMapError* error);

// The value a read-modify-write writes: old with the assigned fields
// replaced, where the fields not assigned keep their bits except that w1c and
// w1s fields get 0 and w0c fields 1 (writing back what was read would clear
// or set them), and write-only fields their reset bits (0 where undefined).
// Without old (a write-only register) the reset value stands in, 0 where
// undefined.
uint32_t ComposeMapWrite(const SMapRegister& reg, const std::vector<SFieldAssignment>& assignments,
                         std::optional<uint32_t> old);
// The bits a read-back compares: those of the assigned fields that read back
// what was written (readable, normal write); for a whole value every bit
// except such fields that do not (and none of a volatile register). 0 for a
// register that cannot be read.
uint32_t MapWriteCheckedBits(const SMapRegister& reg,
                             const std::vector<SFieldAssignment>& assignments);

struct SMapWriteResult {
    std::vector<SMapStep> steps;      // in bus order
    std::optional<uint32_t> old;      // read first; none when not needed or failed
    std::optional<uint32_t> written;  // none when nothing was written
    std::optional<uint32_t> readBack; // none for a write-only register or a failure
    uint32_t checked = 0;             // the bits the read-back compares
    QString refusal;                  // a write CheckMapWrite refuses; nothing sent

    bool Mismatch() const;
    // The assigned fields (or the register, for a whole value) whose bits
    // read back differ, as "NAME.FIELD".
    QStringList MismatchNames(const SRegisterMap& map, const SMapWrite& write) const;
    bool ok() const;
    const SMapStep* failure() const;
};

// One read-modify-write: the page selected, the old value read where it is
// needed (readable, and not every bit given), the new value written in one
// write, then read back where readable and compared.
SMapWriteResult RunMapWrite(COrvI2c& adapter, uint8_t address, const SRegisterMap& map,
                            const SMapWrite& write);
