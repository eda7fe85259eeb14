// Host or guest, and what says so: the "hypervisor" flag in /proc/cpuinfo,
// or where the hypervisor hides it, the firmware (a DMI string naming a
// hypervisor, or SMBIOS marking a virtual machine).
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

// Bit 4 of BIOS Characteristics Extension Byte 2, in the raw SMBIOS table's
// type 0 structure wherever it lies; Unknown when the bytes do not reach it.
enum class SmbiosVm { Set, Clear, Unknown };
SmbiosVm smbiosVmBit(const std::string& table);

// The hypervisors the firmware's strings name: a prefix in either case, of
// any field or the one given, with the system vendor given.  A maker of
// servers too (Microsoft, Oracle) names none by itself; Amazon EC2 is bare
// metal where SMBIOS says so, or its product name ends in ".metal".
struct DmiHypervisor {
    const char* prefix;
    const char* onlyField = nullptr;    // any field
    const char* withVendor = nullptr;   // any system vendor
};
extern const DmiHypervisor DMI_HYPERVISORS[];
extern const int DMI_HYPERVISOR_COUNT;

// The firmware's signals of a virtual machine, as the report shows them.
std::vector<std::string> firmwareSignals(const DmiStrings& dmi, SmbiosVm vm);

// Whether this is Xen's dom0, which shows the CPU flag yet is a host, as
// systemd-detect-virt decides: XENFEAT_dom0 in /sys/hypervisor/properties/
// features, else "control_d" in /proc/xen/capabilities.
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
