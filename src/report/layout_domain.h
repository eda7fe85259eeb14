// A libvirt domain as `virsh dumpxml` prints it, with a layout merged in:
// what the domain already uses (controller indexes, chassis and port
// numbers, slots of the root bus, NUMA cells), so that the plan keeps
// clear of it; the GPUs it passes through;
// and the whole domain again with the plan's controllers and hostdevs.
// The domain is read once, from a regular file or standard input; nothing
// here writes.
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

    // Reads the domain from `source`, a path or "-" for standard input;
    // false, with `error` naming what is wrong, when it cannot be read, is
    // no XML, or is no domain.
    bool read(const std::string& source, std::string& error);
    // The same for a domain's text; `source` names it in errors.
    bool parse(const std::string& text, const std::string& source, std::string& error);
    // Whether a layout can serve it: a QEMU guest (kvm or qemu) of a q35
    // machine; false, with `error` naming what is wrong, when not.
    bool servable(std::string& error) const;
    // Makes the plan keep clear of what the domain uses: its controller
    // indexes continue after the domain's highest.
    void constrain(LayoutOptions& options) const;
    // The bus addresses its PCI hostdevs take from the host, in their order.
    std::vector<std::string> hostdevBuses() const;
    // The domain with `fragment` (the libvirt rendering of the plan)
    // merged in: a hostdev the domain has for a function the plan lays out
    // is replaced, keeping its children but <source>, <address> and
    // <driver>; every PCI hostdev gets <driver name='vfio'/>; an expander
    // bus whose guest NUMA node the domain does not define loses its
    // <node>, and `notes` says so.
    std::string merge(const std::string& fragment, std::vector<std::string>& notes) const;

private:
    struct Xml;
    std::unique_ptr<Xml> xml_;
    std::string source_;
};
