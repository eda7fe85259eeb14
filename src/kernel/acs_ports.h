// The devices ACS disabling walks (from a root bus down to each GPU), whose
// switch downstream ports it writes: one list for every program, and the
// names the kernel's command line gives them.
#pragma once

#include "kernel_cmdline.h"

#include <set>
#include <string>
#include <vector>

// Each device once, in bus-address order; a GPU whose path cannot be found
// is named in `pathless`.  The ports of it that ACS disabling writes.
std::set<std::string> acsWalk(const std::set<std::string>& gpus, std::vector<std::string>& pathless);
std::vector<std::string> acsPortsAbove(const std::set<std::string>& gpus);

// A device and each bridge above it, as the kernel's command line matches
// them (empty with no path); and its path name, "0000:00:01.0/00.0/08.0",
// which stays the device's when a card added later renumbers buses.
std::vector<PciIdentity> kernelChain(const std::string& bus);
std::string kernelPathName(const std::string& bus);
