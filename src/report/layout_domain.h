// A libvirt domain as `virsh dumpxml` prints it, read once: what it uses (the plan
// keeps clear of it), its GPUs, and the whole domain with the plan merged in.
#pragma once

#include "layout_plan.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

class Domain {
public:
    Domain();
    ~Domain();
    Domain(const Domain&) = delete;
    Domain& operator=(const Domain&) = delete;

    // From a path or "-" (standard input), or from its text (`source` names
    // it); false, `error` saying why, when unreadable, no XML or no domain.
    bool read(const std::string& source, std::string& error);
    bool parse(const std::string& text, const std::string& source, std::string& error);
    // A QEMU guest (kvm or qemu) of a q35 machine; else false, with `error`.
    bool servable(std::string& error) const;
    // The plan keeps clear of what the domain uses, indexes after its highest.
    void constrain(LayoutOptions& options) const;
    std::vector<std::string> hostdevBuses() const;   // in their order
    // The domain with the plan's libvirt rendering merged in: a hostdev laid
    // out is replaced, keeping its children but <source>, <address> and
    // <driver>; every PCI hostdev gets <driver name='vfio'/>; an expander on
    // a guest NUMA node the domain does not define loses its <node>, said.
    std::string merge(const std::string& fragment, std::vector<std::string>& notes) const;

private:
    struct Xml;
    std::unique_ptr<Xml> xml_;
    std::string source_;
};
