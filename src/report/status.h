// What qvgpu-vm-p2p-status knows: the facts as gathered, and the verdict.
#pragma once

#include "config_space.h"
#include "holders.h"
#include "kinds.h"
#include "pci_device.h"
#include "pci_tree.h"
#include "platform.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct MachineFacts {
    bool guest = false;            // the CPU's flag, or the firmware, says so
    bool cpuFlag = false;          // "hypervisor" in /proc/cpuinfo
    bool xenDom0 = false;          // Xen's control domain, which shows that flag
    std::string sideSignal = "none";   // the kind of signal that decided (SideFacts::signalKind)
    bool sideKnown = true;         // /proc/cpuinfo or the firmware told
    std::vector<std::string> firmwareSignals;   // "sys_vendor QEMU"
    bool driverLoaded = false;     // the GPU kernel driver's directory exists
    std::string driverModule;      // the module that holds that driver
    bool setpci = false;           // the shell would find setpci
    std::string lockdown = "none";   // "integrity", "confidentiality"
    bool iommu = false;   // some GPU's group has an IOMMU: else no isolation judged
    // On a host: processes unseen, /proc hiding others', GPUs under VFIO that
    // may have a holder unseen (while any, holders and isolation are unjudged).
    int unseenProcesses = 0;
    bool processesHidden = false;
    int holdersUnknown = 0;
    bool holdersJudged() const { return holdersUnknown == 0; }
    // In a guest: the driver's last GPU node, and the configuration record.
    std::string lastNode;
    bool lastNodeThere = false;
    bool configurationRecord = false;
    // On a host with GPUs left alone: this boot's stores read, or why not.
    bool storedRead = false;
    std::string storedReason;
    std::optional<std::string> acsRedirList;   // the kernel's, that counts
};

enum class RecordState {
    NotRead,        // not asked (not a GPU the tool handles, or its state unknown)
    Valid,          // magic of this GPU's device ID
    Absent,         // not our magic at all
    OtherDevice,    // our magic, another device ID
    Unreadable,
    NotChecked,     // not looked at on purpose: `unchecked` says why
};

// Why a host leaves a GPU's memory alone.
enum class Unchecked {
    None,
    InUse,          // a guest holds it: its own report checks it
    HeldByProcess,  // a process holds it under VFIO's no-IOMMU mode (never a guest)
    IdleUnderVfio,  // vfio-pci keeps it asleep with no guest, and wakes it when one starts
    HolderUnseen,   // under VFIO, and whether a guest holds it cannot be seen
};

// What this boot's stores recorded of a GPU a host leaves alone.
enum class BootStore {
    NotRead,        // not left alone, or a guest
    Current,        // stored this boot, with its device ID and today's BAR0 base
    Missing,        // not stored this boot (or the record cannot be read)
    Stale,          // stored this boot, of another BAR0 base or device ID
};

// In a guest: whether the GPU driver has this GPU's configuration now.
enum class DriverConfig {
    NotRead,        // on a host, or not a GPU whose store file is valid
    Configured,     // the last configuration it took is today's
    NotConfigured,  // no such configuration since its driver instance came
};

// Why device memory could not be read, as the verdict needs it.
enum class ReadFailure {
    None,
    Asleep,          // memory decoding off or not in D0: the tool's wake gets past it
    HeldByDriver,    // a driver holds the BAR, and the kernel maps none of it
    LockedDown,      // the kernel is locked down
    Other,           // anything else: too small, not a regular file, refused
};

enum class StoreState {
    NotRead,        // on the host, or a device the tool does not handle
    Valid,
    Missing,
    Invalid,        // storeReason says why
    Disagrees,      // valid, but not the bytes in device memory
};

// Another device of a GPU's IOMMU group: VFIO hands a guest the whole group.
struct GroupMember {
    std::string bus;
    bool bridge = false;           // a PCI bridge, which stays with the host
};

