// One PCI device as sysfs shows it: its directory, its configuration space
// (read once, on first use) and its attributes (read when asked).  The
// tool's queries and the status report both go through it, so every
// attribute is read the same way: without blocking, regular files only,
// at most one page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PciDevice {
public:
    explicit PciDevice(std::string bus);

    const std::string& bus() const { return bus_; }
    // The sysfs path of an attribute: "/sys/bus/pci/devices/<bus>" + attribute.
    std::string path(const char* attribute) const;

    // The configuration space as far as the kernel hands it out (4096 bytes
    // of a PCI Express device read as root, 256 of a conventional one), or
    // nothing; read on first use and kept for the life of the object.
    const std::vector<uint8_t>& config() const;
    // Why the configuration space could not be read ("" when it was).
    const std::string& configError() const;

    // The first white-space-delimited word, or the first line, of a text
    // attribute; `placeholder` when it cannot be read or holds none.
    std::string word(const char* attribute, const char* placeholder) const;
    std::string line(const char* attribute, const char* placeholder) const;
    // The last component of a link's target ("driver" gives "vfio-pci"),
    // "" when there is no such link.
    std::string linkName(const char* attribute) const;
    bool exists(const char* attribute) const;

private:
    bool text(const char* attribute, std::string& bytes) const;
    std::string bus_;
    mutable bool configTried_ = false;
    mutable std::vector<uint8_t> config_;
    mutable std::string configError_;
};
