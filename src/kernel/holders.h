// Which processes hold a GPU: a hypervisor holds each GPU it gave a guest
// through its VFIO group file (/dev/vfio/<group>, noiommu-<group> without an
// IOMMU) or device file (/dev/vfio/devices/vfio<N>); under Xen's pciback,
// QEMU holds its sysfs config and resource files open or mapped.  Found in
// every process's /proc/<pid>/fd (and maps), else told by the kernel's count
// of the GPU's users.  Nothing is written and nothing blocks.
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

// What a look through every process's descriptors found: for each file
// sought, the first process holding it; and what could not be seen (not a
// process that ended during the look).
struct HolderScan {
    std::map<std::string, ProcessFacts> holders;
    int unseen = 0;         // processes whose descriptors could not be read
    bool hidden = false;    // /proc hides other users' processes (hidepid)
    bool complete() const { return unseen == 0 && !hidden; }
};
// The files sought are VFIO's (/dev/vfio/...), sysfs's, or the GPU
// driver's device nodes (/dev/morvantiN).  With `maps`, the files each
// process maps count as held too.
HolderScan findHolders(const std::set<std::string>& files, bool maps = false);

// How a GPU is passed through.  A driver is VFIO's (vfio-pci or a variant)
// when the GPU has a VFIO device entry in sysfs, or when its name holds
// "vfio", as every variant's in the kernel does, and its group file exists.
enum class Passthrough { None, Vfio, Pciback };

// Who holds a GPU.
enum class Holder {
    Free,        // nobody: no process holds its files, and it is not open
    Process,     // the process named
    Unseen,      // open through VFIO (its enable count above 0), by no process seen
    XenGuest,    // pciback's, enabled for pcifront or while a PCI backend runs
    // Not enabled (or unknown) under VFIO or pciback, while not every
    // process was seen: one may hold its files.
    Undecided,
};

struct GpuHold {
    Passthrough through = Passthrough::None;
    Holder holder = Holder::Free;
    ProcessFacts process;    // of Holder::Process
    bool held() const   // by a guest, named or not: it is left alone
    {
        return holder == Holder::Process || holder == Holder::Unseen ||
               holder == Holder::XenGuest;
    }
};

// Which process holds each GPU: the one look both programs take before
// they touch any.
struct GpuHolders {
    std::map<std::string, GpuHold> gpus;   // bus address -> how it is held
    int unseen = 0;
    bool hidden = false;
    bool complete() const { return unseen == 0 && !hidden; }
};
GpuHolders findGpuHolders(const std::vector<std::string>& buses);

// Whether a /proc mounted so hides other users' processes (hidepid=2 or 4,
// by number or name) from a reader with or without CAP_SYS_PTRACE.
bool procHidesOthers(const std::string& mountOptions, bool ptraceCapability);

// The guest name of QEMU's "-name" option in an argument list:
// "-name guest=NAME,debug-threads=on" or "-name NAME,process=..." give
// NAME; "" without the option.
std::string qemuGuestName(const std::vector<std::string>& argv);
