// Host or guest, and what says so: the "hypervisor" flag in /proc/cpuinfo, or where
// it is hidden, the firmware (a DMI string naming a hypervisor, or SMBIOS's VM bit).
#pragma once

#include <optional>
#include <string>
#include <vector>

// The DMI strings, by their names under /sys/class/dmi/id ("" where none).
constexpr int DMI_FIELDS = 6;
extern const char* const DMI_FIELD_NAMES[DMI_FIELDS];
struct DmiStrings {
    std::string field[DMI_FIELDS];
};

// Bit 4 of BIOS Characteristics Extension Byte 2 (type 0), Unknown if not reached.
enum class SmbiosVm { Set, Clear, Unknown };
SmbiosVm smbiosVmBit(const std::string& table);

// Hypervisors the firmware names: a prefix in either case, of any field or the one
// given, with the vendor given.  A maker of servers too (Microsoft) names none by
// itself; Amazon EC2 is bare metal where SMBIOS says so, or its product ends ".metal".
struct DmiHypervisor {
    const char* prefix;
    const char* onlyField = nullptr;    // any field
    const char* withVendor = nullptr;   // any system vendor
};
extern const DmiHypervisor DMI_HYPERVISORS[];
extern const int DMI_HYPERVISOR_COUNT;

// The firmware's signals of a virtual machine, as the report shows them.
std::vector<std::string> firmwareSignals(const DmiStrings& dmi, SmbiosVm vm);

// Xen's dom0 (the CPU flag, yet a host), as systemd-detect-virt decides: XENFEAT_dom0
// in /sys/hypervisor/properties/features, else "control_d" in /proc/xen/capabilities.
bool xenControlDomain(const std::optional<std::string>& features,
                      const std::optional<std::string>& capabilities);

struct SideFacts {
    bool cpuinfoRead = false;       // /proc/cpuinfo could be read
    bool cpuFlag = false;           // "hypervisor" in it
    bool xenDom0 = false;           // Xen's control domain: the flag is Xen's own
    std::vector<std::string> firmware;

    bool guest() const { return (cpuFlag && !xenDom0) || !firmware.empty(); }
    // "cpu_flag", "dmi", "smbios", "xen" (dom0) or "none"; whether anything tells.
    const char* signalKind() const;
    bool known() const { return cpuinfoRead || !firmware.empty(); }
};
// With `allSignals` false, the firmware is read only without the CPU flag.
SideFacts readSide(bool allSignals = true);
