// How qvgpu-vm-p2p-status gathers its facts, only reading: sysfs, device
// memory read-only, store files, processes' descriptors.  No device woken, no
// command started, no file but a regular one opened.
#pragma once

#include "status.h"

#include <string>

// The kernel's lockdown setting, from securityfs.
extern const char* const LOCKDOWN_FILE;   // "/sys/kernel/security/lockdown"

// Gathers everything, then judges it; throws filesystem_error only when the
// PCI device directory cannot be listed.
StatusReport collectStatus();

// The rest of each GPU's IOMMU group, which a layout passes through with it.
void readGroups(StatusReport& report);

// The mode in brackets ("[none] integrity confidentiality"), else "none".
std::string parseLockdown(const std::string& text);
