// One PCI device as sysfs shows it.  Every sysfs path of the tool and the
// report is built here, and every attribute is read here the same way:
// regular files only, without blocking, at most one page (a configuration
// space at most 4096 bytes).  The configuration space and the device ID
// are read once, on first use, and kept for the life of the object; the
// other attributes are read when asked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// "/sys/bus/pci/devices/": every device's directory, named by its bus address.
extern const char* const PCI_DEVICES_DIR;
// The path of an attribute: PCI_DEVICES_DIR, the bus address, then the
// attribute, which begins with a slash ("" for the directory itself).
std::string devicePath(const std::string& bus, const char* attribute);
// The directory of a PCI driver, which exists while the driver is loaded,
// and the path of one of its entries ("/module").
std::string driverPath(const char* driver, const char* entry = "");

// The GPU kernel driver: its name under /sys/bus/pci/drivers/ and of its
// device nodes in /dev ("morvanti"); whether it is loaded (its directory
// exists); and the module to unload for it to let go of the GPUs ("morvanti"
// when the driver does not say).
extern const char* const GPU_DRIVER_NAME;
bool gpuDriverLoaded();
// One of its device nodes: "/dev/morvanti" and the node's number ("" for
// the start that every node's path shares).
std::string gpuNodePath(const std::string& number = "");
std::string gpuDriverModule();

// Whether some Xen domain has a PCI backend (pcifront's other end) running:
// an entry pci-<domain>-<n> under /sys/bus/xen-backend/devices/.
bool xenPciBackendsRunning();

// A PCI bus address as the kernel names devices: domain:bus:device.function
// in hexadecimal, such as 0000:3b:00.0 (domains may be wider than four digits).
bool isBusAddress(const std::string& text);
// The same with its domain, as a user may name a device without it
// ("03:00.0" is 0000:03:00.0); "" for a text that is neither.
std::string fullBusAddress(const std::string& text);

// The bus addresses from the root port down to a device, taken from the
// device's canonical sysfs path (such as /sys/devices/pci0000:00/0000:00:01.0/
// 0000:01:00.0), whatever the width of the domain and including root buses
// hosted below other devices, and wherever the first root bus sits in the
// path.  Empty when the path does not have that shape.  `rootBus`, when
// given, receives the name of that first root bus ("pci0000:00").
std::vector<std::string> busChainFromPath(const std::string& canonicalPath,
                                          std::string* rootBus = nullptr);

// The devices from a root bus down to a device, the device excluded.
struct PciPath {
    bool known = false;
    std::string rootBus;              // "pci0000:00"
    std::vector<std::string> ports;
};

// Sysfs prints its numbers as hexadecimal text ("0x0002"), read the way a
// stream reads a hexadecimal number: blanks skipped, an optional 0x, digits
// up to the first that is not one.  False when there is no number, or it
// needs more than `bits` bits.
bool parseHex(const std::string& text, unsigned bits, uint64_t& value);
extern const char* const INVALID_HEX;   // "Invalid hexadecimal string"
// A minor number as the GPU driver prints it: decimal digits alone.
std::optional<unsigned> parseMinor(const std::string& text);

// The power state the kernel believes a device in (its power_state
// attribute), and its runtime power management status.
enum class KernelPower { Unknown, D0, D1, D2, D3hot, D3cold };
enum class RuntimeStatus { Unknown, Active, Suspended, Other };

class PciDevice {
public:
    PciDevice() = default;
    explicit PciDevice(std::string bus);

    const std::string& bus() const { return bus_; }
    // The sysfs path of an attribute: "/sys/bus/pci/devices/<bus>" + attribute.
    std::string path(const char* attribute) const;
    std::string resourcePath(int bar) const;   // ".../resource<bar>"

