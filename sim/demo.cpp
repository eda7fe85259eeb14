// The demo: the tool run on a simulated host, showing what an administrator
// would see and what it did to the GPUs' configuration spaces.
#include "files.h"
#include "machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

struct Options {
    int gpus = 8;
};

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gpus" && i + 1 < argc) {
            options.gpus = std::atoi(argv[++i]);
            if (options.gpus < 2 || options.gpus % 2 != 0 || options.gpus > 64) {
                std::fprintf(stderr, "qvgpu-demo: --gpus takes an even number from 2 to 64\n");
                return false;
            }
        } else {
            std::fprintf(stderr, "usage: qvgpu-demo [--gpus N]\n");
            return false;
        }
    }
    return true;
}

void showRun(const sim::Machine& machine, const std::vector<std::string>& args)
{
    std::string line = "qvgpu-vm-p2p";
    for (const auto& a : args)
        line += " " + a;
    std::printf("\n%s# %s\n", machine.side() == sim::Side::Host ? "host" : "guest", line.c_str());
    const sim::RunResult r = machine.run(args);
    std::fputs(r.out.c_str(), stdout);
    std::fputs(r.err.c_str(), stdout);
    std::printf("(exit status %d)\n", r.status);
}

const char* powerState(uint16_t pmControl)
{
    static const char* const names[] = {"D0", "D1", "D2", "D3hot"};
    return names[pmControl & 3];
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    try {
        // Two switches share the GPUs; one more GPU of ours does not answer,
        // and a network card of another vendor sits on its own root port.
        sim::Topology topology =
            sim::switchedHost(2, options.gpus / 2, {0x0001, 0x0002, 0x0210, 0x0003});
        sim::Device& spare = topology.rootPort("0000:00:1c.0");
        spare.gpu("0000:70:00.0", 0x0002, 0x20000000000ull).offline = true;
        topology.rootPort("0000:00:1d.0").other("0000:71:00.0", 0x15b3, 0x101b);

        sim::Machine host(topology, sim::Side::Host);
        std::printf("Simulated host: %d GPUs behind 2 switches, 1 GPU that does not answer, "
                    "1 device of another vendor.\n",
                    options.gpus);
        showRun(host, {"--version"});
        showRun(host, {"--disable-acs"});

        std::printf("\nConfiguration spaces after discovery:\n");
        std::printf("  %-14s %-8s %-9s %-7s\n", "device", "id", "command", "power");
        bool ok = true;
        for (const sim::Device* d : host.topology().all()) {
            if (d->type != sim::PortType::Endpoint)
                continue;
            const uint16_t command = host.config16(d->bdf, 0x04);
            const uint16_t pm = host.config16(d->bdf, sim::PM_CAP + 4);
            const bool ours = d->vendor == sim::QV_VENDOR && !d->offline;
            const bool woken = command == 0x0006 && (pm & 3) == 0;
            if (d->offline)
                std::printf("  %-14s %-8s %-9s %-7s %s\n", d->bdf.c_str(),
                            sim::hex16(d->deviceId).c_str(), "-", "-", "does not answer");
            else
                std::printf("  %-14s %-8s 0x%04x    %-7s %s\n", d->bdf.c_str(),
                            sim::hex16(d->deviceId).c_str(), command, powerState(pm),
                            woken ? "woken" : "left alone");
            ok = ok && (ours == woken);
        }
        std::printf("\n%s\n", ok ? "Discovery woke every GPU that answers and nothing else."
                                 : "Discovery did not do what it should.");
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qvgpu-demo: %s\n", e.what());
        return 1;
    }
}
