// pellan-usb-gadget: a simulated Orvane adapter behind a real USB device.
//
// The kernel's USB gadget framework makes the device (configfs, usb_f_hid);
// this program answers on its HID function, /dev/hidgN, with the demo
// program's simulated adapter of the model: every output report the host
// sends goes to the simulated adapter, every report it answers goes back to
// the host. PELLAN_SIM_FAULT and PELLAN_SIM_REPORT_DELAY_US apply as in the
// demo programs; when the simulated adapter is unplugged (the fault
// "unplug"), the gadget is unbound from its controller, which the host sees
// as a real unplug.
//
//   pellan-usb-gadget describe MODEL
//       prints the adapter as JSON: USB IDs and strings, each interface's
//       report descriptor, the I2C interface, and every bus device with the
//       byte that a register read of each of its 256 registers gives
//       (null where the device refuses the register)
//   pellan-usb-gadget serve MODEL DEVICE [--udc FILE] [--trace FILE]
//       answers on DEVICE; --udc names the gadget's configfs UDC file,
//       emptied to unplug; --trace names a file that gets a line for each
//       request the simulated adapter has taken (its first bytes in hex)
//
// MODEL is orvane3, orvane5 or orvane7.

#include "sim/adapters/demoadapters.h"
#include "sim/adapters/simorvadapter.h"
#include "sim/simhid.h"

#include <hidapi.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t REPORT_LENGTH = 64;
constexpr int READ_TIMEOUT_MS = 200;

std::optional<ESimOrvModel> ParseModel(const std::string& name)
{
    if (name == "orvane3")
        return ESimOrvModel::Orv3;
    if (name == "orvane5")
        return ESimOrvModel::Orv5;
    if (name == "orvane7")
        return ESimOrvModel::Orv7;
    return std::nullopt;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += static_cast<char>(c < 0x80 ? c : '?');
    return out;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char* const DIGITS = "0123456789abcdef";
    std::string out;
    for (uint8_t byte : bytes) {
        out += DIGITS[byte >> 4];
        out += DIGITS[byte & 0x0F];
    }
    return out;
}

// A register read as a bus master makes it: the register number written
// after a start, then one byte read after a repeated start.
std::optional<uint8_t> ReadRegister(CSimI2cDevice& device, uint8_t reg)
{
    if (!device.Start(false))
        return std::nullopt;
    const uint8_t pointer[] = {reg};
    if (device.Write(pointer) < 1) {
        device.Stop();
        return std::nullopt;
    }
    if (!device.Start(true)) {
        device.Stop();
        return std::nullopt;
    }
    device.ReadRequested(1);
    uint8_t value = 0;
    device.Read(std::span<uint8_t>(&value, 1));
    device.Stop();
    return value;
}

std::shared_ptr<CSimOrvAdapter>
DemoAdapter(const std::vector<std::shared_ptr<CSimOrvAdapter>>& adapters, ESimOrvModel model)
{
    for (const auto& adapter : adapters) {
        if (adapter && adapter->Model() == model)
            return adapter;
    }
    return nullptr;
}

int Describe(CSimOrvAdapter& adapter)
{
    std::ostringstream out;
    const std::vector<std::string> paths = adapter.Paths();
    const auto i2c = CSimHidStack::Instance().Find(adapter.I2cPath());
    if (!i2c) {
        std::cerr << "pellan-usb-gadget: the simulated adapter has no I2C interface\n";
        return 1;
    }
    const SSimHidInterface& usb = i2c->Description();
    out << "{\"model\":\"" << Narrow(CSimOrvAdapter::ModelName(adapter.Model()))
        << "\",\"vendorId\":" << usb.vendorId << ",\"productId\":" << usb.productId
        << ",\"release\":" << usb.releaseNumber << ",\"serial\":\"" << Narrow(usb.serialNumber)
        << "\",\"manufacturer\":\"" << Narrow(usb.manufacturer) << "\",\"product\":\""
        << Narrow(usb.product) << "\",\"i2cInterface\":" << usb.interfaceNumber
        << ",\"interfaces\":[";
    for (size_t i = 0; i < paths.size(); ++i) {
        const auto device = CSimHidStack::Instance().Find(paths[i]);
        if (!device)
            continue;
        const SSimHidInterface& description = device->Description();
        out << (i ? "," : "") << "{\"number\":" << description.interfaceNumber
            << ",\"reportDescriptor\":\"" << Hex(description.reportDescriptor) << "\"}";
    }
    out << "],\"devices\":[";
    bool first = true;
    for (int address = 0; address < 0x80; ++address) {
        const auto device = adapter.Device(static_cast<uint8_t>(address));
        if (!device)
            continue;
        out << (first ? "" : ",") << "{\"address\":" << address << ",\"registers\":[";
        for (int reg = 0; reg < 256; ++reg) {
            const std::optional<uint8_t> value = ReadRegister(*device, static_cast<uint8_t>(reg));
            out << (reg ? "," : "");
            if (value)
                out << static_cast<int>(*value);
            else
                out << "null";
        }
        out << "]}";
        first = false;
    }
    out << "]}\n";
    std::cout << out.str();
    return std::cout.good() ? 0 : 1;
}

struct SServeOptions {
    std::string device;
    // The gadget's configfs UDC file: emptied to unplug, read to learn
    // whether the host is there.
    std::string udcFile;
    // Gets one line per request, its first bytes in hex, once it reached the
    // simulated adapter.
    std::string traceFile;
};

