#include "acs_ports.h"

#include "pci_device.h"

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
