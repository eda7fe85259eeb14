// What qvgpu-vm-p2p-status finds out: the facts about this machine, its GPUs,
// the PCI paths above them and the links between them, and the verdict on
// whether peer-to-peer will work, with what to fix first.  Everything here
// only reads: sysfs, device memory through read-only mappings, the store
// files.  No device is woken and no command is started.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The kernel's lockdown setting, from securityfs.
extern const char* const LOCKDOWN_FILE;   // "/sys/kernel/security/lockdown"

struct MachineFacts {
    bool guest = false;            // "hypervisor" in /proc/cpuinfo
    bool driverLoaded = false;     // the GPU kernel driver's directory exists
    bool setpci = false;           // the shell would find setpci
    // "none", "integrity" or "confidentiality"; "none" too when the kernel
    // does not report it.
    std::string lockdown = "none";
};

// A device on the path from a root bus down to a GPU.
struct PortFacts {
    std::string bus;
    bool configRead = false;
    int portType = -1;             // PCI Express Device/Port Type; -1 without the capability
    bool hasAcs = false;
    uint16_t acsCtl = 0;
};

// PCI Express Device/Port Types that decide something here.
constexpr int PORT_ROOT = 4;
constexpr int PORT_UPSTREAM = 5;
constexpr int PORT_DOWNSTREAM = 6;

// ACS Control bits, in the order lspci shows them.
constexpr uint16_t ACS_REQ_REDIR = 1u << 2;
constexpr uint16_t ACS_CMPLT_REDIR = 1u << 3;

enum class RecordState {
    NotRead,        // not asked (device ID not one the tool handles)
    Valid,          // magic of this GPU's device ID
    Absent,         // not our magic at all
    OtherDevice,    // our magic, another device ID
    Unreadable,
};

enum class StoreState {
    NotRead,        // on the host, or a device the tool does not handle
    Valid,
    Missing,
    Invalid,        // wrong size or magic
    Disagrees,      // valid, but not the bytes in device memory
};

struct GpuFacts {
    std::string bus;
    std::string deviceId;          // as sysfs prints it; "" when unreadable
    bool handled = false;          // a device ID of the tool's device table
    bool configRead = false;
    bool offline = false;          // configuration reads come back all ones
    std::string product;           // "" when unknown
    std::string productReason;     // why it is unknown, "" when it is not read
    std::string numaNode;          // "x" when unreadable
    std::string localCpus;         // "x" when unreadable
    std::string iommuGroup;        // "" without an IOMMU
    uint64_t bar0Base = 0;         // from configuration space
    uint64_t bar0Size = 0;         // from the kernel's resource list; 0 unknown
    std::string minor;             // the driver's minor number; "x" when none

    RecordState record = RecordState::NotRead;
    std::string recordReason;      // why it could not be read
    uint64_t recordBase = 0;       // the base the record holds (valid records)
    uint32_t recordDeviceId = 0;   // the device ID its magic names (OtherDevice)

    StoreState store = StoreState::NotRead;
    uint64_t storeBase = 0;

    bool pathKnown = false;
    std::string rootBus;           // "pci0000:00"
    std::vector<std::string> path; // from the root bus down, the GPU excluded
    std::string redirectingPort;   // switch downstream port above that redirects
};

enum class LinkKind { Self, PIX, PXB, PHB, NODE, SYS, Unknown };
const char* linkName(LinkKind kind);

struct Link {
    LinkKind kind = LinkKind::Unknown;
    bool redirected = false;       // an ACS-enabled switch port sends it upstream
};

struct Fix {
    std::string problem;
    std::string command;           // "" when no command of ours fixes it
};

struct StatusReport {
    MachineFacts machine;
    std::vector<GpuFacts> gpus;                // ascending bus addresses
    std::map<std::string, PortFacts> ports;    // every device on a GPU's path
    std::vector<std::vector<Link>> links;      // GPU by GPU
    std::vector<Fix> fixes;                    // in the order to do them
    bool ready() const { return fixes.empty(); }
};

// Gathers everything.  Throws std::filesystem::filesystem_error only when
// the PCI device directory cannot be listed.
StatusReport collectStatus();

// The pieces, for the tests.

// The mode in brackets of the lockdown file's text ("[none] integrity
// confidentiality" gives "none"); "none" when there is none.
std::string parseLockdown(const std::string& text);
// Port type and ACS Control from a configuration space (as many bytes as
// were read).
PortFacts decodePort(const std::string& bus, const std::vector<uint8_t>& config);
// "SrcValid+ TransBlk- ReqRedir+ CmpltRedir+ UpstreamFwd+ EgressCtrl- DirectTrans-"
std::string decodeAcsCtl(uint16_t control);
// lspci's name of a Device/Port Type ("Downstream Port"); "PCI" without
// the capability.
std::string portTypeName(int portType);
// The link between two GPUs with known paths.
Link linkBetween(const GpuFacts& a, const GpuFacts& b,
                 const std::map<std::string, PortFacts>& ports);
// Decides the verdict: fills report.fixes from the facts.
void judge(StatusReport& report);
