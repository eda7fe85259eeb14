#include "passthrough.h"

#include "files.h"

#include <cstdio>

namespace sim {

uint64_t guestBar0(int index)
{
    return 0x380000000000ull + 0x1000000000ull * static_cast<uint64_t>(index);
}

GuestLayout guestLayout(const Topology& host)
{
    GuestLayout layout;
    int index = 0;
    char bdf[32];
    for (const std::string& hostBdf : host.gpus()) {
        const Device* d = host.find(hostBdf);
        if (d->offline)
            continue;
        std::snprintf(bdf, sizeof bdf, "0000:00:%02x.0", 2 + index);
        Device& port = layout.topology.rootPort(bdf);
        std::snprintf(bdf, sizeof bdf, "0000:%02x:00.0", 1 + index);
        Device gpu = *d;
        gpu.bdf = bdf;
        gpu.bar0 = guestBar0(index);
        // The guest's firmware assigned the BARs and turned decoding on, as
        // a real guest shows before any driver or tool touched it: I/O and
        // memory decoding, SERR.
        gpu.command = 0x0103;
        gpu.powerState = 0;
        gpu.children.clear();
        port.add(std::move(gpu));
        layout.guestOf[hostBdf] = bdf;
        ++index;
    }
    return layout;
}

void carryDeviceMemory(const Machine& host, const Machine& guest, const GuestLayout& layout)
{
    for (const auto& [hostBdf, guestBdf] : layout.guestOf) {
        writeFile(guest.devicePath(guestBdf) + "/resource0",
                  readFile(host.devicePath(hostBdf) + "/resource0"));
    }
}

} // namespace sim
