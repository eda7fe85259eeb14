// The plan of a guest laid out like its host: virtual bridges (switches where the
// host has them, a host bridge per root complex), numbered and addressed, the GPUs'
// functions below; from a report's facts, rendered apart.  Nothing here reads a file.
#pragma once

#include "status.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

// Every id of a layout carries it, clear of a guest's; in libvirt behind "ua-"
// (a user alias, kept through define and dumpxml), so a later merge knows it.
constexpr const char* LAYOUT_ID_PREFIX = "qvp2p-";
constexpr const char* USER_ALIAS = "ua-";

struct LayoutOptions {
    enum Form { Qemu, Libvirt } form = Qemu;
    std::vector<std::string> gpus;   // empty: every GPU no guest holds
    // Where numbering starts: past q35's devices and libvirt's own controllers.
    unsigned firstChassis = 64;  // chassis and slot numbers of the ports
    unsigned firstIndex = 64;    // libvirt controller indexes
    unsigned firstSlot = 0x10;   // slots on the guest's root bus
    unsigned firstBus = 128;     // bus number of the first expander bus
    // Empty root ports with room for the largest BAR0, for GPUs added later.
    unsigned hotplugPorts = 0;
    std::string domain;   // to merge into (a path, "-"); "" for a fragment
    // What such a domain already uses: chassis and port numbers, root slots,
    std::set<unsigned> takenChassis;
    std::set<unsigned> takenRootSlots;
    // the bus numbers [first, end) each of its expander buses needs.
    std::vector<std::pair<unsigned, unsigned>> takenBuses;
    unsigned rootBridges = 0;   // the bridges of the root bus's own tree
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

enum class LayoutKind { Expander, RootPort, Upstream, Downstream };

struct LayoutFunction {
    std::string bus;               // on the host
    unsigned number = 0;
    std::string id;
};

// A bridge of the guest's tree, and what hangs below it.
struct LayoutNode {
    LayoutKind kind = LayoutKind::RootPort;
    std::string key;               // the host port it stands for
    int parent = -1;               // -1: the guest's root bus
    std::vector<int> children;
    std::vector<LayoutFunction> functions;   // the host slot it carries
    std::optional<int> hostNode;   // the host NUMA node of its GPUs
    std::string complex;           // the host root complex (root bus) of its GPUs
    unsigned guestNode = 0;        // expanders with a host node

    std::string id;
    unsigned slot = 0, function = 0;
    bool multifunction = false;
    unsigned chassis = 0;          // root and downstream ports
    unsigned index = 0;            // its libvirt controller index
    unsigned busNr = 0;            // expanders: the bus number of their bus
    // A port for hot-plug: the prefetchable window firmware must reserve.
    uint64_t reserve = 0;
    bool reserveWide = false;
};

// The QEMU property that reserves a hot-plug port's window ("pref64-reserve").
std::string reserveProperty(const LayoutNode& port);

struct LayoutPlan {
    std::vector<LayoutNode> nodes;
    std::vector<int> roots;              // on the guest's root bus, in order
};

// False, with `out` saying why, when there is no plan; notes go to `out`
// too.  Beyond a report's facts: IOMMU groups (readGroups).
bool planLayout(const StatusReport& report, const LayoutOptions& options, Layout& out,
                LayoutPlan& plan);

// The slot of a host bus address ("0000:03:00"); a guest number as "0x10".
std::string slotOf(const std::string& bus);
std::string paddedHex(unsigned value, int digits);
