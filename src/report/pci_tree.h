// How two GPUs meet in the PCI tree, and where in a switch their traffic turns.
#pragma once

#include "config_space.h"
#include "pci_device.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

enum class LinkKind { Self, PIX, PXB, PHB, NODE, SYS, Unknown };
const char* linkName(LinkKind kind);

// How peer traffic between two GPUs travels.
struct Link {
    LinkKind kind = LinkKind::Unknown;
    // The switch's downstream ports where the traffic turns ("" when none).
    std::string turnA, turnB;
    std::string turnSwitch;       // that switch's upstream port
    bool redirected = false;      // one of them redirects
    bool acsUnknown = false;      // one of them has an ACS state not read
};

// One GPU's place as linkBetween needs it.
struct GpuPlace {
    std::string bus;
    const PciPath* path;
    std::optional<int> numaNode;  // nothing when unknown
};
Link linkBetween(const GpuPlace& a, const GpuPlace& b,
                 const std::map<std::string, PortFacts>& ports);
