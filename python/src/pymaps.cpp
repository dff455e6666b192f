#include "python/src/pymaps.h"

#include "python/src/pyadapter.h"
#include "python/src/pybindings.h"

#include "i2c/orvi2c.h"
#include "projects/projectsfolder.h"
#include "transactions/registercodec.h"
#include "transactions/registermap.h"
#include "transactions/registermapaccess.h"
#include "transactions/registermapfolders.h"

#include <QFileInfo>

#include <pybind11/stl.h>

#include <dlfcn.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pellanpy {

namespace {

// A loaded map; never changed, so a call may read it with the GIL released.
class CPyRegisterMap {
public:
    explicit CPyRegisterMap(SRegisterMap map) : m_map(std::move(map)) {}
    const SRegisterMap& Map() const { return m_map; }

private:
    const SRegisterMap m_map;
};

using MapHolder = std::shared_ptr<CPyRegisterMap>;

std::string Utf8(const QString& text)
{
    return text.toStdString();
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

[[noreturn]] void RaiseMapError(const SMapError& error)
{
    if (error.kind == EMapErrorKind::UnknownName)
        throw py::key_error(Utf8(error.text));
    throw py::value_error(Utf8(error.text));
}

[[noreturn]] void RaiseOsError(PyObject* type, int code, const std::string& text)
{
    py::object instance =
        py::reinterpret_steal<py::object>(PyObject_CallFunction(type, "is", code, text.c_str()));
    if (!instance)
        throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
    throw py::error_already_set();
}

// The failed step of an access as the bus's OSError: "Read TEMP: NACK received".
[[noreturn]] void ThrowStep(const SMapStep& step)
{
    const SI2cTransaction* failed = step.failure();
    const EOrvError kind = failed ? failed->errorKind : EOrvError::None;
    const QString error = failed ? failed->error : QStringLiteral("nothing was sent");
    throw CI2cError(ErrnoOf(kind), Utf8(step.type + QStringLiteral(": ") + error), kind);
}

uint8_t ToAddress(int address)
{
    if (address < 0 || address > 0x7F) {
        throw py::value_error("the address " + std::to_string(address) +
                              " is not a 7-bit I2C address (0x00 to 0x7F)");
    }
    return static_cast<uint8_t>(address);
}

const SMapRegister& RegisterAt(const SRegisterMap& map, int reg)
{
    if (reg < 0 || static_cast<size_t>(reg) >= map.registers.size())
        throw py::index_error("no register " + std::to_string(reg) + " in " + Utf8(map.device));
    return map.registers[static_cast<size_t>(reg)];
}

// The module runs from the build tree, where the shipped maps are the build
// tree's copy; installed, they are the installed ones.
bool FromBuildTree()
{
    static const int marker = 0;
    Dl_info info{};
    if (dladdr(&marker, &info) == 0 || !info.dli_fname)
        return false;
    const QString module = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalFilePath();
    const QString build = QFileInfo(QStringLiteral(PELLAN_PYTHON_BUILD_DIR)).canonicalFilePath();
    return !build.isEmpty() && module.startsWith(build + QLatin1Char('/'));
}

QStringList Folders(bool simulated)
{
    return MapFolders(StoredProjectsFolder(), simulated || FromBuildTree());
}

// Some map in the folders answers to the name, by device or file name.
bool IsKnownName(const QString& name, const QStringList& folders)
{
    for (const SMapEntry& entry : ListRegisterMaps(folders)) {
        if (entry.device.compare(name, Qt::CaseInsensitive) == 0 ||
            QFileInfo(entry.path).completeBaseName().compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

MapHolder Load(const std::string& nameOrPath, bool isPath, bool simulated)
{
    const QString wanted = Text(nameOrPath);
    std::optional<SRegisterMap> map;
    QString error;
    bool missing = false;
    {
        // Only files and folders here: nothing of Python, no engine lock.
        py::gil_scoped_release released;
        if (isPath) {
            map = LoadRegisterMap(wanted, &error);
            if (!map) {
                missing = !wanted.contains(QChar(0)) && !QFileInfo::exists(wanted);
                error = wanted + QStringLiteral(": ") + error;
            }
        } else {
            const QStringList folders = Folders(simulated);
            map = FindRegisterMap(wanted, folders, &error);
            if (!map)
                missing = !wanted.contains(QChar(0)) && !QFileInfo::exists(wanted.trimmed()) &&
                          !IsKnownName(wanted.trimmed(), folders);
        }
    }
    if (!map) {
        if (missing)
            RaiseOsError(PyExc_FileNotFoundError, ENOENT, Utf8(error));
        throw py::value_error(Utf8(error));
    }
    return std::make_shared<CPyRegisterMap>(std::move(*map));
}

// A field's number: an int where the field holds whole numbers only.
py::object Number(const SMapField& field, double number)
{
    const bool whole = field.scale == std::floor(field.scale) &&
                       field.offset == std::floor(field.offset) && number == std::floor(number);
    if (whole && std::abs(number) < 9.0e15)
        return py::int_(static_cast<long long>(number));
    return py::float_(number);
}

py::object Optional(const std::optional<uint32_t>& value)
{
    return value ? py::object(py::int_(*value)) : py::object(py::none());
}

py::dict FieldLayout(const SMapField& field)
{
    py::dict values;
    for (const SMapLabel& label : field.labels)
        values[py::int_(label.value)] = Utf8(label.text);
    py::dict layout;
    layout["name"] = Utf8(field.name);
    layout["msb"] = field.msb;
    layout["lsb"] = field.lsb;
    layout["signed"] = field.isSigned;
    layout["scale"] = field.scale;
    layout["offset"] = field.offset;
    layout["unit"] = Utf8(field.unit);
    layout["decimals"] = field.decimals;
    layout["values"] = values;
    layout["access"] = Utf8(MapAccessText(field.access));
    layout["write"] = Utf8(FieldWriteText(field.write));
    layout["description"] = Utf8(field.description);
    return layout;
}

std::string ByteOrderText(EMapByteOrder order)
{
    return order == EMapByteOrder::Big ? "big" : "little";
}

py::dict Layout(const SRegisterMap& map)
{
    py::list pages;
    for (const SMapPage& page : map.pages) {
        const SMapRegister& selector = map.registers[static_cast<size_t>(page.selectRegister)];
        py::dict entry;
        entry["name"] = Utf8(page.name);
        entry["select"] = Utf8(MapFieldPath(selector, page.selectField));
        entry["value"] = page.value;
        pages.append(entry);
    }
    py::list registers;
    for (const SMapRegister& reg : map.registers) {
        py::list fields;
        for (const SMapField& field : reg.fields)
            fields.append(FieldLayout(field));
        py::dict entry;
        entry["name"] = Utf8(reg.name);
        entry["address"] = reg.address;
        entry["bytes"] = reg.bytes;
        entry["access"] = Utf8(MapAccessText(reg.access));
        entry["byte_order"] = ByteOrderText(reg.byteOrder);
        entry["reset"] = Optional(reg.reset);
        entry["reset_mask"] = reg.resetMask;
        entry["volatile"] = reg.isVolatile;
        entry["read_clears"] = reg.readClears;
        entry["page"] =
            reg.page < 0 ? py::object(py::none())
                         : py::object(py::str(Utf8(map.pages[static_cast<size_t>(reg.page)].name)));
        entry["description"] = Utf8(reg.description);
        entry["fields"] = fields;
        registers.append(entry);
    }
    py::list warnings;
    for (const QString& warning : map.warnings)
        warnings.append(Utf8(warning));
    py::dict layout;
    layout["device"] = Utf8(map.device);
    layout["description"] = Utf8(map.description);
    layout["path"] = Utf8(map.filePath);
    layout["pointer_bytes"] = map.pointerBytes;
    layout["byte_order"] = ByteOrderText(map.byteOrder);
    layout["auto_increment"] = map.autoIncrement;
    layout["increment_flag"] = map.incrementFlag;
    layout["pages"] = pages;
    layout["registers"] = registers;
    layout["warnings"] = warnings;
    return layout;
}

// A value given in Python as the number AddMapAssignmentNumber takes;
// TypeError for what is neither a number nor a text.
double ToNumber(py::handle value, const std::string& target)
{
    PyObject* object = value.ptr();
    if (PyFloat_Check(object))
        return PyFloat_AsDouble(object);
    if (PyIndex_Check(object)) {
        const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(object));
        if (!index)
            throw py::error_already_set();
        const double number = PyLong_AsDouble(index.ptr());
        if (number == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::value_error(target + ": " + py::str(value).cast<std::string>() +
                                  " does not fit");
        }
        return number;
    }
    if (Py_TYPE(object)->tp_as_number && Py_TYPE(object)->tp_as_number->nb_float) {
        const py::object number = py::reinterpret_steal<py::object>(PyNumber_Float(object));
        if (!number)
            throw py::error_already_set();
        return PyFloat_AsDouble(number.ptr());
    }
    throw py::type_error(target + ": give a number in the field's unit, or a str (a label, or " +
                         "a raw value in 0x hex), not " + Py_TYPE(object)->tp_name);
}

// The write of ("NAME" or "NAME.FIELD", value) pairs, all of one register.
std::pair<int, std::vector<std::pair<int, uint32_t>>> PlanWrite(const SRegisterMap& map,
                                                                py::iterable assignments)
{
    std::vector<SMapWrite> writes;
    for (py::handle item : assignments) {
        const py::tuple pair = py::reinterpret_borrow<py::object>(item).cast<py::tuple>();
        if (pair.size() != 2)
            throw py::type_error("an assignment is a pair (target, value)");
        const std::string target = pair[0].cast<std::string>();
        const py::handle value = pair[1];
        SMapError error;
        bool added = false;
        if (PyUnicode_Check(value.ptr())) {
            added = AddMapAssignment(map, writes, Text(target), Text(value.cast<std::string>()),
                                     &error);
        } else if (PyBool_Check(value.ptr())) {
            // As the CLI's true and false: for one-bit fields only.
            added = AddMapAssignment(map, writes, Text(target),
                                     value.ptr() == Py_True ? u"true" : u"false", &error);
        } else {
            added =
                AddMapAssignmentNumber(map, writes, Text(target), ToNumber(value, target), &error);
        }
        if (!added)
            RaiseMapError(error);
    }
    if (writes.empty())
        throw py::value_error("nothing to write");
    if (writes.size() > 1)
        throw py::value_error("one read-modify-write sets fields of one register");
    SMapError error;
    if (!CheckMapWrite(map, writes.front(), &error))
        RaiseMapError(error);
    std::vector<std::pair<int, uint32_t>> plan;
    for (const SFieldAssignment& assignment : writes.front().assignments)
        plan.emplace_back(assignment.field, assignment.bits);
    return {writes.front().reg, std::move(plan)};
}

py::tuple Decode(const SRegisterMap& map, int reg, uint32_t raw)
{
    const SMapRegister& r = RegisterAt(map, reg);
    if (raw & ~r.Mask())
        throw py::value_error(Utf8(r.name) + ": " + std::to_string(raw) + " does not fit");
    py::list fields;
    const std::vector<SFieldReading> readings = DecodeFields(r, raw);
    for (size_t i = 0; i < readings.size(); ++i) {
        const SFieldReading& reading = readings[i];
        const py::object value = !reading.readable    ? py::object(py::none())
                                 : reading.HasLabel() ? py::object(py::str(Utf8(reading.label)))
                                                      : Number(r.fields[i], reading.number);
        fields.append(
            py::make_tuple(Utf8(r.fields[i].name), value, Utf8(reading.text), reading.bits));
    }
    return py::make_tuple(Utf8(RegisterValueText(r, raw)), fields);
}

uint32_t MapRead(CPyAdapter& adapter, int address, const CPyRegisterMap& map, int reg)
{
    const uint8_t addr = ToAddress(address);
    RegisterAt(map.Map(), reg);
    SMapError error;
    if (!CheckMapRead(map.Map(), reg, &error))
        RaiseMapError(error);
    return CallReleased([&](const CGilFree& proof) {
        SMapRead read;
        adapter.Locked(
            [&](COrvI2c& engine) { read = RunMapRegisterRead(engine, addr, map.Map(), reg); },
            proof);
        if (const SMapStep* failed = read.failure())
            ThrowStep(*failed);
        if (read.registers.empty() || !read.registers.front().value)
            throw CI2cError(EIO, "nothing was read");
        return *read.registers.front().value;
    });
}

std::vector<std::pair<int, uint32_t>> MapReadAll(CPyAdapter& adapter, int address,
                                                 const CPyRegisterMap& map,
                                                 const std::vector<int>& alsoRead)
{
    const uint8_t addr = ToAddress(address);
    for (int reg : alsoRead) {
        RegisterAt(map.Map(), reg);
        SMapError error;
        if (!CheckMapRead(map.Map(), reg, &error))
            RaiseMapError(error);
    }
    return CallReleased([&](const CGilFree& proof) {
        SMapRead read;
        adapter.Locked(
            [&](COrvI2c& engine) {
                // Ctrl+C between the reads of a long map, not only inside one;
                // a target's error ends the call anyway.
                read = RunMapReadAll(engine, addr, map.Map(), alsoRead, [] {
                    return HasPendingError() ||
                           CPySessionRegistry::Instance().Cancelled(EPyWait::Transfer);
                });
            },
            proof);
        std::vector<std::pair<int, uint32_t>> values;
        QStringList failed;
        for (const SMapRegisterRead& entry : read.registers) {
            if (entry.value)
                values.emplace_back(entry.reg, *entry.value);
            else
                failed << map.Map().registers[static_cast<size_t>(entry.reg)].name;
        }
        if (failed.isEmpty())
            return values;
        const SMapStep* step = read.failure();
        const SI2cTransaction* transaction = step ? step->failure() : nullptr;
        const EOrvError kind = transaction ? transaction->errorKind : EOrvError::None;
        const QString first = transaction ? step->type + QStringLiteral(": ") + transaction->error
                                          : QStringLiteral("not read");
        throw CI2cError(ErrnoOf(kind),
                        Utf8(QStringLiteral("could not read %1 (%2 of %3 registers); %4")
                                 .arg(failed.join(QStringLiteral(", ")))
                                 .arg(failed.size())
                                 .arg(read.registers.size())
                                 .arg(first)),
                        kind);
    });
}

py::tuple MapWrite(CPyAdapter& adapter, int address, const CPyRegisterMap& map, int reg,
                   const std::vector<std::pair<int, uint32_t>>& assignments)
{
    const uint8_t addr = ToAddress(address);
    RegisterAt(map.Map(), reg);
    SMapWrite write{reg, {}};
    for (const auto& [field, bits] : assignments)
        write.assignments.push_back({field, bits});
    SMapError error;
    if (!CheckMapWrite(map.Map(), write, &error))
        RaiseMapError(error);
    const SMapWriteResult result = CallReleased([&](const CGilFree& proof) {
        SMapWriteResult done;
        adapter.Locked([&](COrvI2c& engine) { done = RunMapWrite(engine, addr, map.Map(), write); },
                       proof);
        if (const SMapStep* failed = done.failure())
            ThrowStep(*failed);
        return done;
    });
    if (!result.refusal.isEmpty())
        throw py::value_error(Utf8(result.refusal));
    py::list mismatch;
    for (const QString& name : result.MismatchNames(map.Map(), write))
        mismatch.append(Utf8(name));
    return py::make_tuple(Optional(result.written), Optional(result.readBack), mismatch);
}

} // namespace

void DefineRegisterMapApi(py::module_& module, bool simulated)
{
    py::class_<CPyRegisterMap, MapHolder>(module, "_RegisterMap", py::module_local(),
                                          "A register map as the one reader loaded it; "
                                          "pellan_i2c.RegisterMap describes it.")
        .def_property_readonly(
            "path", [](const CPyRegisterMap& self) { return Utf8(self.Map().filePath); },
            "The file the map was loaded from.")
        .def(
            "layout", [](const CPyRegisterMap& self) { return Layout(self.Map()); },
            "The map as dicts and lists, for the Python objects that describe it.")
        .def(
            "find",
            [](const CPyRegisterMap& self, const std::string& target) {
                int reg = -1;
                int field = -1;
                SMapError error;
                if (!FindMapTarget(self.Map(), Text(target), reg, field, &error))
                    RaiseMapError(error);
                return std::make_pair(reg, field);
            },
            py::arg("target"),
            "The register and field (-1 for none) of \"NAME\" or \"NAME.FIELD\", without regard "
            "to case; KeyError with near names when either is unknown.")
        .def(
            "check_read",
            [](const CPyRegisterMap& self, int reg, int field) {
                RegisterAt(self.Map(), reg);
                SMapError error;
                if (!CheckMapRead(self.Map(), reg, field, &error))
                    RaiseMapError(error);
            },
            py::arg("register"), py::arg("field") = -1,
            "ValueError for a register or field (-1 for none) that can not be read.")
        .def(
            "plan_write",
            [](const CPyRegisterMap& self, py::iterable assignments) {
                return PlanWrite(self.Map(), assignments);
            },
            py::arg("assignments"),
            "The read-modify-write of (target, value) pairs, all of one register, as (register, "
            "[(field, bits)]); KeyError for unknown names, ValueError for values the fields can "
            "not hold and for read-only targets, TypeError for values of the wrong type.")
        .def(
            "decode",
            [](const CPyRegisterMap& self, int reg, uint32_t raw) {
                return Decode(self.Map(), reg, raw);
            },
            py::arg("register"), py::arg("raw"),
            "The raw value's text and its fields as (name, value, text, bits).");

    module.def(
        "_load_register_map",
        [simulated](const std::string& nameOrPath, bool isPath) {
            return Load(nameOrPath, isPath, simulated);
        },
        py::arg("name_or_path"), py::arg("is_path"),
        "Loads a map from a file, or by name from the maps folders; FileNotFoundError when "
        "there is none, ValueError naming the place when it can not be used.");
    module.def(
        "_register_map_folders",
        [simulated] {
            std::vector<std::string> folders;
            for (const QString& folder : Folders(simulated))
                folders.push_back(Utf8(folder));
            return folders;
        },
        "The folders maps are looked for in by name, the first winning.");
    module.def("_map_read", &MapRead, py::arg("adapter"), py::arg("address"), py::arg("map"),
               py::arg("register"),
               "Reads one register (its page selected first); OSError from the bus.");
    module.def("_map_read_all", &MapReadAll, py::arg("adapter"), py::arg("address"), py::arg("map"),
               py::arg("also"),
               "Reads every readable register but those whose read clears something (unless in "
               "also) as (register, raw) pairs; OSError naming those that failed.");
    module.def("_map_write", &MapWrite, py::arg("adapter"), py::arg("address"), py::arg("map"),
               py::arg("register"), py::arg("assignments"),
               "One read-modify-write with read-back: (written, read back, names that differ).");
}

} // namespace pellanpy
