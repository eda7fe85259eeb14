// How qvgpu-vm-p2p-status gathers its facts, only reading: sysfs, device memory, store
// files, descriptors.  No device woken, no command started, only regular files opened.
#pragma once

#include "status.h"

#include <string>

// The kernel's lockdown setting, from securityfs.
extern const char* const LOCKDOWN_FILE;   // "/sys/kernel/security/lockdown"

// Gathers everything, then judges it; throws filesystem_error if sysfs is unlistable.
StatusReport collectStatus();

// The rest of each GPU's IOMMU group, which a layout passes through with it.
void readGroups(StatusReport& report);

// The mode in brackets ("[none] integrity confidentiality"), else "none".
std::string parseLockdown(const std::string& text);
