// Declarative description of a simulated PCI machine: devices nested as the
// PCI topology is (root port -> switch upstream port -> downstream ports ->
// GPU), and the bytes each device shows in sysfs.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

constexpr uint16_t QV_VENDOR = 0x1f7a;

// Device/Port Type of the PCI Express capability.
enum class PortType : uint8_t {
    Endpoint = 0,
    RootPort = 4,
    SwitchUpstream = 5,
    SwitchDownstream = 6,
};

// Where the capabilities sit in every simulated configuration space.
constexpr uint32_t PM_CAP = 0x40;
constexpr uint32_t EXP_CAP = 0x50;
constexpr uint32_t ACS_ECAP = 0x100;

struct Device {
    std::string bdf;                       // 0000:03:00.0
    uint16_t vendor = QV_VENDOR;
    uint16_t deviceId = 0;
    uint32_t classCode = 0x030200;         // 3D controller
    PortType type = PortType::Endpoint;
    bool pcie = true;                      // has a PCI Express capability
    bool acs = false;                      // has an ACS capability at 0x100
    uint16_t acsControl = 0x005f;          // initial ACS Control register
    bool offline = false;                  // configuration reads return all ones
    // The command register and power state as firmware left them: asleep on
    // a host by default.
    uint16_t command = 0x0000;
    unsigned powerState = 3;               // D3hot
    // PMCSR's No_Soft_Reset: set, a move from D3hot to D0 keeps the device's
    // state; clear, the device resets in that move (its command register
    // and BARs read as at power-on), as the machine's setpci shows it.
    bool noSoftReset = true;
    bool isGpu = false;                    // has resource0 (memory) and resource2 (registers)
    uint64_t bar0 = 0;                     // base address programmed into BAR0/BAR1
    uint64_t bar0Size = 4u << 20;
    bool bar0Wide = true;              // a 64-bit BAR0; else one below 4 GiB
    uint64_t bar2Size = 4u << 20;
    std::map<uint32_t, uint32_t> registers;  // initial BAR2 words
    // The PCI Express link: Link Capabilities and Link Status (speed codes,
    // 4 is 16GT/s).
    unsigned linkMaxWidth = 16, linkMaxSpeed = 4, linkWidth = 16, linkSpeed = 4;
    int numaNode = -1;                     // "numa_node" (-1: no NUMA information)
    int iommuGroup = -1;                   // an IOMMU group of this number, -1 none
    // A group VFIO's no-IOMMU mode made for it, with no IOMMU behind it.
    bool noIommu = false;

    // Attribute texts as written to sysfs; by default as the kernel prints
    // them ("0x1f7a\n").  An empty optional leaves the attribute out.
    std::optional<std::string> vendorText;
    std::optional<std::string> deviceText;
    bool hasVendorAttribute = true;
    bool hasDeviceAttribute = true;

    std::list<Device> children;
    // A device that hosts a root bus of its own (such as a VMD controller)
    // keeps its children in this directory, "pci<domain>:<bus>".
    std::string childBusDir;

    // Adds a child below this device (a port, or the device behind a port).
    Device& add(Device child);
    Device& port(const std::string& address, PortType type, bool withAcs = true);
    Device& gpu(const std::string& address, uint16_t deviceId, uint64_t bar0Base);
    Device& other(const std::string& address, uint16_t vendorId, uint16_t device);
};

// A GPU of the maker with its device information word preset the way the
// device table expects it.
Device makeGpu(const std::string& bdf, uint16_t deviceId, uint64_t bar0Base);
Device makePort(const std::string& bdf, PortType type, bool withAcs);
Device makeOther(const std::string& bdf, uint16_t vendorId, uint16_t device);

class Topology {
public:
    // A device on a root bus (the root bus is named by the device's own
    // domain and bus, /sys/devices/pci<domain>:<bus>).
    Device& add(Device device);
    Device& rootPort(const std::string& bdf, bool withAcs = false);

    const std::list<Device>& roots() const { return roots_; }
    std::list<Device>& roots() { return roots_; }

    // Every device, parents before children.
    std::vector<const Device*> all() const;
    const Device* find(const std::string& bdf) const;
    Device* find(const std::string& bdf);
    // Bus addresses of the maker's GPUs, in ascending order.
    std::vector<std::string> gpus() const;

private:
    std::list<Device> roots_;
};

// A host as it is commonly built: `switches` PCIe switches, each under its
// own root port, each with `gpusPerSwitch` GPUs behind its downstream ports.
// GPUs take the device IDs of `deviceIds` in turn.
Topology switchedHost(int switches, int gpusPerSwitch, const std::vector<uint16_t>& deviceIds,
                      const std::string& domain = "0000");

// The configuration space of a device as the simulated machine shows it.
std::vector<uint8_t> configSpace(const Device& device);

// Writes the device tree under `sysRoot` (which stands for /sys).
void materialize(const Topology& topology, const std::string& sysRoot);

std::string hex16(uint16_t value);   // "0x1f7a"

} // namespace sim
