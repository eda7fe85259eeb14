// The status report as text within 100 columns: the PCI tree as `lspci -t` draws it,
// the links as a matrix up to 16 GPUs and in groups beyond, warnings, the verdict.
#include "status_text.h"

#include "wording.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <functional>
#include <set>

namespace {

const std::size_t WIDTH = 100;
// Beyond this many GPUs the matrix no longer fits: links come in groups.
const std::size_t MATRIX_GPUS = 16;

std::string sizeText(uint64_t size)
{
    if (size == 0)
        return "?";
    static const struct { uint64_t unit; const char* suffix; } UNITS[] = {
        {1ull << 40, "T"}, {1ull << 30, "G"}, {1ull << 20, "M"}, {1ull << 10, "K"}};
    for (const auto& u : UNITS)
        if (size % u.unit == 0)
            return std::to_string(size / u.unit) + u.suffix;
    return std::to_string(size);
}

// What is not known shows as "?".
std::string unknownOr(const std::optional<std::string>& text)
{
    return text ? *text : "?";
}

std::string numaText(const std::optional<int>& node)
{
    return node ? std::to_string(*node) : "?";
}

std::string gpuName(std::size_t index)
{
    return "GPU" + std::to_string(index);
}

// `text` on lines of at most WIDTH columns, the first after `first`, the rest after
// `rest`, broken after ", " or ": " where they can, between words where they must.
// Whatever is wrapped, and every table cell, is escaped: sysfs's texts may be anybody's.
std::string wrapped(const std::string& first, const std::string& rest, const std::string& raw)
{
    const std::string text = printable(raw);
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.size();
        for (const char* mark : {", ", ": "}) {
            const std::size_t at = text.find(mark, start);
            if (at != std::string::npos)
                end = std::min(end, at + 2);
        }
        pieces.push_back(text.substr(start, end - start));
        start = end;
    }
    std::string out, line = first;
    bool empty = true;
    auto put = [&](const std::string& piece) {
        // Blanks that end a piece do not count against the width.
        const std::size_t length = piece.find_last_not_of(' ') + 1;
        if (!empty && line.size() + length > WIDTH) {
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            out += line + "\n";
            line = rest;
        }
        line += piece;
        empty = false;
    };
    for (const std::string& piece : pieces) {
        if (rest.size() + piece.size() <= WIDTH + 1) {
            put(piece);
            continue;
        }
        for (std::size_t start = 0; start < piece.size();) {
            std::size_t end = piece.find(' ', start);
            end = end == std::string::npos ? piece.size() : end + 1;
            put(piece.substr(start, end - start));
            start = end;
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return out + line + "\n";
}

// Rows as indented columns two blanks apart; the last unpadded, wrapped.
std::string table(std::vector<std::vector<std::string>> rows, const char* indent)
{
    for (auto& row : rows)
        for (std::string& cell : row)
            cell = printable(cell);
    std::vector<std::size_t> width;
    for (const auto& row : rows)
        for (std::size_t c = 0; c + 1 < row.size(); ++c) {
            if (width.size() <= c)
                width.push_back(0);
            width[c] = std::max(width[c], row[c].size());
        }
    std::string out;
    for (const auto& row : rows) {
        std::string line = indent;
        for (std::size_t c = 0; c + 1 < row.size(); ++c)
            line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        // Wrapped under itself while that leaves room, else further left.
        const std::size_t under = line.size() <= WIDTH / 2 ? line.size() : std::strlen(indent) + 4;
        out += row.empty() ? line + "\n" : wrapped(line, std::string(under, ' '), row.back());
    }
    return out;
}

// GPU numbers as ranges: "GPU0-GPU3, GPU6".
std::string gpuRanges(const std::vector<std::size_t>& indexes)
{
    std::string text;
    for (std::size_t k = 0; k < indexes.size();) {
        std::size_t end = k;
        while (end + 1 < indexes.size() && indexes[end + 1] == indexes[end] + 1)
            ++end;
        text += (text.empty() ? "" : ", ") + gpuName(indexes[k]);
        if (end > k)
            text += (end == k + 1 ? ", " : "-") + gpuName(indexes[end]);
        k = end + 1;
    }
    return text;
}

std::string productText(const GpuFacts& gpu)
{
    if (!gpu.product.empty())
        return gpu.product;
    return gpu.productReason.empty() ? "unknown" : "unknown (" + gpu.productReason + ")";
}

std::string recordText(const GpuFacts& gpu, bool guest)
{
    if (gpu.record == RecordState::NotChecked) {
        const char* stored = gpu.bootStore == BootStore::Current ? "stored this boot, "
                             : gpu.bootStore == BootStore::Stale ? "stored this boot, stale, "
                                                                 : "not stored this boot, ";
        return stored + ("not checked: " + gpu.recordReason);
    }
    if (!gpu.configRead)
        return "not checked: " + gpu.configReason;
    switch (gpu.record) {
    case RecordState::NotChecked:
    case RecordState::NotRead: return "-";
    case RecordState::Valid:
        if (guest)
            return "valid: " + hex(gpu.recordBase);
        return gpu.recordBase == gpu.bar0Base ? "valid, current" : "stale: " + hex(gpu.recordBase);
    case RecordState::Absent: return "absent";
    case RecordState::OtherDevice: return "of device " + deviceIdText(gpu.recordDeviceId);
    case RecordState::Unreadable: return "unreadable: " + gpu.recordReason;
    }
    return "-";
}

std::string storeText(const GpuFacts& gpu)
{
    switch (gpu.store) {
    case StoreState::NotRead: return "-";
    case StoreState::Valid: return "valid: " + hex(gpu.storeBase);
    case StoreState::Missing: return "missing";
    case StoreState::Invalid: return "invalid: " + gpu.storeReason;
    case StoreState::Disagrees: return "disagrees with memory";
    }
    return "-";
}

std::string acsText(const PortFacts& port)
{
    if (port.acsUnknown())
        return "ACS unknown: " + port.unknownReason;
    if (port.acs == AcsState::Absent)
        return "no ACS";
    if (port.acs != AcsState::Present)
        return "";
    if (port.portType != PORT_DOWNSTREAM)
        return "ACS";
    return port.redirects() ? "ACS redirects peer traffic" : "ACS does not redirect";
}

// Host or guest, and what said so.
std::string sideText(const MachineFacts& m)
{
    std::string firmware;
    for (const std::string& signal : m.firmwareSignals)
        firmware += (firmware.empty() ? "firmware: " : ", ") + signal;
    if (!m.guest && m.xenDom0)
        return "host (Xen's control domain, dom0, whose CPUs show Xen's \"hypervisor\" flag)";
    if (!m.guest)
        return m.sideKnown ? "host (no \"hypervisor\" in /proc/cpuinfo, none named by the firmware)"
                           : "unknown (/proc/cpuinfo cannot be read, no hypervisor named by the "
                             "firmware): taken for a host";
    if (!m.cpuFlag)
        return "guest (" + firmware + "; the CPU hides the hypervisor flag)";
    return "guest (\"hypervisor\" in /proc/cpuinfo" + (firmware.empty() ? "" : "; " + firmware) +
           ")";
}

std::string machineSection(const StatusReport& report)
{
    const MachineFacts& m = report.machine;
    std::vector<std::vector<std::string>> rows = {
        {"side", sideText(m)},
        {"setpci", m.setpci ? "installed" : "not installed"},
        {"kernel lockdown", m.lockdown},
    };
    if (m.guest)
        rows.push_back({"GPU driver", m.driverLoaded ? "loaded" : "not loaded"});
    else
        rows.push_back({"IOMMU groups", m.iommu ? "yes" : "none (no IOMMU, or it is off): "
                                                          "isolation between guests not judged"});
    return "Machine\n" + table(rows, "  ");
}

std::string gpuSections(const StatusReport& report)
{
    const bool guest = report.machine.guest;
    std::vector<std::vector<std::string>> ids = {
        {"GPU", "BUS", "ID", "NUMA", "CPUS", "IOMMU", guest ? "DRIVER" : "DRIVER, USER",
         "PRODUCT"}};
    std::vector<std::vector<std::string>> memory = {
        guest ? std::vector<std::string>{"GPU", "BAR0", "SIZE", "MINOR", "STORE FILE", "RECORD"}
              : std::vector<std::string>{"GPU", "BAR0", "SIZE", "RECORD"}};
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        const GpuFacts& g = report.gpus[i];
        ids.push_back({gpuName(i), g.bus, unknownOr(g.deviceId), numaText(g.numaNode),
                       unknownOr(g.localCpus),
                       g.iommuGroup.empty() ? "-" : (g.noIommu ? "noiommu-" : "") + g.iommuGroup,
                       (g.driver.empty() ? "-" : g.driver) +
                           (g.inUse ? ", " + userText(g.user) : ""),
                       productText(g)});
        std::vector<std::string> row = {gpuName(i), g.configRead ? hex(g.bar0Base) : "?",
                                        sizeText(g.bar0Size)};
        if (guest) {
            row.push_back(g.minor ? std::to_string(*g.minor) : "-");
            row.push_back(storeText(g));
        }
        row.push_back(recordText(g, guest));
        memory.push_back(row);
    }
    if (report.gpus.empty())
        return "\nGPUs\n  none\n";
    return "\nGPUs\n" + table(ids, "  ") + (guest ? "\nDevice memory and store files\n"
                                                  : "\nDevice memory\n") +
           table(memory, "  ");
}

// The PCI paths above the GPUs as one tree, each device once, GPUs as leaves.
std::string treeSection(const StatusReport& report)
{
    std::map<std::string, std::set<std::string>> children;   // parent -> children
    std::set<std::string> roots;
    std::map<std::string, std::size_t> gpuIndex;
    std::vector<std::string> unknown;
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        const GpuFacts& g = report.gpus[i];
        gpuIndex[g.bus] = i;
        if (!g.path.known) {
            unknown.push_back(g.bus);
            continue;
        }
        roots.insert(g.path.rootBus);
        std::string parent = g.path.rootBus;
        for (const std::string& bus : g.path.ports) {
            children[parent].insert(bus);
            parent = bus;
        }
        children[parent].insert(g.bus);
    }
    std::string out = "\nPCI tree\n";
    std::function<void(const std::string&, const std::string&)> walk =
        [&](const std::string& parent, const std::string& indent) {
            const std::set<std::string>& kids = children[parent];
            for (auto it = kids.begin(); it != kids.end(); ++it) {
                const bool last = std::next(it) == kids.end();
                const std::string branch = indent + (last ? "\\-" : "+-");
                const std::string below = indent + (last ? "  " : "| ");
                const auto gpu = gpuIndex.find(*it);
                if (gpu != gpuIndex.end() && children.count(*it) == 0) {
                    const GpuFacts& g = report.gpus[gpu->second];
                    std::string text = *it + " " + gpuName(gpu->second);
                    if (g.link.known)
                        text += ", " + linkText(g.link);
                    out += wrapped(branch, below + "  ", text);
                    continue;
                }
                const PortFacts& port = report.ports.at(*it);
                std::string text = *it + " " +
                                   (port.typeKnown ? portTypeName(port.portType) : "?");
                if (port.link.known)
                    text += ", " + linkText(port.link);
                const std::string acs = acsText(port);
                if (!acs.empty())
                    text += ", " + acs;
                const std::string more = below + (children[*it].empty() ? "  " : "| ");
                out += wrapped(branch, more, text);
                if (port.acs == AcsState::Present && !port.acsUnknown())
                    out += more + "ACSCtl: " + decodeAcsCtl(port.acsCtl) + "\n";
                walk(*it, below);
            }
        };
    for (const std::string& root : roots) {
        out += "  " + root + "\n";
        walk(root, "  ");
    }
    if (!unknown.empty())
        out += wrapped("  path unknown: ", "    ", joined(unknown));
    if (report.gpus.empty())
        out += "  none\n";
    return out;
}

