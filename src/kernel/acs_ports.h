// The devices that ACS disabling walks: every device from a root bus down
// to each GPU, the GPUs included.  Of these it writes the switch downstream
// ports (PORT_DOWNSTREAM), the ports whose ACS can send peer traffic up to
// the root complex.  One list, for every program that must name the same
// ports as the walk, and the names the kernel's command line gives them.
#pragma once

#include "kernel_cmdline.h"

#include <set>
#include <string>
#include <vector>

// Each device once, in bus-address order.  A GPU whose PCI path cannot be
// found adds nothing, and is named in `pathless`.
std::set<std::string> acsWalk(const std::set<std::string>& gpus, std::vector<std::string>& pathless);
// The ports of the walk that ACS disabling writes, as their configuration
// spaces in sysfs tell, in bus-address order.
std::vector<std::string> acsPortsAbove(const std::set<std::string>& gpus);

// A device and each bridge above it, up to the top of its PCI hierarchy
// (the device on a root bus), as the kernel matches devices on its command
// line; empty when its path cannot be found.
std::vector<PciIdentity> kernelChain(const std::string& bus);
// The device named by that path, as the kernel's command line names it:
// the topmost device's address, then "/DD.F" for each one below it down to
// the device ("0000:00:01.0/00.0/08.0").  Unlike a bus address, it stays
// the same device when a card added later renumbers the buses.
std::string kernelPathName(const std::string& bus);