    // The configuration space as far as the kernel hands it out (4096 bytes
    // of a PCI Express device read as root, 256 of a conventional one), or
    // nothing; read on first use, and only the bytes that the decoders of
    // config_space.h look at (readConfigSpace), the rest left zero.
    const std::vector<uint8_t>& config() const;
    // Why the configuration space could not be read ("" when it was), and
    // whether it could not even be opened.
    const std::string& configError() const;
    bool configUnopened() const;
    // After a write to the configuration space: the next use reads it anew.
    void forgetConfig();

    // The device ID as sysfs prints it ("0x0002"), "" when unreadable; read
    // on first use.
    const std::string& deviceIdText() const;
    // The same as a number; false when unreadable or not hexadecimal.
    bool deviceId(uint32_t& id) const;
    std::string vendorText() const;           // "" when unreadable
    // An ID the kernel prints in hexadecimal ("/vendor", "/subsystem_device");
    // false when unreadable or not a 16-bit number.
    bool hexAttribute(const char* attribute, uint64_t& value) const;

    // The GPU kernel driver's minor number: the attribute's first word as
    // the driver wrote it (nothing when unreadable), and that word as a
    // number (nothing when unreadable or not a number).
    std::optional<std::string> minorText() const;
    std::optional<unsigned> minor() const;
    // The NUMA node: the attribute's word, and the node (nothing when
    // unreadable, or the kernel's -1 for no NUMA information).
    std::optional<std::string> numaNodeText() const;
    std::optional<int> numaNode() const;
    // The CPUs near the device (nothing when unreadable), whether an IOMMU
    // translates for it, its IOMMU group ("" without), and the driver bound
    // to it ("" when none).  VFIO's no-IOMMU mode gives a device a group
    // with no IOMMU behind it: a group, and no IOMMU.
    std::optional<std::string> localCpus() const;
    bool hasIommu() const;
    std::string iommuGroup() const;
    std::string driverName() const;
    // BAR0 as the kernel's resource list has it (its first line), which
    // sysfs shows without waking the device; nothing when unknown.
    struct Resource {
        uint64_t start = 0;
        uint64_t size = 0;
        bool wide = false;   // a 64-bit BAR, which firmware may place above 4 GiB
    };
    std::optional<Resource> bar0Resource() const;
    // The power state the kernel believes the device in, and its runtime
    // power management status; Unknown when the kernel does not say.
    KernelPower kernelPowerState() const;
    RuntimeStatus runtimeStatus() const;
    // What identifies the GPU driver's instance of the device, with its bus
    // address: the inode number of its debug command attribute, which each
    // probe makes anew; false while there is none.  The device number is
    // not part of it: every sysfs mount (a unit's own, under systemd's
    // sandboxing) shows the same inode numbers under a device of its own.
    bool driverInstance(uint64_t& ino) const;
    // What identifies the device itself at its bus address: the inode
    // number of its sysfs directory, which kernfs gives anew each time a
    // device is added there (a hot-plug, another GPU at the same address)
    // and keeps across unbind and bind; nothing while there is none.
    std::optional<uint64_t> presence() const;
    // How many times the device is enabled (its "enable" attribute):
    // vfio-pci enables a device while a user has it open; nothing when
    // unreadable.
    std::optional<unsigned> enableCount() const;
    // The names of its VFIO device files ("vfio3"), from its vfio-dev entry.
    std::vector<std::string> vfioDevices() const;
    // Its class code as sysfs prints it ("0x030200"), "" when unreadable.
    std::string classCode() const;
    // The bus addresses of every device of its IOMMU group, itself
    // included, in bus order; empty without an IOMMU.
    std::vector<std::string> iommuGroupDevices() const;
    // From a root bus down to the device, out of its canonical sysfs path.
    PciPath pathToRoot() const;
    // That canonical path ("/sys/devices/pci0000:00/.../0000:03:00.0"), ""
    // when the device is gone.
    std::string canonicalPath() const;

private:
    std::optional<std::string> word(const char* attribute) const;
    std::optional<std::string> line(const char* attribute) const;
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
