// Which processes hold a GPU: a hypervisor its VFIO group file (/dev/vfio/<group>,
// noiommu-<group>) or device file (/dev/vfio/devices/vfio<N>); under Xen's pciback,
// QEMU its sysfs files.  Found in /proc/<pid>/fd (and maps), else by the enable count.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

struct ProcessFacts {
    int pid = 0;
    std::string name;     // /proc/<pid>/comm
    std::string guest;    // QEMU's -name, "" when none
};

// A look through every process's descriptors: each file's first holder, the unseen.
struct HolderScan {
    std::map<std::string, ProcessFacts> holders;
    int unseen = 0;         // processes whose descriptors could not be read
    bool hidden = false;    // /proc hides other users' processes (hidepid)
    bool complete() const { return unseen == 0 && !hidden; }
};
// Files under /dev/vfio/ or /sys/, or driver nodes; with `maps`, mapped ones too.
HolderScan findHolders(const std::set<std::string>& files, bool maps = false);

// How a GPU is passed through: a driver is VFIO's when the GPU has a VFIO device
// entry, or its name holds "vfio" and its group file exists.
enum class Passthrough { None, Vfio, Pciback };

// Who holds a GPU.
enum class Holder {
    Free,        // nobody: no process holds its files, and it is not open
    Process,     // the process named
    Unseen,      // open through VFIO (its enable count above 0), by no process seen
    XenGuest,    // pciback's, enabled for pcifront or while a PCI backend runs
    Undecided,   // not enabled (or unknown), some process unseen
};

struct GpuHold {
    Passthrough through = Passthrough::None;
    Holder holder = Holder::Free;
    ProcessFacts process;    // of Holder::Process
    bool held() const   // by a guest, named or not: it is left alone
    {
        return holder == Holder::Process || holder == Holder::Unseen || holder == Holder::XenGuest;
    }
};

// Which process holds each GPU: the look both programs take first.
struct GpuHolders {
    std::map<std::string, GpuHold> gpus;   // bus address -> how it is held
    int unseen = 0;
    bool hidden = false;
    bool complete() const { return unseen == 0 && !hidden; }
};
GpuHolders findGpuHolders(const std::vector<std::string>& buses);

// Whether /proc mounted so hides others' processes (hidepid=2 or 4) from us.
bool procHidesOthers(const std::string& mountOptions, bool ptraceCapability);

// NAME of QEMU's "-name guest=NAME,..." or "-name NAME,..."; "" without one.
std::string qemuGuestName(const std::vector<std::string>& argv);
