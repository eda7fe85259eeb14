// Whether this machine is a host or a guest, and what says so.  A guest is
// told by the "hypervisor" flag in /proc/cpuinfo, or, where the hypervisor
// hides that flag (QEMU's -hypervisor, libvirt's hidden state), by its
// firmware: a DMI string that names a hypervisor, or the SMBIOS BIOS
// characteristics that mark a virtual machine.  Both programs decide here.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The DMI strings read, by their names under /sys/class/dmi/id.
constexpr int DMI_FIELDS = 6;
extern const char* const DMI_FIELD_NAMES[DMI_FIELDS];
// sys_vendor, product_name, product_version, board_vendor, bios_vendor,
// chassis_vendor; "" where the firmware gives none.
struct DmiStrings {
    std::string field[DMI_FIELDS];
};

// What SMBIOS structure type 0 says in bit 4 of its BIOS Characteristics
// Extension Byte 2.
enum class SmbiosVm { Set, Clear, Unknown };
// From the raw SMBIOS table: the type 0 structure, wherever it lies among
// the first structures; Unknown when the bytes do not reach it.
SmbiosVm smbiosVmBit(const std::string& table);

// The hypervisors that the firmware's strings can name: each prefix is
// matched, in either case, at the start of every field, or only of the one
// field given and only with a system vendor of the one given.  A maker of
// physical servers (Microsoft, Oracle) names no hypervisor by itself; an
// Amazon EC2 product whose name ends in ".metal" is bare metal, and where
// SMBIOS tells, its bit decides for Amazon EC2.
struct DmiHypervisor {
    const char* prefix;
    const char* onlyField;     // null: any field
    const char* withVendor;    // null: any system vendor
};
extern const DmiHypervisor DMI_HYPERVISORS[];
extern const int DMI_HYPERVISOR_COUNT;

// The firmware's signals of a virtual machine, as texts for the report:
// "sys_vendor: QEMU", "SMBIOS: a virtual machine".
std::vector<std::string> firmwareSignals(const DmiStrings& dmi, SmbiosVm vm);

// Whether this is Xen's control domain (dom0), which runs on the hypervisor
// and shows its CPU flag, yet is the host of Xen's guests: as
// systemd-detect-virt decides, by the hypervisor's feature bits where sysfs
// shows them (/sys/hypervisor/properties/features, XENFEAT_dom0), else by
// "control_d" among the capabilities of /proc/xen/capabilities.  Nothing
// for a file that could not be read.
bool xenControlDomain(const std::optional<std::string>& features,
                      const std::optional<std::string>& capabilities);

struct SideFacts {
    bool cpuinfoRead = false;       // /proc/cpuinfo could be read
    bool cpuFlag = false;           // "hypervisor" in it
    bool xenDom0 = false;           // Xen's control domain: the flag is Xen's own
    std::vector<std::string> firmware;

    bool guest() const { return (cpuFlag && !xenDom0) || !firmware.empty(); }
    // The kind of signal that decided the side: "cpu_flag", "dmi",
    // "smbios", "xen" (a dom0's host) or "none".
    const char* signalKind() const;
    // Whether anything was read that tells: without /proc/cpuinfo and any
    // signal of the firmware the side is not known.
    bool known() const { return cpuinfoRead || !firmware.empty(); }
};
// With `allSignals` false, a CPU flag that is not Xen's control domain's
// ends the search: the firmware is read only where the flag is missing.
SideFacts readSide(bool allSignals = true);
