#include "pci_tree.h"

const char* linkName(LinkKind kind)
{
    static const char* const NAMES[] = {"X", "PIX", "PXB", "PHB", "NODE", "SYS", "?"};
    static_assert(sizeof NAMES / sizeof NAMES[0] == static_cast<int>(LinkKind::Unknown) + 1);
    return NAMES[static_cast<int>(kind)];
}

Link linkBetween(const GpuPlace& a, const GpuPlace& b,
                 const std::map<std::string, PortFacts>& ports)
{
    Link link;
    if (a.bus == b.bus)
        link.kind = LinkKind::Self;
    if (a.bus == b.bus || !a.path->known || !b.path->known)
        return link;
    if (a.path->rootBus != b.path->rootBus) {
        if (a.numaNode && b.numaNode)
            link.kind = *a.numaNode == *b.numaNode ? LinkKind::NODE : LinkKind::SYS;
        return link;
    }
    const std::vector<std::string>& pa = a.path->ports;
    const std::vector<std::string>& pb = b.path->ports;
    std::size_t shared = 0;
    while (shared < pa.size() && shared < pb.size() && pa[shared] == pb[shared])
        ++shared;
    auto facts = [&](const std::string& bus) -> const PortFacts* {
        const auto port = ports.find(bus);
        return port == ports.end() ? nullptr : &port->second;
    };
    // Traffic turns in a switch only where the paths last meet at an upstream
    // port; anything else they share (a root port, a VMD) means the host bridge.
    const PortFacts* lowest = shared ? facts(pa[shared - 1]) : nullptr;
    if (shared && (!lowest || !lowest->typeKnown))
        return link;
    if (!lowest || lowest->portType != PORT_UPSTREAM || shared == pa.size() ||
        shared == pb.size()) {
        link.kind = LinkKind::PHB;
        return link;
    }
    // The switch it turns in, and every switch below it on either side.
    int switches = 1;
    for (const auto* path : {&pa, &pb})
        for (std::size_t i = shared; i < path->size(); ++i) {
            const PortFacts* port = facts((*path)[i]);
            if (!port || !port->typeKnown)
                return link;
            if (port->portType == PORT_UPSTREAM)
                ++switches;
        }
    link.kind = switches == 1 ? LinkKind::PIX : LinkKind::PXB;
    // Only the turning switch's downstream ports can send the traffic up.
    link.turnSwitch = pa[shared - 1];
    link.turnA = pa[shared];
    link.turnB = pb[shared];
    for (const std::string& turn : {link.turnA, link.turnB}) {
        const PortFacts* port = facts(turn);
        link.redirected = link.redirected || port->redirects();
        link.acsUnknown = link.acsUnknown || port->acsUnknown();
    }
    return link;
}
