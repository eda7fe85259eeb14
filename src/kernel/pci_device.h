// One PCI device as sysfs shows it.  Every sysfs path is built here, every attribute
// read alike (regular files, never blocking, one page).  Config space and device ID
// are read once, the rest when asked; nothing unreadable is guessed ("" or nothing).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// "/sys/bus/pci/devices/"; an attribute's path there ("" the directory); a driver's.
extern const char* const PCI_DEVICES_DIR;
std::string devicePath(const std::string& bus, const char* attribute);
std::string driverPath(const char* driver, const char* entry = "");

// The GPU driver ("morvanti"): loaded, its nodes ("" their start), its module.
extern const char* const GPU_DRIVER_NAME;
bool gpuDriverLoaded();
std::string gpuNodePath(const std::string& number = "");
std::string gpuDriverModule();

// Whether some Xen domain has a PCI backend (pcifront's other end) running.
bool xenPciBackendsRunning();

// A bus address, 0000:3b:00.0 (domains may be wider); one a user gave,
// completed with its domain ("" for a text that is neither).
bool isBusAddress(const std::string& text);
std::string fullBusAddress(const std::string& text);

// The bus addresses from the root port down to a device, from its canonical sysfs
// path wherever the first root bus ("pci0000:00", into `rootBus`) sits; else empty.
std::vector<std::string> busChainFromPath(const std::string& canonicalPath,
                                          std::string* rootBus = nullptr);

// The devices from a root bus down to a device, the device excluded.
struct PciPath {
    bool known = false;
    std::string rootBus;              // "pci0000:00"
    std::vector<std::string> ports;
};

// Sysfs's hexadecimal numbers ("0x0002") as a stream reads them, within `bits` bits.
bool parseHex(const std::string& text, unsigned bits, uint64_t& value);
extern const char* const INVALID_HEX;   // "Invalid hexadecimal string"
// A number as the GPU driver or sysfs prints it: decimal digits alone.
std::optional<unsigned> parseDecimal(const std::string& text);

enum class KernelPower { Unknown, D0, D1, D2, D3hot, D3cold };
enum class RuntimeStatus { Unknown, Active, Suspended, Other };

class PciDevice {
public:
    PciDevice() = default;
    explicit PciDevice(std::string bus) : bus_(std::move(bus)) {}

    const std::string& bus() const { return bus_; }
    // "/sys/bus/pci/devices/<bus>" + attribute.
    std::string path(const char* attribute) const { return devicePath(bus_, attribute); }
    std::string resourcePath(int bar) const;   // ".../resource<bar>"

    // The configuration space as far as the kernel hands it out, read on
    // first use: only the bytes config_space.h decodes, the rest zero.
    const std::vector<uint8_t>& config() const;
    // Why it could not be read ("" when it was); whether it could not even
    // be opened.  After a write to it, forgetConfig() has it read anew.
    const std::string& configError() const;
    bool configUnopened() const;
    void forgetConfig();

    // The device ID as sysfs prints it ("0x0002", "" unreadable); as a number.
    const std::string& deviceIdText() const;
    bool deviceId(uint32_t& id) const;
    std::string vendorText() const { return word("/vendor").value_or(""); }
    // A 16-bit ID sysfs prints in hexadecimal ("/subsystem_device").
    bool hexAttribute(const char* attribute, uint64_t& value) const;

    // The GPU driver's minor number as it wrote it, and as a number.
    std::optional<std::string> minorText() const { return word("/minor"); }
    std::optional<unsigned> minor() const { return decimal("/minor"); }
    // The NUMA node's word, and the node (nothing for the kernel's -1).
    std::optional<std::string> numaNodeText() const { return word("/numa_node"); }
    std::optional<int> numaNode() const;
    std::optional<std::string> localCpus() const { return line("/local_cpulist"); }
    // VFIO's no-IOMMU mode gives a device a group with no IOMMU behind it.
    bool hasIommu() const;
    std::string iommuGroup() const { return linkName("/iommu_group"); }
    std::string driverName() const { return linkName("/driver"); }
    // BAR0 as the kernel's resource list has it, which sysfs shows without
    // waking the device.
    struct Resource {
        uint64_t start = 0;
        uint64_t size = 0;
        bool wide = false;   // a 64-bit BAR, which firmware may place above 4 GiB
    };
    std::optional<Resource> bar0Resource() const;
    KernelPower kernelPowerState() const;
    RuntimeStatus runtimeStatus() const;
    // The GPU driver's instance: the inode of its debug attribute, made anew
    // by each probe (not the device number: each sysfs mount has its own).
    bool driverInstance(uint64_t& ino) const;
    // The device at its address: its sysfs directory's inode, new at each
    // hot-add, kept across unbind and bind.
    std::optional<uint64_t> presence() const;
    // Its "enable" count: vfio-pci enables a device while a user has it open.
    std::optional<unsigned> enableCount() const { return decimal("/enable"); }
    std::vector<std::string> vfioDevices() const;   // "vfio3", from vfio-dev
    std::string classCode() const { return word("/class").value_or(""); }
    // Every device of its IOMMU group, itself included, in bus order.
    std::vector<std::string> iommuGroupDevices() const;
    PciPath pathToRoot() const;
    // "/sys/devices/pci0000:00/.../0000:03:00.0", "" when the device is gone.
    std::string canonicalPath() const;

private:
    std::optional<std::string> word(const char* attribute) const;
    std::optional<std::string> line(const char* attribute) const;
    std::optional<unsigned> decimal(const char* attribute) const;   // parseDecimal's
    std::string linkName(const char* attribute) const;
    bool text(const char* attribute, std::string& bytes) const;

    std::string bus_;
    mutable bool configTried_ = false;
    mutable bool configUnopened_ = false;
    mutable std::vector<uint8_t> config_;
    mutable std::string configError_;
    mutable bool deviceIdTried_ = false;
    mutable std::string deviceId_;
};
