// The devices ACS disabling walks (every one from a root bus down to each
// GPU), of which it writes the switch downstream ports, whose ACS can send
// peer traffic up to the root complex: one list for every program that must
// name the walk's ports, and the names the kernel's command line gives them.
#pragma once

#include "kernel_cmdline.h"

#include <set>
#include <string>
#include <vector>

// Each device once, in bus-address order; a GPU whose path cannot be found
// is named in `pathless`.  The ports of it that ACS disabling writes.
std::set<std::string> acsWalk(const std::set<std::string>& gpus, std::vector<std::string>& pathless);
std::vector<std::string> acsPortsAbove(const std::set<std::string>& gpus);

// A device and each bridge above it to the top of its hierarchy, as the
// kernel's command line matches them (empty when the path is not found);
// and the device by that path, "0000:00:01.0/00.0/08.0", which unlike a bus
// address stays the same device when a card added later renumbers buses.
std::vector<PciIdentity> kernelChain(const std::string& bus);
std::string kernelPathName(const std::string& bus);