std::string cellOf(const Link& link)
{
    return std::string(linkName(link.kind)) + (link.redirected ? "*" : link.acsUnknown ? "?" : "");
}

const char* const LEGEND =
    "  X    = the GPU itself\n"
    "  PIX  = through one PCIe switch\n"
    "  PXB  = through several PCIe switches, not the host bridge\n"
    "  PHB  = through a PCIe host bridge\n"
    "  NODE = across PCIe host bridges within a NUMA node\n"
    "  SYS  = across NUMA nodes\n"
    "  ?    = the PCI path or the NUMA node of a GPU is unknown\n"
    "  *    = ACS on a switch downstream port sends the pair's traffic to the root complex\n"
    "  ?    after a kind: the ACS state of a switch downstream port on the way is unknown\n";

// `text` and blanks up to `width` columns, or one blank where it is as wide.
std::string padded(const std::string& text, std::size_t width)
{
    return text + std::string(text.size() < width ? width - text.size() : 1, ' ');
}

std::string matrix(const StatusReport& report)
{
    const std::size_t n = report.gpus.size();
    // Columns wide enough for the widest GPU number and the widest cell.
    const std::size_t digits = std::to_string(n ? n - 1 : 0).size();
    const std::size_t column = std::max<std::size_t>(5, digits + 1);
    const std::size_t label = std::max<std::size_t>(7, 2 + 3 + digits + 1);
    std::string out(label, ' ');
    for (std::size_t j = 0; j < n; ++j) {
        const std::string head = std::to_string(j);
        out += j + 1 < n ? padded(head, column) : head;
    }
    out += "\n";
    for (std::size_t i = 0; i < n; ++i) {
        std::string line = padded("  " + gpuName(i), label);
        for (std::size_t j = 0; j < n; ++j) {
            const std::string cell = cellOf(report.links[i][j]);
            line += j + 1 < n ? padded(cell, column) : cell;
        }
        out += line + "\n";
    }
    return out;
}