// Unbinds the gadget from its controller: the host sees the device go.
void UnplugGadget(const std::string& udcFile)
{
    if (udcFile.empty())
        return;
    const int fd = ::open(udcFile.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, "\n", 1) != 1)
        std::cerr << "pellan-usb-gadget: cannot unbind " << udcFile << ": " << std::strerror(errno)
                  << "\n";
    if (fd >= 0)
        ::close(fd);
}

void Trace(const std::string& traceFile, const unsigned char* report, size_t length)
{
    if (traceFile.empty())
        return;
    const int fd = ::open(traceFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string line =
        Hex(std::vector<uint8_t>(report, report + std::min<size_t>(length, 4))) + "\n";
    if (::write(fd, line.data(), line.size()) < 0)
        std::cerr << "pellan-usb-gadget: cannot trace: " << std::strerror(errno) << "\n";
    ::close(fd);
}

// Whether the gadget is bound to its controller, that is, plugged in.
bool IsBound(const std::string& udcFile)
{
    if (udcFile.empty())
        return true;
    std::ifstream file(udcFile);
    std::string controller;
    std::getline(file, controller);
    return !controller.empty();
}

int Serve(CSimOrvAdapter& adapter, const SServeOptions& options)
{
    const int gadget = ::open(options.device.c_str(), O_RDWR | O_CLOEXEC);
    if (gadget < 0) {
        std::cerr << "pellan-usb-gadget: cannot open " << options.device << ": "
                  << std::strerror(errno) << "\n";
        return 1;
    }
    const std::string path = adapter.I2cPath();
    hid_device* simulated = hid_open_path(path.c_str());
    if (!simulated) {
        std::cerr << "pellan-usb-gadget: cannot open the simulated adapter\n";
        return 1;
    }
    // Guards the handle against its renewal while a request is written.
    std::mutex handleMutex;

    // Answers travel on their own thread, so that a delayed answer never
    // holds up the next request, as on the adapter.
    std::thread answers([&] {
        std::array<unsigned char, REPORT_LENGTH> report{};
        for (;;) {
            const int n =
                hid_read_timeout(simulated, report.data(), report.size(), READ_TIMEOUT_MS);
            if (n < 0) {
                // The simulated adapter was unplugged: so is the real one.
                UnplugGadget(options.udcFile);
                return;
            }
            if (n == 0)
                continue;
            // The gadget takes a report once the host has fetched the one
            // before. An unplugged adapter loses its power and with it every
            // answer still due: a fresh handle has none queued.
            pollfd writable{gadget, POLLOUT, 0};
            while (::poll(&writable, 1, READ_TIMEOUT_MS) == 0 && IsBound(options.udcFile)) {
            }
            if (!IsBound(options.udcFile)) {
                std::lock_guard lock(handleMutex);
                hid_close(simulated);
                simulated = hid_open_path(path.c_str());
                if (!simulated)
                    return;
                continue;
            }
            if (::write(gadget, report.data(), static_cast<size_t>(n)) < 0 && errno != ESHUTDOWN)
                std::cerr << "pellan-usb-gadget: answer lost: " << std::strerror(errno) << "\n";
        }
    });
    answers.detach();

    std::array<unsigned char, REPORT_LENGTH> request{};
    for (;;) {
        const ssize_t n = ::read(gadget, request.data(), request.size());
        if (n < 0) {
            if (errno == EINTR || errno == ESHUTDOWN || errno == EAGAIN)
                continue;
            std::cerr << "pellan-usb-gadget: " << options.device << ": " << std::strerror(errno)
                      << "\n";
            return 1;
        }
        if (n == 0)
            continue;
        int written = 0;
        {
            std::lock_guard lock(handleMutex);
            written = simulated ? hid_write(simulated, request.data(), static_cast<size_t>(n)) : -1;
        }
        Trace(options.traceFile, request.data(), static_cast<size_t>(n));
        if (written < 0 && !adapter.IsPlugged())
            break;
    }
    // Unplugged: keep the device node open until the rig ends this process,
    // so that the function stays as the kernel left it.
    for (;;)
        ::pause();
}

int Usage()
{
    std::cerr << "usage: pellan-usb-gadget describe MODEL\n"
                 "       pellan-usb-gadget serve MODEL DEVICE [--udc FILE] [--trace FILE]\n"
                 "MODEL: orvane3, orvane5 or orvane7\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2)
        return Usage();
    const std::optional<ESimOrvModel> model = ParseModel(args[1]);
    if (!model)
        return Usage();

    std::string problem;
    const auto adapters = PlugDemoAdapters(&problem);
    if (!problem.empty()) {
        std::cerr << "pellan-usb-gadget: " << problem << "\n";
        return 2;
    }
    const std::shared_ptr<CSimOrvAdapter> adapter = DemoAdapter(adapters, *model);
    if (!adapter)
        return 1;

    if (args[0] == "describe" && args.size() == 2)
        return Describe(*adapter);
    if (args[0] != "serve" || args.size() < 3)
        return Usage();
    SServeOptions options;
    options.device = args[2];
    for (size_t i = 3; i + 1 < args.size(); i += 2) {
        if (args[i] == "--udc")
            options.udcFile = args[i + 1];
        else if (args[i] == "--trace")
            options.traceFile = args[i + 1];
        else
            return Usage();
    }
    if (args.size() % 2 == 0)
        return Usage();
    return Serve(*adapter, options);
}
