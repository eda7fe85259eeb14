// How qvgpu-vm-p2p-status gathers its facts.  Everything here only reads:
// sysfs, device memory through read-only mappings, the store files, other
// processes' descriptors.  No device is woken, no command is started, and
// no file that is not a regular one is opened for reading.
#pragma once

#include "status.h"

#include <string>

// The kernel's lockdown setting, from securityfs.
extern const char* const LOCKDOWN_FILE;   // "/sys/kernel/security/lockdown"

// Gathers everything, then judges it.  Throws
// std::filesystem::filesystem_error only when the PCI device directory
// cannot be listed.
StatusReport collectStatus();

// The other devices of each GPU's IOMMU group, which a layout passes
// through with it (read only for a layout).
void readGroups(StatusReport& report);

// The mode in brackets of the lockdown file's text ("[none] integrity
// confidentiality" gives "none"); "none" when there is none.
std::string parseLockdown(const std::string& text);
