// A libvirt domain as `virsh dumpxml` prints it, read once (a regular file
// or standard input): what it already uses, which the plan keeps clear of;
// the GPUs it passes through; and the whole domain again with the plan's
// controllers and hostdevs.  Nothing here writes.
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

    // From a path or "-" for standard input, or from its text (`source`
    // names it); false, `error` saying what is wrong, when it cannot be read,
    // is no XML or no domain.
    bool read(const std::string& source, std::string& error);
    bool parse(const std::string& text, const std::string& source, std::string& error);
    // A QEMU guest (kvm or qemu) of a q35 machine; else false, with `error`.
    bool servable(std::string& error) const;
    // The plan keeps clear of what the domain uses, its controller indexes
    // after the domain's highest.
    void constrain(LayoutOptions& options) const;
    std::vector<std::string> hostdevBuses() const;   // in their order
    // The domain with the plan's libvirt rendering merged in: a hostdev for
    // a function laid out is replaced, keeping its children but <source>,
    // <address> and <driver>; every PCI hostdev gets <driver name='vfio'/>;
    // an expander bus whose guest NUMA node the domain does not define loses
    // its <node>, and `notes` says so.
    std::string merge(const std::string& fragment, std::vector<std::string>& notes) const;

private:
    struct Xml;
    std::unique_ptr<Xml> xml_;
    std::string source_;
};
