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

// For each of `files` held open by some process, the first such process.
std::map<std::string, ProcessFacts> findHolders(const std::set<std::string>& files);

// The guest name of QEMU's "-name" option in an argument list:
// "-name guest=NAME,debug-threads=on" or "-name NAME,process=..." give
// NAME; "" without the option.
std::string qemuGuestName(const std::vector<std::string>& argv);
