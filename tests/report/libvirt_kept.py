#!/usr/bin/env python3
"""What libvirt's own QEMU driver keeps of a merged domain, against the layout.

Usage: libvirt_kept.py MERGED KEPT ARGV QEMU_LAYOUT

MERGED is the domain the report printed, KEPT what `virsh dumpxml` gives back
after `virsh define` of it, ARGV what `virsh domxml-to-native qemu-argv`
makes of KEPT, and QEMU_LAYOUT the report's --layout=qemu for the same GPUs.
Prints one line per difference, nothing when libvirt kept the layout.
"""
import json
import shlex
import sys
import xml.etree.ElementTree as ET


def number(text):
    return int(text, 0) if text is not None else None


def source(hostdev):
    a = hostdev.find("source/address")
    return "%04x:%02x:%02x.%x" % tuple(number(a.get(k)) for k in ("domain", "bus", "slot", "function"))


def place(element):
    a = element.find("address")
    if a is None:
        return None
    return tuple(number(a.get(k)) for k in ("bus", "slot", "function"))


def controllers(domain):
    return {int(c.get("index")): c for c in domain.iter("controller") if c.get("type") == "pci"}


def hostdevs(domain):
    return {source(h): h for h in domain.iter("hostdev") if h.get("type") == "pci"}


def target(controller):
    t = controller.find("target")
    if t is None:
        return {}
    return {k: number(v) for k, v in t.attrib.items()}


def device_options(argv_text):
    """Each -device of an argument list, as a dict, whether JSON or key=value."""
    words = shlex.split(argv_text)
    out = []
    for i, word in enumerate(words[:-1]):
        if word != "-device":
            continue
        value = words[i + 1]
        if value.startswith("{"):
            out.append({k: str(v) for k, v in json.loads(value).items()})
        else:
            driver, *rest = value.split(",")
            d = {"driver": driver}
            for part in rest:
                key, _, v = part.partition("=")
                d[key] = v
            out.append(d)
    return out


def chains(devices):
    """Per host GPU function: its way up to the root bus, as (driver, slot, function, numbers).

    A guest NUMA node is left out: a domain without the cell has none."""
    by_id = {d.get("id"): d for d in devices}
    result = {}
    for d in devices:
        if d["driver"] != "vfio-pci":
            continue
        chain, at = [], d
        while at is not None:
            addr = at.get("addr", "0x0").split(".")
            numbers = tuple(at.get(k) for k in ("chassis", "bus_nr") if at.get(k) is not None)
            chain.append((at["driver"], int(addr[0], 16), int(addr[1], 16) if len(addr) > 1 else 0,
                          tuple(int(n, 0) for n in numbers)))
            at = by_id.get(at.get("bus"))
        result[d["host"]] = chain
    return result


DRIVERS = {"pcie-root-port": "pcie-root-port", "pcie-switch-upstream-port": "x3130-upstream",
           "pcie-switch-downstream-port": "xio3130-downstream", "pcie-expander-bus": "pxb-pcie"}


def domain_chains(domain):
    """The same chains, as a domain's controllers and hostdevs draw them."""
    by_index = controllers(domain)
    result = {}
    for bus, h in hostdevs(domain).items():
        parent, slot, function = place(h)
        chain = [("vfio-pci", slot, function, ())]
        while parent:
            c = by_index[parent]
            t = target(c)
            numbers = tuple(n for n in (t.get("chassis"), t.get("busNr")) if n is not None)
            parent, slot, function = place(c)
            chain.append((DRIVERS.get(c.get("model"), c.get("model")), slot, function, numbers))
        result[bus] = chain
    return result


def slots_without_function_0(domain):
    """A guest's kernel passes by a slot that has functions but no function 0.

    q35's host bridge (00.0) and ISA bridge (1f.0) stand in no domain."""
    functions = {(0, 0): {0}, (0, 0x1f): {0}}
    for element in domain.find("devices"):
        a = element.find("address")
        if a is not None and a.get("type") == "pci":
            bus, slot, function = place(element)
            functions.setdefault((bus, slot), set()).add(function)
    return ["bus %d slot %d has functions %s but no function 0" % (bus, slot, sorted(f))
            for (bus, slot), f in sorted(functions.items()) if 0 not in f]