// Beyond 16 GPUs: GPUs by switch and host bridge, bridges by node, pairs marked.
std::string groups(const StatusReport& report)
{
    std::map<std::string, std::vector<std::size_t>> bySwitch, byBridge;
    std::map<std::string, std::set<std::string>> byNode;
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        const GpuFacts& g = report.gpus[i];
        if (!g.path.known)
            continue;
        byBridge[g.path.rootBus].push_back(i);
        byNode[numaText(g.numaNode)].insert(g.path.rootBus);
        for (const std::string& bus : g.path.ports) {
            const PortFacts& port = report.ports.at(bus);
            if (port.portType == PORT_UPSTREAM)
                bySwitch[bus].push_back(i);
        }
    }
    // Marked pairs, by the switch in which they turn.
    std::map<std::string, std::vector<std::string>> redirected, unknown;
    std::map<std::string, std::size_t> turning;
    for (std::size_t i = 0; i < report.gpus.size(); ++i)
        for (std::size_t j = i + 1; j < report.gpus.size(); ++j) {
            const Link& link = report.links[i][j];
            if (link.turnSwitch.empty())
                continue;
            ++turning[link.turnSwitch];
            if (link.redirected || link.acsUnknown)
                (link.redirected ? redirected : unknown)[link.turnSwitch].push_back(
                    gpuName(i) + "/" + gpuName(j));
        }
    std::string out = "  GPUs below each switch (PIX, or PXB through switches below it):\n";
    for (const auto& [bus, gpus] : bySwitch)
        out += wrapped("    " + bus + ": ", "      ", gpuRanges(gpus));
    out += "  GPUs below each host bridge (PHB where no switch joins them):\n";
    for (const auto& [bus, gpus] : byBridge)
        out += wrapped("    " + bus + ": ", "      ", gpuRanges(gpus));
    out += "  host bridges of each NUMA node (NODE; SYS across nodes):\n";
    for (const auto& [node, bridges] : byNode)
        out += wrapped("    node " + node + ": ", "      ",
                       joined({bridges.begin(), bridges.end()}));
    for (const auto* marked : {&redirected, &unknown}) {
        if (marked->empty())
            continue;
        out += marked == &redirected
                   ? "  pairs whose traffic ACS sends to the root complex (*), by switch:\n"
                   : "  pairs with a switch port of unknown ACS state on the way (?), by switch:\n";
        for (const auto& [bus, pairs] : *marked) {
            const bool all = pairs.size() > 1 && pairs.size() == turning[bus];
            out += wrapped("    " + bus + ": ", "      ",
                           all ? "all " + std::to_string(pairs.size()) + " pairs of " +
                                     gpuRanges(bySwitch[bus])
                               : joined(pairs));
        }
    }
    return out;
}

