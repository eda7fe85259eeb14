// A guest laid out like its host: the virtual PCI tree (switches where the
// host has them, expander buses per NUMA node) that puts the chosen GPUs
// where peer-to-peer software in the guest finds the host's paths, as QEMU
// options or as a libvirt <devices> fragment.  Nothing here reads a file.
#pragma once

#include "status.h"

#include <string>
#include <vector>

struct LayoutOptions {
    enum Form { Qemu, Libvirt } form = Qemu;
    // The GPUs to lay out (bus addresses, the domain optional); empty: every
    // GPU no guest holds.
    std::vector<std::string> gpus;
    // Where numbering starts: high enough to miss QEMU's q35 devices and the
    // controllers libvirt adds by itself.
    unsigned firstChassis = 64;  // chassis and slot numbers of the ports
    unsigned firstIndex = 64;    // libvirt controller indexes
    unsigned firstSlot = 0x10;   // slots on the guest's root bus
    unsigned firstBus = 128;     // bus number of the first expander bus
};

struct Layout {
    enum Outcome {
        Laid,       // `text` holds the layout
        NoGpu,      // nothing to lay out: `error` says why
        Refused,    // a bus that is not a GPU here, or numbers that run out
    } outcome = Refused;
    std::string error;
    std::string text;                 // the layout, for standard output
    std::vector<std::string> notes;   // warnings and notes, for standard error
};

// The facts it needs beyond a report's: each GPU's IOMMU group
// (readGroups).
Layout layOut(const StatusReport& report, const LayoutOptions& options);
