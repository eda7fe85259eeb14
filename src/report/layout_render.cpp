#include "layout_render.h"

namespace {

std::string busOf(const LayoutPlan& plan, int parent)
{
    return parent < 0 ? "pcie.0" : plan.nodes[parent].id;
}

std::string qemuAddress(unsigned slot, unsigned function, bool multifunction)
{
    std::string text = ",addr=" + paddedHex(slot, 1);
    if (function)
        text += "." + paddedHex(function, 1);
    return text + (multifunction ? ",multifunction=on" : "");
}

void renderQemu(const LayoutPlan& plan, int n, std::string& text)
{
    static const char* const DEVICES[] = {"pxb-pcie", "pcie-root-port", "x3130-upstream",
                                          "xio3130-downstream"};
    const LayoutNode& node = plan.nodes[n];
    text += std::string("-device ") + DEVICES[static_cast<int>(node.kind)] + ",id=" + node.id;
    if (node.kind == LayoutKind::Expander)
        text += ",bus_nr=" + std::to_string(node.busNr) +
                (node.hostNode ? ",numa_node=" + std::to_string(node.guestNode) : "");
    else if (node.kind != LayoutKind::Upstream)
        text += ",chassis=" + std::to_string(node.chassis) + ",slot=" +
                std::to_string(node.chassis);
    // Only a hot-plug root port reserves a window.
    text += ",bus=" + busOf(plan, node.parent) +
            qemuAddress(node.slot, node.function, node.multifunction) +
            (node.reserve ? "," + reserveProperty(node) : "") + "\n";
    for (std::size_t i = 0; i < node.functions.size(); ++i) {
        const LayoutFunction& f = node.functions[i];
        const bool more = f.number == 0 && node.functions.size() > 1;
        text += "-device vfio-pci,host=" + f.bus + ",id=" + f.id + ",bus=" + node.id +
                qemuAddress(0, f.number, more) + "\n";
    }
    for (int child : node.children)
        renderQemu(plan, child, text);
}

std::string libvirtAddress(unsigned bus, unsigned slot, unsigned function, bool multifunction)
{
    return "<address type='pci' domain='0x0000' bus='" + paddedHex(bus, 2) + "' slot='" + paddedHex(slot, 2) +
           "' function='" + paddedHex(function, 1) + "'" + (multifunction ? " multifunction='on'" : "") +
           "/>";
}

void renderLibvirt(const LayoutPlan& plan, int n, std::string& text)
{
    static const char* const MODELS[] = {"pcie-expander-bus", "pcie-root-port",
                                         "pcie-switch-upstream-port",
                                         "pcie-switch-downstream-port"};
    const LayoutNode& node = plan.nodes[n];
    const unsigned parentIndex = node.parent < 0 ? 0 : plan.nodes[node.parent].index;
    text += "  <controller type='pci' index='" + std::to_string(node.index) + "' model='" +
            MODELS[static_cast<int>(node.kind)] + "'>\n";
    if (node.kind == LayoutKind::Expander && node.hostNode)
        text += "    <target busNr='" + std::to_string(node.busNr) + "'>\n      <node>" +
                std::to_string(node.guestNode) + "</node>\n    </target>\n";
    else if (node.kind == LayoutKind::Expander)
        text += "    <target busNr='" + std::to_string(node.busNr) + "'/>\n";
    else if (node.kind != LayoutKind::Upstream)
        text += "    <target chassis='" + std::to_string(node.chassis) + "' port='" +
                paddedHex(node.chassis, 2) + "'/>\n";
    text += "    <alias name='" + std::string(USER_ALIAS) + node.id + "'/>\n    " +
            libvirtAddress(parentIndex, node.slot, node.function, node.multifunction) +
            "\n  </controller>\n";
    for (const LayoutFunction& f : node.functions) {
        const std::string slot = slotOf(f.bus);
        const auto colon = slot.rfind(':');
        const auto domainEnd = slot.find(':');
        text += "  <hostdev mode='subsystem' type='pci' managed='yes'>\n"
                "    <source>\n"
                "      <address domain='0x" + slot.substr(0, domainEnd) + "' bus='0x" +
                slot.substr(domainEnd + 1, colon - domainEnd - 1) + "' slot='0x" +
                slot.substr(colon + 1) + "' function='" + paddedHex(f.number, 1) + "'/>\n"
                "    </source>\n"
                "    " + libvirtAddress(node.index, 0, f.number,
                                        f.number == 0 && node.functions.size() > 1) +
                "\n  </hostdev>\n";
    }
    for (int child : node.children)
        renderLibvirt(plan, child, text);
}

} // namespace

std::string renderLayout(const LayoutPlan& plan, LayoutOptions::Form form)
{
    std::string text;
    if (form == LayoutOptions::Qemu) {
        for (int n : plan.roots)
            renderQemu(plan, n, text);
        return text;
    }
    text = "<devices>\n";
    for (int n : plan.roots)
        renderLibvirt(plan, n, text);
    return text + "</devices>\n";
}
