// A libvirt domain as anyone may hand it to --domain: read, constrained
// and merged with a layout, whatever its bytes; the result is a domain
// whose every PCI hostdev has its VFIO driver.
#include "layout_domain.h"

#include <cstdint>
#include <cstdlib>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace {

const char* const FRAGMENT =
    "<devices>\n"
    "  <controller type='pci' index='64' model='pcie-expander-bus'>\n"
    "    <target busNr='65'>\n      <node>1</node>\n    </target>\n"
    "    <address type='pci' domain='0x0000' bus='0x00' slot='0x10' function='0x0'/>\n"
    "  </controller>\n"
    "  <hostdev mode='subsystem' type='pci' managed='yes'>\n"
    "    <source>\n      <address domain='0x0000' bus='0x03' slot='0x00' function='0x0'/>\n"
    "    </source>\n"
    "    <address type='pci' domain='0x0000' bus='0x41' slot='0x00' function='0x0'/>\n"
    "  </hostdev>\n"
    "</devices>\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Domain domain;
    std::string error;
    if (!domain.parse(std::string(reinterpret_cast<const char*>(data), size), "fuzz", error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    LayoutOptions options;
    domain.constrain(options);
    if (options.firstIndex == 0)
        std::abort();
    domain.hostdevBuses();
    std::vector<std::string> notes;
    const std::string merged = domain.merge(FRAGMENT, notes);
    pugi::xml_document back;
    if (!back.load_string(merged.c_str()) || std::string(back.document_element().name()) != "domain")
        std::abort();
    for (const pugi::xml_node& node : back.document_element().child("devices").children("hostdev"))
        if (std::string(node.attribute("type").value()) == "pci" &&
            std::string(node.attribute("mode").value()) == "subsystem" && !node.child("driver"))
            std::abort();
    return 0;
}
