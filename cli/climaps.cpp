// The register-map commands: regs, map, and get, set and watch by name. Maps,
// names and values are checked before anything goes to the bus; the reading,
// decoding and read-modify-writes are the register map library's.

#include "cli/clicommands.h"
#include "cli/clioutput.h"
#include "transactions/registercodec.h"
#include "transactions/registermapaccess.h"
#include "transactions/registermapexport.h"
#include "transactions/registermapfolders.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <array>

namespace {

QString tr(const char* text)
{
    return CCliTool::tr(text);
}

// The map a --map value or a map argument names; a refusal is reported on
// err with the exit status in status.
std::optional<SRegisterMap> loadMap(CCliTool& tool, const QString& nameOrPath, ECliExit& status)
{
    if (nameOrPath.trimmed().isEmpty()) {
        status = tool.Usage(tr("the register map is empty. Give a device name such as LM75 or a "
                               "*.i2cmap file; \"%1 map list\" shows the maps.")
                                .arg(tool.Program()));
        return std::nullopt;
    }
    QString error;
    std::optional<SRegisterMap> map = FindRegisterMap(nameOrPath, tool.MapFolders(), &error);
    if (map)
        return map;
    // A name that is no map gets the names there are; a file, what is wrong.
    const bool file = nameOrPath.contains(QLatin1Char('/')) ||
                      nameOrPath.trimmed().endsWith(QStringLiteral(".i2cmap"));
    QString hint;
    if (!file)
        hint = tr("\"%1 map list\" shows the maps and where they lie.").arg(tool.Program());
    else if (!QFileInfo::exists(nameOrPath.trimmed()))
        hint = tr("Give the path of a map file, or a device name.");
    else
        hint = tr("Correct the map; \"%1 map check\" with the file names what is wrong.")
                   .arg(tool.Program());
    status = tool.Usage(tr("cannot use the register map %1: %2. %3")
                            .arg(CCliTool::Quoted(nameOrPath), CCliTool::Clause(error), hint));
    return std::nullopt;
}

std::optional<SRegisterMap> loadOptionMap(CCliTool& tool, ECliExit& status)
{
    return loadMap(tool, tool.Value(QStringLiteral("map")), status);
}

// Options of the commands by register number, which the map replaces.
ECliExit refuseNumberOptions(CCliTool& tool, const QString& command,
                             std::initializer_list<const char*> options)
{
    for (const char* option : options) {
        const QString name = QLatin1String(option);
        if (!tool.IsSet(name))
            continue;
        QString why;
        if (name == QLatin1String("reg-width"))
            why = tr("the map gives the pointer's width");
        else if (name == QLatin1String("readback"))
            why = tr("%1 by name reads back by itself where the register is readable").arg(command);
        else
            why = tr("%1 by name keeps the other fields by itself").arg(command);
        return tool.Usage(tr("--%1 does not go with --map: %2. Leave it out.").arg(name, why));
    }
    return ECliExit::Ok;
}

// A refused name or value, with where to look for the right one.
ECliExit refuse(CCliTool& tool, const SMapError& error)
{
    const QString map = tool.Value(QStringLiteral("map")).trimmed();
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+-]+$"));
    const QString hint =
        error.kind == EMapErrorKind::UnknownName
            ? tr(" \"%1 map markdown %2\" lists the registers and fields.")
                  .arg(tool.Program(), plain.match(map).hasMatch() ? map : CCliTool::Quoted(map))
            : QString();
    return tool.Usage(CCliTool::Clause(error.text) + QLatin1Char('.') + hint);
}

const SMapRegister& registerOf(const SRegisterMap& map, int reg)
{
    return map.registers[static_cast<size_t>(reg)];
}

// The first failed transaction of the steps, for its hint.
QString hintFor(const CCliTool& tool, const SMapStep* step)
{
    const SI2cTransaction* failure = step ? step->failure() : nullptr;
    return failure ? tool.FailureHint(*failure) : QString();
}

} // namespace

