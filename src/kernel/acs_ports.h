// The devices ACS disabling walks (root bus down to each GPU), whose downstream ports
// it writes: one list for every program, and the kernel command line's names.
#pragma once

#include "kernel_cmdline.h"

#include <set>
#include <string>
#include <vector>

// Each device once, in bus order (pathless GPUs apart); the ports ACS disabling writes.
std::set<std::string> acsWalk(const std::set<std::string>& gpus, std::vector<std::string>& pathless);
std::vector<std::string> acsPortsAbove(const std::set<std::string>& gpus);

// A device and the bridges above it as the command line matches them (empty without a
// path); its path name, "0000:00:01.0/00.0/08.0", stable when buses are renumbered.
std::vector<PciIdentity> kernelChain(const std::string& bus);
std::string kernelPathName(const std::string& bus);