def crossed_bus_ranges(domain):
    """Each expander bus owns the bus numbers from its busNr up to the next
    one's, the root bus those below the lowest; each needs one for itself
    and one for each bridge of its tree, as firmware numbers them."""
    by_index = controllers(domain)
    first = {i: target(c)["busNr"] for i, c in by_index.items()
             if c.get("model") == "pcie-expander-bus" and "busNr" in target(c)}
    first[0] = 0
    need = {i: 1 for i in first}
    for i, c in by_index.items():
        if i in first:
            continue
        at = place(c)[0]
        while at not in first:
            at = place(by_index[at])[0]
        need[at] += 1
    starts = sorted(first.values()) + [256]
    return ["bus %d's tree needs %d bus numbers, and bus %d is next" % (b, need[i], starts[starts.index(b) + 1])
            for i, b in first.items() if b + need[i] > starts[starts.index(b) + 1]]


def main():
    merged, kept = (ET.parse(p).getroot() for p in sys.argv[1:3])
    with open(sys.argv[3]) as f:
        argv = f.read()
    with open(sys.argv[4]) as f:
        layout = f.read()
    problems = []
    root_ports = lambda d: sum(1 for c in controllers(d).values() if c.get("model") == "pcie-root-port")
    if root_ports(kept) != root_ports(merged):
        problems.append("libvirt added %d root ports of its own" % (root_ports(kept) - root_ports(merged)))
    # QEMU refuses a second port in a chassis ("Can't add chassis slot").
    chassis = [target(c).get("chassis") for c in controllers(kept).values()
               if c.get("model") in ("pcie-root-port", "pcie-switch-downstream-port")]
    if len(chassis) != len(set(chassis)):
        problems.append("chassis numbers taken twice: %s" % sorted(chassis))
    kept_controllers = controllers(kept)
    for index, c in controllers(merged).items():
        k = kept_controllers.get(index)
        if k is None or k.get("model") != c.get("model"):
            problems.append("controller %d is not kept as %s" % (index, c.get("model")))
            continue
        if place(c) is not None and place(k) != place(c):
            problems.append("controller %d moved from %s to %s" % (index, place(c), place(k)))
        for key, value in target(c).items():
            if target(k).get(key) != value:
                problems.append("controller %d: %s %s, not %s" % (index, key, target(k).get(key), value))
    every = [h for h in merged.iter("hostdev") if h.get("type") == "pci"]
    if len(every) != len(hostdevs(merged)):
        problems.append("a function is passed through twice")
    kept_hostdevs = hostdevs(kept)
    for bus, h in hostdevs(merged).items():
        k = kept_hostdevs.get(bus)
        if k is None:
            problems.append("hostdev %s is gone" % bus)
        elif place(k) != place(h):
            problems.append("hostdev %s moved from %s to %s" % (bus, place(h), place(k)))
    # QEMU gets the merged domain's tree, numbers and all; and that tree is
    # the layout's, whatever numbers the domain left it.
    argv_chains = chains(device_options(argv))
    for bus, chain in domain_chains(merged).items():
        if argv_chains.get(bus) != chain:
            problems.append("%s: QEMU gets %s, the domain says %s" % (bus, argv_chains.get(bus), chain))
    shape = lambda chains_: {bus: [step[:3] for step in c] for bus, c in chains_.items()}
    layout_shape = shape(chains(device_options(layout.replace("\n", " "))))
    argv_shape = shape(argv_chains)
    for bus, chain in layout_shape.items():
        if argv_shape.get(bus) != chain:
            problems.append("%s: QEMU's tree is %s, the layout's %s" % (bus, argv_shape.get(bus), chain))
    problems += slots_without_function_0(kept) + crossed_bus_ranges(kept)
    print("\n".join(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
