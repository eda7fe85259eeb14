// A guest laid out like its host: the virtual PCI tree (switches where the
// host has them, a host bridge per host root complex) that puts the chosen GPUs
// where peer-to-peer software in the guest finds the host's paths, as QEMU
// options, as a libvirt <devices> fragment, or merged into a libvirt domain.
// Nothing here reads a file.
#pragma once

#include "layout_domain.h"
#include "layout_plan.h"

#include <string>

// The plan, rendered in the form asked, and merged into `domain` when one
// is given (constrained by it first, Domain::constrain).  The facts it
// needs beyond a report's: each GPU's IOMMU group (readGroups).
Layout layOut(const StatusReport& report, const LayoutOptions& options,
              const Domain* domain = nullptr);