struct GpuFacts {
    std::string bus;
    std::optional<std::string> deviceId;   // as sysfs prints it; nothing when unreadable
    bool handled = false;          // a device ID of the tool's device table
    uint32_t deviceIdValue = 0;    // of a GPU the tool handles
    // Its header read, and it answers; else nothing is decided from it.
    bool configRead = false;
    std::string configReason;
    std::string product;           // "" when unknown
    std::string productReason;     // why it is unknown
    std::optional<int> numaNode;           // nothing when unknown
    std::optional<std::string> localCpus;  // nothing when unreadable
    std::string iommuGroup;        // "" without an IOMMU
    // VFIO's no-IOMMU mode: whatever drives the GPU reaches all memory.
    bool noIommu = false;
    std::string driver;            // the bound driver, "" when none
    // On a host: how it is passed through, who holds it (pid 0: pciback).
    Passthrough through = Passthrough::None;
    Holder holder = Holder::Free;
    bool inUse = false;
    ProcessFacts user;
    uint64_t bar0Base = 0;         // from configuration space
    uint64_t bar0Size = 0;         // from the kernel's resource list; 0 unknown
    uint64_t bar0Start = 0;        // from the kernel's resource list; 0 unknown
    bool bar0Wide = false;         // a 64-bit BAR0, as the resource list says
    std::optional<unsigned> minor; // the driver's minor number; nothing when none
    PciLink link;                  // the GPU's own end of its link

    RecordState record = RecordState::NotRead;
    std::string recordReason;      // why it could not be read
    ReadFailure recordFailure = ReadFailure::None;
    Unchecked unchecked = Unchecked::None;
    std::optional<bool> noSoftReset;   // its memory survives a move to D0
    uint64_t recordBase = 0;       // the base the record holds (valid records)
    BootStore bootStore = BootStore::NotRead;
    uint64_t bootStoreBase = 0;    // the base they recorded (Stale)
    uint32_t bootStoreDeviceId = 0;
    std::string bootStoreProduct;  // the product they recorded (Current), "" when unknown
    uint32_t recordDeviceId = 0;   // the device ID its magic names (OtherDevice)

    StoreState store = StoreState::NotRead;
    std::string storeReason;       // why an invalid store file is invalid
    uint64_t storeBase = 0;

    // In a guest: bound to the driver, a minor of its own, configured.
    bool boundToDriver = false;
    bool minorUsable = false;
    DriverConfig driverConfig = DriverConfig::NotRead;

    PciPath path;
    std::vector<GroupMember> group;   // the rest of its IOMMU group, for a layout
    // Its link at full rate: the smaller of both ends' maximums; 0 unknown.
    unsigned fullWidth = 0;
    unsigned fullSpeed = 0;
};

// One thing to fix, and the command that fixes it, with where and when.
struct Fix {
    std::vector<std::string> problems;
    std::vector<ProblemKind> kinds;   // of each problem, in their order
    std::vector<std::string> advice;   // to weigh beside the command
    std::string where;             // "" for here, now
    std::string command;           // "" when no command of ours fixes it
};

// Two GPUs of different IOMMU groups below one switch, reaching each other.
struct IsolationPair {
    std::size_t a = 0, b = 0;      // indexes into the GPUs
    std::string switchBus;         // the upstream port of the switch they share
};

// What judge() decides from the facts: the things to fix, the warnings.
struct Verdict {
    std::vector<Fix> fixes;                    // in the order to do them
    std::vector<std::string> warnings;         // worth knowing; no change to the verdict
    std::vector<WarningKind> warningKinds;     // of each warning, in their order
    // Pairs split between IOMMU groups; breaches when two guests hold them.
    std::vector<IsolationPair> isolationWarnings, isolationBreaches;
    std::size_t notChecked = 0;   // GPUs whose records a host leaves alone
    bool ready() const { return fixes.empty(); }
};

struct StatusReport {
    MachineFacts machine;
    std::vector<GpuFacts> gpus;                // ascending bus addresses
    std::map<std::string, PortFacts> ports;    // every device on a GPU's path
    // The switch downstream ports whose ACS redirection the kernel keeps off.
    std::set<std::string> acsKeptOff;
    std::vector<std::vector<Link>> links;      // GPU by GPU
    Verdict verdict;                           // judged from all of the above
};
