// The command-line tool on simulated hardware: the demo adapters of
// sim/adapters/demoadapters.h, fresh in every run.

#include "cli/climain.h"
#include "sim/adapters/demoadapters.h"

#include <QString>

#include <cstdio>
#include <string>

namespace {

const char* const ENVIRONMENT_HELP = R"(
Environment (the demo program only):
  PELLAN_SIM_FAULT=KIND[:AFTER]
                        Break the bus of every simulated adapter: KIND is
                        bus-error, arbitration-lost, no-answer (the adapter
                        stops answering) or unplug. AFTER answer reports
                        pass unharmed first (default 0; one per write, one
                        per 62 bytes read), so a fault can strike in the
                        middle of a long read; from then on it lasts.
  PELLAN_SIM_REPORT_DELAY_US=N
                        Each answer report of the adapters takes N
                        microseconds (default 0); 1000 behaves like a real
                        adapter on full-speed USB.
)";

} // namespace

int main(int argc, char* argv[])
{
    std::string error;
    const auto adapters = PlugDemoAdapters(&error);
    if (!error.empty()) {
        std::fprintf(stderr, "pellan-i2c-cli-demo: %s\n", error.c_str());
        return 2;
    }
    // Nothing reads what the adapters received, and a watch that runs for
    // hours would keep every report.
    for (const auto& adapter : adapters)
        adapter->SetRecording(false);
    // Three adapters are attached, so the examples name one.
    return runCliProgram(argc, argv, QString::fromUtf8(ENVIRONMENT_HELP),
                         QStringLiteral("OR3-100042"), true);
}
