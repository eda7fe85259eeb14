#include "topology.h"

#include "files.h"

#include <cstdio>
#include <algorithm>
#include <functional>
#include <stdexcept>

namespace sim {

namespace {

void put16(std::vector<uint8_t>& b, uint32_t at, uint16_t v)
{
    b[at] = v & 0xff;
    b[at + 1] = v >> 8;
}

void put32(std::vector<uint8_t>& b, uint32_t at, uint32_t v)
{
    put16(b, at, v & 0xffff);
    put16(b, at + 2, v >> 16);
}

// Information words that name a plausible board of each series.
uint32_t defaultInfoWord(uint16_t deviceId)
{
    switch (deviceId) {
    case 0x0001: return 0x00000003;           // KA-C1
    case 0x0210: return 0x01000000;           // WO-D1
    default: return 0x04000000;               // model code 2
    }
}

uint32_t infoRegister(uint16_t deviceId)
{
    switch (deviceId) {
    case 0x0001: return 0x7818;
    case 0x0210: return 0x72C0;
    case 0x0002: case 0x0003: case 0x0007: case 0x000b: case 0x000f: return 0x78C0;
    default: return 0;
    }
}

std::string resourceText(const Device& d)
{
    // One line per resource, as the kernel prints them.
    std::string text;
    char line[80];
    for (int i = 0; i < 13; ++i) {
        uint64_t start = 0, end = 0, flags = 0;
        if (d.isGpu && i == 0) {
            start = d.bar0;
            end = d.bar0 + d.bar0Size - 1;
            flags = d.bar0Wide ? 0x14220c : 0x42208;
        } else if (d.isGpu && i == 2) {
            start = 0xe0000000ull + (d.bar0 >> 20 & 0xff) * d.bar2Size;
            end = start + d.bar2Size - 1;
            flags = 0x140204;
        }
        std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n",
                      (unsigned long long)start, (unsigned long long)end, (unsigned long long)flags);
        text += line;
    }
    return text;
}

std::string rootBusDir(const std::string& bdf)
{
    // 0000:03:00.0 -> pci0000:03 ; the domain may be wider than four digits.
    const auto lastColon = bdf.rfind(':');
    if (lastColon == std::string::npos)
        throw std::invalid_argument("not a bus address: " + bdf);
    return "pci" + bdf.substr(0, lastColon);
}

void writeDevice(const Device& d, const std::string& dir, const std::string& relFromDevices,
                 const std::string& sysRoot)
{
    makeDirs(dir);
    if (d.hasVendorAttribute)
        writeFile(dir + "/vendor", d.vendorText ? *d.vendorText : hex16(d.vendor) + "\n");
    if (d.hasDeviceAttribute)
        writeFile(dir + "/device", d.deviceText ? *d.deviceText : hex16(d.deviceId) + "\n");
    char text[32];
    std::snprintf(text, sizeof text, "0x%06x\n", d.classCode);
    writeFile(dir + "/class", text);
    writeFile(dir + "/irq", "0\n");
    // The kernel shows every device's subsystem IDs; ours carry none.
    writeFile(dir + "/subsystem_vendor", "0x0000\n");
    writeFile(dir + "/subsystem_device", "0x0000\n");
    writeFile(dir + "/numa_node", std::to_string(d.numaNode) + "\n");
    // How many times the device is enabled: a port once, by the port
    // driver; a GPU by nobody until a user (a hypervisor through vfio-pci,
    // a guest's GPU driver) enables it.
    writeFile(dir + "/enable", d.type == PortType::Endpoint ? "0\n" : "1\n");
    if (d.iommuGroup >= 0) {
        // As the kernel links them: the group the device belongs to, and
        // the IOMMU that translates for it.  A group of VFIO's no-IOMMU mode
        // (vfio_noiommu_group_alloc) has no IOMMU: iommu_device_link() makes
        // the "iommu" link only for a real one.
        const std::string group = "/kernel/iommu_groups/" + std::to_string(d.iommuGroup);
        makeDirs(sysRoot + group + "/devices");
        makeSymlink("/sys" + group, dir + "/iommu_group");
        if (!d.noIommu) {
            makeDirs(sysRoot + "/devices/virtual/iommu/dmar0");
            makeSymlink("/sys/devices/virtual/iommu/dmar0", dir + "/iommu");
        }
        makeSymlink("../../../../devices/" + relFromDevices, sysRoot + group + "/devices/" + d.bdf);
    }
    writeFile(dir + "/local_cpulist", "0-1\n");
    writeFile(dir + "/resource", resourceText(d));
    const auto config = configSpace(d);
    writeFile(dir + "/config", std::string(config.begin(), config.end()));
    if (d.isGpu) {
        makeSparseFile(dir + "/resource0", d.bar0Size);
        makeSparseFile(dir + "/resource2", d.bar2Size);
        for (const auto& [offset, value] : d.registers)
            pokeWord(dir + "/resource2", offset, value);
    }
    makeSymlink("../../../devices/" + relFromDevices, sysRoot + "/bus/pci/devices/" + d.bdf);
}

} // namespace