std::string linkSection(const StatusReport& report, bool fullMatrix)
{
    if (report.gpus.empty())
        return "";
    std::string out = "\nTopology\n";
    if (report.machine.guest)
        out += "  (this guest's virtual PCI topology, not the host's)\n";
    if (report.gpus.size() <= MATRIX_GPUS || fullMatrix)
        return out + matrix(report) + "\n" + LEGEND;
    return out + "  " + std::to_string(report.gpus.size()) +
           " GPUs, in groups (--matrix shows every pair):\n" + groups(report) + "\n" + LEGEND;
}

} // namespace

std::string renderText(const StatusReport& report, const TextOptions& options)
{
    std::string out = machineSection(report) + gpuSections(report) + treeSection(report) +
                      linkSection(report, options.fullMatrix);

    if (!report.verdict.warnings.empty()) {
        out += "\nWarnings\n";
        for (const std::string& warning : report.verdict.warnings)
            out += wrapped("  - ", "    ", warning);
    }
    const char* green = options.colour ? "\033[32m" : "";
    const char* red = options.colour ? "\033[31m" : "";
    const char* reset = options.colour ? "\033[0m" : "";
    std::string notChecked;
    for (const auto& [why, text] :
         {std::pair{Unchecked::InUse, " in use by guests: records not checked here (each guest's "
                                      "own report checks them)"},
          std::pair{Unchecked::IdleUnderVfio, " asleep under vfio-pci with no guest: records not "
                                              "checked (vfio-pci wakes them when a guest starts)"},
          std::pair{Unchecked::HolderUnseen, " whose holders cannot be seen: records not checked"},
          std::pair{Unchecked::HeldByProcess, " held by processes under VFIO's no-IOMMU mode: records "
                                              "not checked"}}) {
        std::size_t count = 0;
        for (const GpuFacts& g : report.gpus)
            count += g.record == RecordState::NotChecked && g.unchecked == why;
        if (count)
            notChecked += "  " + std::to_string(count) + (count == 1 ? " GPU" : " GPUs") + text + "\n";
    }
    if (report.verdict.ready())
        return out + "\nVerdict: " + green + "ready" + reset + "\n" + notChecked;
    out += std::string("\nVerdict: ") + red + "not ready" + reset + "\n" + notChecked;
    for (std::size_t k = 0; k < report.verdict.fixes.size(); ++k) {
        const Fix& fix = report.verdict.fixes[k];
        const std::string number = "  " + std::to_string(k + 1) + ". ";
        const std::string under(number.size(), ' '), more(number.size() + 2, ' ');
        for (std::size_t p = 0; p < fix.problems.size(); ++p)
            out += wrapped(p == 0 ? number : under, more, fix.problems[p]);
        for (const std::string& advice : fix.advice)
            out += wrapped(under, more, advice);
        if (!fix.command.empty())
            out += wrapped(under, more,
                           "run" + (fix.where.empty() ? "" : " " + fix.where) + ": " + fix.command);
    }
    return out;
}
