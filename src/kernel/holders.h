// Which processes hold a GPU: on a host, a hypervisor holds each GPU it has
// given to a guest through the GPU's VFIO group file (/dev/vfio/<group>) or
// its VFIO device file (/dev/vfio/devices/vfio<N>).  Found through the
// descriptors in /proc/<pid>/fd, of every user's processes; nothing is
// written and nothing blocks.
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

// What a look through every process's descriptors found: for each of the
// files sought that some process holds open, the first such process; and
// what could not be seen.  A process that ended during the look is not
// counted as unseen.
struct HolderScan {
    std::map<std::string, ProcessFacts> holders;
    int unseen = 0;         // processes whose descriptors could not be read
    bool hidden = false;    // /proc hides other users' processes (hidepid)
    bool complete() const { return unseen == 0 && !hidden; }
};
HolderScan findHolders(const std::set<std::string>& files);

// Which process holds each of these GPUs through its VFIO group file or one
// of its VFIO device files: the one look both programs take before they
// touch any GPU.  Only the GPUs held are named; `unseen` and `hidden` are
// the look's own.
struct GpuHolders {
    std::map<std::string, ProcessFacts> held;   // bus address -> its holder
    int unseen = 0;
    bool hidden = false;
    bool complete() const { return unseen == 0 && !hidden; }
};
GpuHolders findGpuHolders(const std::vector<std::string>& buses);

// Whether a /proc mounted with these options hides other users' processes
// from a reader with `ptraceCapability` in its effective set: hidepid=2
// (invisible) or 4 (ptraceable), by number or by name.
bool procHidesOthers(const std::string& mountOptions, bool ptraceCapability);

// The guest name of QEMU's "-name" option in an argument list:
// "-name guest=NAME,debug-threads=on" or "-name NAME,process=..." give
// NAME; "" without the option.
std::string qemuGuestName(const std::vector<std::string>& argv);
