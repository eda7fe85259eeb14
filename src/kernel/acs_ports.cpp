#include "acs_ports.h"

#include "config_space.h"
#include "pci_device.h"

#include <cstdio>

std::set<std::string> acsWalk(const std::set<std::string>& gpus, std::vector<std::string>& pathless)
{
    std::set<std::string> walk;
    for (const std::string& bus : gpus) {
        const PciPath path = PciDevice(bus).pathToRoot();
        if (!path.known) {
            pathless.push_back(bus);
            continue;
        }
        walk.insert(path.ports.begin(), path.ports.end());
        walk.insert(bus);
    }
    return walk;
}

std::vector<std::string> acsPortsAbove(const std::set<std::string>& gpus)
{
    std::vector<std::string> pathless;
    std::vector<std::string> ports;
    for (const std::string& bus : acsWalk(gpus, pathless)) {
        const PciDevice device(bus);
        if (decodePort(bus, device.config(), device.configError()).portType == PORT_DOWNSTREAM)
            ports.push_back(bus);
    }
    return ports;
}

namespace {

// "0000:03:00.0" into its domain, bus and devfn.
bool parseAddress(const std::string& bus, PciIdentity& id)
{
    unsigned domain = 0, number = 0, slot = 0, function = 0;
    char end = 0;
    if (!isBusAddress(bus) ||
        std::sscanf(bus.c_str(), "%x:%x:%x.%x%c", &domain, &number, &slot, &function, &end) != 4)
        return false;
    id.domain = domain;
    id.bus = number;
    id.devfn = (slot & 0x1f) << 3 | (function & 7);
    return true;
}

// The path from the top of the device's own hierarchy: a VMD's root bus starts
// another domain, whose devices have no upstream bridge for the kernel.
std::vector<std::string> hierarchy(const std::string& bus)
{
    const PciPath path = PciDevice(bus).pathToRoot();
    if (!path.known)
        return {};
    std::vector<std::string> chain = path.ports;
    chain.push_back(bus);
    const auto domainOf = [](const std::string& b) { return b.substr(0, b.find(':')); };
    std::size_t top = chain.size() - 1;
    while (top > 0 && domainOf(chain[top - 1]) == domainOf(chain.back()))
        --top;
    return std::vector<std::string>(chain.begin() + static_cast<long>(top), chain.end());
}

uint16_t idAttribute(const PciDevice& device, const char* attribute)
{
    uint64_t value = 0;
    return device.hexAttribute(attribute, value) ? static_cast<uint16_t>(value) : 0;
}

} // namespace

std::vector<PciIdentity> kernelChain(const std::string& bus)
{
    const std::vector<std::string> down = hierarchy(bus);
    std::vector<PciIdentity> up;
    for (auto it = down.rbegin(); it != down.rend(); ++it) {
        PciIdentity id;
        if (!parseAddress(*it, id))
            return {};
        const PciDevice device(*it);
        id.vendor = idAttribute(device, "/vendor");
        id.device = idAttribute(device, "/device");
        id.subsystemVendor = idAttribute(device, "/subsystem_vendor");
        id.subsystemDevice = idAttribute(device, "/subsystem_device");
        up.push_back(id);
    }
    return up;
}

std::string kernelPathName(const std::string& bus)
{
    const std::vector<std::string> down = hierarchy(bus);
    if (down.empty())
        return "";
    std::string name = down.front();
    for (std::size_t i = 1; i < down.size(); ++i)
        name += "/" + down[i].substr(down[i].size() - 4);
    return name;
}