ECliExit CommandRegs(CCliTool& tool, const QStringList& arguments)
{
    if (arguments.size() != 1 || !tool.IsSet(QStringLiteral("map"))) {
        return tool.Usage(tr("regs needs an address and --map, e.g. \"%1 regs 0x48 --map LM75\".")
                              .arg(tool.Program()));
    }
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    ECliExit status = ECliExit::Ok;
    const std::optional<SRegisterMap> map = loadOptionMap(tool, status);
    if (!map)
        return status;
    if (ReadAllRegisters(*map).empty()) {
        return tool.Usage(tr("%1 has no register that regs reads: each is write-only or clears "
                             "something when read. Read those by name with get.")
                              .arg(map->device));
    }

    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;
    // Every register is printed as soon as it is read, a failed one too,
    // also when the adapter went away, so that a signal, which ends the
    // command at once, leaves what was read.
    CCliOutput& output = tool.Output();
    const SMapRead read =
        RunMapReadAll(*adapter, *address, *map, {}, {}, [&](const SMapRegisterRead& entry) {
            output.WriteMapRegister(*map, registerOf(*map, entry.reg), entry.value, entry.error);
        });
    const SMapRegisterRead* firstFailed = nullptr;
    int failed = 0;
    for (const SMapRegisterRead& entry : read.registers) {
        if (!entry.value && failed++ == 0)
            firstFailed = &entry;
    }
    if (!read.ok() && !adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    if (!firstFailed)
        return ECliExit::Ok;
    return tool.Fail(ECliExit::Failed,
                     tr("%1 of %2 registers failed, the first %3 with: %4. %5")
                         .arg(QString::number(failed), QString::number(read.registers.size()),
                              registerOf(*map, firstFailed->reg).name,
                              CCliTool::Clause(firstFailed->error), hintFor(tool, read.failure()))
                         .trimmed());
}

ECliExit CommandGetByMap(CCliTool& tool, const QStringList& arguments)
{
    if (arguments.size() != 2) {
        return tool.Usage(tr("get with --map needs an address and a register NAME or "
                             "NAME.FIELD, e.g. \"%1 get 0x48 TEMP.T --map LM75\"; regs reads "
                             "every register.")
                              .arg(tool.Program()));
    }
    if (const ECliExit refused = refuseNumberOptions(tool, tr("get"), {"reg-width"});
        refused != ECliExit::Ok)
        return refused;
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    ECliExit status = ECliExit::Ok;
    const std::optional<SRegisterMap> map = loadOptionMap(tool, status);
    if (!map)
        return status;
    int reg = -1;
    int field = -1;
    SMapError error;
    if (!FindMapTarget(*map, arguments[1], reg, field, &error) ||
        !CheckMapRead(*map, reg, field, &error))
        return refuse(tool, error);
    const SMapRegister& target = registerOf(*map, reg);

    const std::unique_ptr<COrvI2c> adapter =
        CliConnectForRead(tool, static_cast<size_t>(target.bytes), tr("get"), status);
    if (!adapter)
        return status;
    const SMapRead read = RunMapRegisterRead(*adapter, *address, *map, reg);
    const SMapRegisterRead& entry = read.registers.front();
    const std::vector<uint8_t> bytes =
        entry.value ? read.steps.back().Row().data : std::vector<uint8_t>();
    // Printed also when the adapter went away: JSON says what failed.
    tool.Output().WriteMapGet(target, field, bytes, entry.value, entry.error);
    if (entry.value)
        return ECliExit::Ok;
    if (!adapter->IsPresent())
        return tool.ConnectionLost(*adapter);
    const SMapStep* failed = read.failure();
    if (!failed)
        return tool.Fail(ECliExit::Failed, entry.error);
    return tool.Judge(*failed->failure(), failed->type);
}

ECliExit CommandSetByMap(CCliTool& tool, const QStringList& arguments)
{
    if (arguments.size() < 2) {
        return tool.Usage(tr("set with --map needs an address and NAME=VALUE or "
                             "NAME.FIELD=VALUE, e.g. \"%1 set 0x48 CONF.F_QUE=2 --map LM75\".")
                              .arg(tool.Program()));
    }
    if (const ECliExit refused =
            refuseNumberOptions(tool, tr("set"), {"reg-width", "readback", "mask"});
        refused != ECliExit::Ok)
        return refused;
    const std::optional<uint8_t> address = tool.ParseAddress(arguments[0], arguments.value(1));
    if (!address)
        return ECliExit::Usage;
    ECliExit status = ECliExit::Ok;
    const std::optional<SRegisterMap> map = loadOptionMap(tool, status);
    if (!map)
        return status;
    SMapError error;
    const std::optional<std::vector<SMapWrite>> writes =
        PlanMapWrites(*map, arguments.mid(1), &error);
    if (!writes)
        return refuse(tool, error);

    const std::unique_ptr<COrvI2c> adapter = tool.SelectAdapter(status);
    if (!adapter)
        return status;
    if (!tool.Connect(*adapter))
        return ECliExit::NoConnection;
    // One register after the other, each in one read-modify-write; the
    // first failure ends the command, as a run ends at its first.
    for (const SMapWrite& write : *writes) {
        const SMapRegister& reg = registerOf(*map, write.reg);
        const SMapWriteResult result = RunMapWrite(*adapter, *address, *map, write);
        if (!result.refusal.isEmpty())
            return tool.Usage(CCliTool::Clause(result.refusal) + QLatin1Char('.'));
        const SMapStep* failed = result.failure();
        QString mismatch;
        if (!failed && result.Mismatch()) {
            mismatch = tr("%1 read back %2 after %3 was written: %4 differs")
                           .arg(reg.name, RegisterValueText(reg, *result.readBack),
                                RegisterValueText(reg, *result.written),
                                result.MismatchNames(*map, write).join(QStringLiteral(", ")));
        }
        const SI2cTransaction* transaction = failed ? failed->failure() : nullptr;
        const std::optional<uint32_t> shown =
            failed ? std::nullopt : (result.readBack ? result.readBack : result.written);
        // As text, a write that went well says nothing, as set does.
        if (tool.Options().json)
            tool.Output().WriteMapRegister(*map, reg, shown,
                                           transaction ? transaction->error : mismatch);
        if (failed && !adapter->IsPresent())
            return tool.ConnectionLost(*adapter);
        if (failed) {
            // A write that failed may have reached the chip in part.
            QString outcome = tr("Nothing was written to %1.");
            if (result.written)
                outcome = tr("%1 was written; only its read-back failed.");
            else if (failed->type == QStringLiteral("Write ") + reg.name)
                outcome = tr("%1 may hold the old value, the new one or a part of it.");
            return tool.Fail(ECliExit::Failed,
                             tr("%1 failed: %2. %3 %4")
                                 .arg(failed->type, CCliTool::Clause(transaction->error),
                                      outcome.arg(reg.name), tool.FailureHint(*transaction)));
        }
        if (!mismatch.isEmpty()) {
            return tool.Fail(ECliExit::Failed,
                             tr("%1. The chip may keep only some bits, or the register is "
                                "locked.")
                                 .arg(mismatch));
        }
        if (tool.OutputFailed())
            return ECliExit::OutputFailed;
    }
    return ECliExit::Ok;
}

std::optional<SCliWatchedField> CliWatchedField(CCliTool& tool, ECliExit& status)
{
    if (!tool.IsSet(QStringLiteral("field"))) {
        status = tool.Usage(tr("--map in a watch needs --field NAME.FIELD, the field to watch, "
                               "e.g. --field TEMP.T."));
        return std::nullopt;
    }
    if (!tool.IsSet(QStringLiteral("map"))) {
        status = tool.Usage(tr("--field needs --map, the register map it belongs to, e.g. --map "
                               "LM75."));
        return std::nullopt;
    }
    // The map gives the pointer and the rule; --mask here is the watch's.
    static constexpr std::array<const char*, 9> NUMBER_OPTIONS = {
        "register", "reg-width", "format", "shift", "mask", "scale", "offset", "unit", "decimals"};
    for (const char* option : NUMBER_OPTIONS) {
        if (tool.IsSet(QLatin1String(option))) {
            status = tool.Usage(tr("--field takes its register and decoding from the map, so "
                                   "--%1 does not go with it. Leave --%1 out, or watch by "
                                   "--register and --format instead.")
                                    .arg(QLatin1String(option)));
            return std::nullopt;
        }
    }
    std::optional<SRegisterMap> map = loadOptionMap(tool, status);
    if (!map)
        return std::nullopt;
    SCliWatchedField watched;
    SMapError error;
    if (!FindMapTarget(*map, tool.Value(QStringLiteral("field")), watched.reg, watched.field,
                       &error) ||
        !CheckMapRead(*map, watched.reg, &error)) {
        status = refuse(tool, error);
        return std::nullopt;
    }
    const SMapRegister& reg = registerOf(*map, watched.reg);
    if (watched.field < 0 && !reg.fields.empty()) {
        status = tool.Usage(tr("--field names a field, NAME.FIELD, and %1 has fields: e.g. %2. A "
                               "register without fields may be watched whole.")
                                .arg(reg.name, MapFieldPath(reg, 0)));
        return std::nullopt;
    }
    if (watched.field >= 0 && !reg.fields[static_cast<size_t>(watched.field)].IsReadable()) {
        status = tool.Usage(
            tr("%1 is write-only; it cannot be watched.").arg(MapFieldPath(reg, watched.field)));
        return std::nullopt;
    }
    watched.map = std::move(*map);
    return watched;
}

ECliExit CommandMap(CCliTool& tool, const QStringList& arguments)
{
    const QString usage = tr("Give check M, list, header M or markdown M, e.g. \"%1 map check "
                             "LM75\"; M is a device name or a *.i2cmap file.")
                              .arg(tool.Program());
    if (arguments.isEmpty())
        return tool.Usage(tr("map needs what to do. %1").arg(usage));
    const QString what = arguments[0];
    if (what == QLatin1String("list")) {
        if (arguments.size() != 1)
            return tool.Usage(tr("map list takes no more arguments. Leave out %1.")
                                  .arg(CCliTool::Quoted(arguments.mid(1).join(QLatin1Char(' ')))));
        const QStringList folders = tool.MapFolders();
        const std::vector<SMapEntry> entries = ListRegisterMaps(folders);
        for (const SMapEntry& entry : entries) {
            tool.Output().WriteMapEntry(entry);
            for (const QString& warning : entry.warnings)
                tool.Warn(tr("%1: warning: %2").arg(tool.Program(), warning));
        }
        if (entries.empty()) {
            // JSON Lines stay parseable: the note goes to err.
            tool.Fail(ECliExit::Ok,
                      tr("no register maps in %1.").arg(folders.join(QStringLiteral(", "))));
        }
        return ECliExit::Ok;
    }
    static const QStringList WITH_MAP = {QStringLiteral("check"), QStringLiteral("header"),
                                         QStringLiteral("markdown")};
    if (!WITH_MAP.contains(what))
        return tool.Usage(tr("unknown map command %1. %2").arg(CCliTool::Quoted(what), usage));
    if (arguments.size() != 2) {
        return tool.Usage(tr("map %1 needs one map: a device name or a *.i2cmap file, e.g. "
                             "\"%2 map %1 LM75\".")
                              .arg(what, tool.Program()));
    }
    if (what != QLatin1String("check") && tool.Options().json) {
        return tool.Usage(
            tr("map %1 prints %2, not JSON. Leave --json out.")
                .arg(what, what == QLatin1String("header") ? tr("C") : tr("Markdown")));
    }
    ECliExit status = ECliExit::Ok;
    if (what == QLatin1String("check")) {
        QString error;
        const std::optional<SRegisterMap> map =
            FindRegisterMap(arguments[1], tool.MapFolders(), &error);
        tool.Output().WriteMapCheck(map ? map->filePath : arguments[1], map ? &*map : nullptr,
                                    error);
        if (!map)
            return tool.Usage(CCliTool::Clause(error) + QLatin1Char('.'));
        return ECliExit::Ok;
    }
    const std::optional<SRegisterMap> map = loadMap(tool, arguments[1], status);
    if (!map)
        return status;
    if (what == QLatin1String("markdown")) {
        tool.Output().WriteText(RegisterMapMarkdown(*map));
        return ECliExit::Ok;
    }
    QString clash;
    const QString header = RegisterMapHeader(*map, &clash);
    if (header.isEmpty())
        return tool.Usage(
            tr("no C header for %1: %2.").arg(map->filePath, CCliTool::Clause(clash)));
    tool.Output().WriteText(header);
    return ECliExit::Ok;
}
