// A guest laid out like its host, so that peer-to-peer software in it finds
// the host's paths: as QEMU options, a libvirt <devices> fragment, or merged
// into a libvirt domain.  Nothing here reads a file.
#pragma once

#include "layout_domain.h"
#include "layout_plan.h"

#include <string>

// The plan rendered, and merged into `domain` when given (the options
// constrained by it first).  Beyond a report's facts: IOMMU groups.
Layout layOut(const StatusReport& report, const LayoutOptions& options,
              const Domain* domain = nullptr);