std::string hex16(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

Device makeGpu(const std::string& bdf, uint16_t deviceId, uint64_t bar0Base)
{
    Device d;
    d.bdf = bdf;
    d.deviceId = deviceId;
    d.isGpu = true;
    d.bar0 = bar0Base;
    if (uint32_t reg = infoRegister(deviceId))
        d.registers[reg] = defaultInfoWord(deviceId);
    return d;
}

Device makePort(const std::string& bdf, PortType type, bool withAcs)
{
    Device d;
    d.bdf = bdf;
    d.vendor = type == PortType::RootPort ? 0x8086 : 0x10b5;
    d.deviceId = type == PortType::RootPort ? 0x2030 : 0x8747;
    d.classCode = 0x060400;
    d.type = type;
    d.acs = withAcs;
    return d;
}

Device makeOther(const std::string& bdf, uint16_t vendorId, uint16_t device)
{
    Device d;
    d.bdf = bdf;
    d.vendor = vendorId;
    d.deviceId = device;
    d.classCode = 0x020000;
    return d;
}

Device& Device::add(Device child)
{
    children.push_back(std::move(child));
    return children.back();
}

Device& Device::port(const std::string& address, PortType portType, bool withAcs)
{
    return add(makePort(address, portType, withAcs));
}

Device& Device::gpu(const std::string& address, uint16_t id, uint64_t bar0Base)
{
    return add(makeGpu(address, id, bar0Base));
}

Device& Device::other(const std::string& address, uint16_t vendorId, uint16_t device)
{
    return add(makeOther(address, vendorId, device));
}

Device& Topology::add(Device device)
{
    roots_.push_back(std::move(device));
    return roots_.back();
}

Device& Topology::rootPort(const std::string& bdf, bool withAcs)
{
    return add(makePort(bdf, PortType::RootPort, withAcs));
}

std::vector<const Device*> Topology::all() const
{
    std::vector<const Device*> out;
    std::function<void(const Device&)> walk = [&](const Device& d) {
        out.push_back(&d);
        for (const auto& c : d.children)
            walk(c);
    };
    for (const auto& r : roots_)
        walk(r);
    return out;
}

const Device* Topology::find(const std::string& bdf) const
{
    for (const Device* d : all())
        if (d->bdf == bdf)
            return d;
    return nullptr;
}

Device* Topology::find(const std::string& bdf)
{
    return const_cast<Device*>(static_cast<const Topology*>(this)->find(bdf));
}

std::vector<std::string> Topology::gpus() const
{
    std::vector<std::string> out;
    for (const Device* d : all())
        if (d->isGpu && d->vendor == QV_VENDOR)
            out.push_back(d->bdf);
    std::sort(out.begin(), out.end());
    return out;
}

Topology switchedHost(int switches, int gpusPerSwitch, const std::vector<uint16_t>& deviceIds,
                      const std::string& domain)
{
    Topology t;
    int bus = 1;
    int gpuIndex = 0;
    char bdf[32];
    for (int s = 0; s < switches; ++s) {
        std::snprintf(bdf, sizeof bdf, "%s:00:%02x.0", domain.c_str(), 1 + s);
        Device& rp = t.rootPort(bdf);
        std::snprintf(bdf, sizeof bdf, "%s:%02x:00.0", domain.c_str(), bus++);
        Device& up = rp.port(bdf, PortType::SwitchUpstream, false);
        const int portBus = bus++;
        for (int g = 0; g < gpusPerSwitch; ++g, ++gpuIndex) {
            // Ports at 08, 10, 18 as on common switches; more ports than
            // that are numbered from 1.
            const int slot = gpusPerSwitch <= 3 ? 8 * (g + 1) : g + 1;
            std::snprintf(bdf, sizeof bdf, "%s:%02x:%02x.0", domain.c_str(), portBus, slot);
            Device& dp = up.port(bdf, PortType::SwitchDownstream, true);
            std::snprintf(bdf, sizeof bdf, "%s:%02x:00.0", domain.c_str(), bus++);
            const uint16_t id = deviceIds.empty() ? 0x0001 : deviceIds[gpuIndex % deviceIds.size()];
            dp.gpu(bdf, id, 0x38bff0000000ull - 0x10000000ull * gpuIndex);
        }
    }
    return t;
}

std::vector<uint8_t> configSpace(const Device& d)
{
    std::vector<uint8_t> b(4096, 0);
    if (d.offline) {
        std::fill(b.begin(), b.end(), 0xff);
        return b;
    }
    const bool bridge = d.type != PortType::Endpoint;
    put16(b, 0x00, d.vendor);
    put16(b, 0x02, d.deviceId);
    put16(b, 0x04, d.command);
    put16(b, 0x06, 0x0010);                 // status: capability list present
    put32(b, 0x08, d.classCode << 8 | 0x01);
    b[0x0e] = bridge ? 0x01 : 0x00;
    if (d.isGpu) {
        put32(b, 0x10, static_cast<uint32_t>(d.bar0 & 0xfffffff0u) | 0xc);
        put32(b, 0x14, static_cast<uint32_t>(d.bar0 >> 32));
        put32(b, 0x18, 0x0000000c);
    }
    b[0x34] = PM_CAP;
    b[PM_CAP] = 0x01;                        // power management
    b[PM_CAP + 1] = d.pcie ? EXP_CAP : 0;
    put16(b, PM_CAP + 2, 0x0003);
    put16(b, PM_CAP + 4, static_cast<uint16_t>((d.powerState & 3) | (d.noSoftReset ? 0x8 : 0)));
    if (d.pcie) {
        b[EXP_CAP] = 0x10;                   // PCI Express
        b[EXP_CAP + 1] = 0;
        put16(b, EXP_CAP + 2, static_cast<uint16_t>(0x0002 | static_cast<unsigned>(d.type) << 4));
        put32(b, EXP_CAP + 0x0C, d.linkMaxWidth << 4 | d.linkMaxSpeed);
        put16(b, EXP_CAP + 0x12, static_cast<uint16_t>(d.linkWidth << 4 | d.linkSpeed));
    }
    if (d.pcie && d.acs) {
        put32(b, ACS_ECAP, 0x0001000d);      // ACS, version 1, last capability
        put16(b, ACS_ECAP + 4, 0x005f);      // ACS Capability
        put16(b, ACS_ECAP + 6, d.acsControl);
    }
    return b;
}

void materialize(const Topology& topology, const std::string& sysRoot)
{
    makeDirs(sysRoot + "/bus/pci/devices");
    makeDirs(sysRoot + "/bus/pci/drivers");
    std::function<void(const Device&, const std::string&)> walk = [&](const Device& d,
                                                                      const std::string& rel) {
        const std::string mine = rel + "/" + d.bdf;
        writeDevice(d, sysRoot + "/devices/" + mine, mine, sysRoot);
        for (const auto& c : d.children)
            walk(c, d.childBusDir.empty() ? mine : mine + "/" + d.childBusDir);
    };
    for (const auto& r : topology.roots())
        walk(r, rootBusDir(r.bdf));
}

} // namespace sim
