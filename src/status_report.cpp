#include "status_report.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace {

const char* const STATUS_DESCRIPTION =
    "qvgpu-vm-p2p-status reports whether the GPUs of this host or guest are ready for "
    "peer-to-peer transfers, and what to fix when they are not. It only reads.";
const char* const STATUS_VERSION = "2.0.1";

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

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

std::string productText(const GpuFacts& gpu)
{
    if (!gpu.product.empty())
        return gpu.product;
    return gpu.productReason.empty() ? "unknown" : "unknown (" + gpu.productReason + ")";
}

std::string recordText(const GpuFacts& gpu, bool guest)
{
    switch (gpu.record) {
    case RecordState::NotRead: return "-";
    case RecordState::Valid:
        if (guest)
            return "valid: " + hex(gpu.recordBase);
        return gpu.recordBase == gpu.bar0Base ? "valid, current" : "stale: " + hex(gpu.recordBase);
    case RecordState::Absent: return "absent";
    case RecordState::OtherDevice: {
        char text[32];
        std::snprintf(text, sizeof text, "of device 0x%04x", gpu.recordDeviceId);
        return text;
    }
    case RecordState::Unreadable: return "unreadable: " + gpu.recordReason;
    }
    return "-";
}

const char* storeStateName(StoreState state)
{
    switch (state) {
    case StoreState::NotRead: return "-";
    case StoreState::Valid: return "valid";
    case StoreState::Missing: return "missing";
    case StoreState::Invalid: return "invalid";
    case StoreState::Disagrees: return "disagrees with memory";
    }
    return "-";
}

std::string storeText(const GpuFacts& gpu)
{
    if (gpu.store == StoreState::Valid)
        return "valid: " + hex(gpu.storeBase);
    return storeStateName(gpu.store);
}

const char* recordStateName(RecordState state)
{
    switch (state) {
    case RecordState::NotRead: return "not read";
    case RecordState::Valid: return "valid";
    case RecordState::Absent: return "absent";
    case RecordState::OtherDevice: return "other device";
    case RecordState::Unreadable: return "unreadable";
    }
    return "not read";
}

std::string gpuName(std::size_t index)
{
    return "GPU" + std::to_string(index);
}

// Rows of cells printed as columns two blanks apart, each line indented;
// the last column is not padded.
std::string table(const std::vector<std::vector<std::string>>& rows, const char* indent)
{
    std::vector<std::size_t> width;
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (width.size() <= c)
                width.push_back(0);
            width[c] = std::max(width[c], row[c].size());
        }
    std::string out;
    for (const auto& row : rows) {
        std::string line = indent;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string pathVerdict(const GpuFacts& gpu)
{
    if (!gpu.pathKnown)
        return "path unknown";
    if (!gpu.redirectingPort.empty())
        return "ACS redirects peer traffic at " + gpu.redirectingPort;
    return "no switch port redirects peer traffic";
}

std::string portText(const PortFacts& port)
{
    if (!port.configRead)
        return "configuration space unreadable";
    if (!port.hasAcs)
        return "no ACS";
    return "ACSCtl: " + decodeAcsCtl(port.acsCtl);
}

} // namespace

std::string renderText(const StatusReport& report, bool colour)
{
    const MachineFacts& m = report.machine;
    std::string out = "Machine\n";
    std::vector<std::vector<std::string>> machine = {
        {"side", m.guest ? "guest (\"hypervisor\" in /proc/cpuinfo)"
                         : "host (no \"hypervisor\" in /proc/cpuinfo)"},
        {"setpci", m.setpci ? "installed" : "not installed"},
        {"kernel lockdown", m.lockdown},
    };
    if (m.guest)
        machine.push_back({"GPU driver", m.driverLoaded ? "loaded" : "not loaded"});
    out += table(machine, "  ");

    out += "\nGPUs\n";
    std::vector<std::vector<std::string>> gpus;
    std::vector<std::string> head = {"GPU",  "BUS",  "ID",   "PRODUCT", "NUMA",
                                     "CPUS", "IOMMU", "BAR0", "SIZE"};
    if (m.guest)
        head.push_back("MINOR");
    head.push_back("RECORD");
    if (m.guest)
        head.push_back("STORE FILE");
    gpus.push_back(head);
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        const GpuFacts& g = report.gpus[i];
        const bool base = g.configRead && !g.offline;
        std::vector<std::string> row = {
            gpuName(i), g.bus, g.deviceId.empty() ? "?" : g.deviceId, productText(g), g.numaNode,
            g.localCpus, g.iommuGroup.empty() ? "-" : g.iommuGroup, base ? hex(g.bar0Base) : "?",
            sizeText(g.bar0Size)};
        if (m.guest)
            row.push_back(g.minor == "x" ? "-" : g.minor);
        row.push_back(g.offline ? "-" : recordText(g, m.guest));
        if (m.guest)
            row.push_back(storeText(g));
        gpus.push_back(row);
    }
    if (report.gpus.empty())
        out += "  none\n";
    else
        out += table(gpus, "  ");

    out += "\nPCI paths and ACS\n";
    std::vector<std::vector<std::string>> paths;
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        const GpuFacts& g = report.gpus[i];
        out += "  " + gpuName(i) + " " + g.bus + ": " + pathVerdict(g) + "\n";
        std::vector<std::vector<std::string>> rows;
        for (const std::string& bus : g.path) {
            const auto port = report.ports.find(bus);
            if (port == report.ports.end())
                continue;
            rows.push_back({bus, portTypeName(port->second.portType), portText(port->second)});
        }
        out += table(rows, "    ");
    }
    if (report.gpus.empty())
        out += "  none\n";

    if (!report.gpus.empty()) {
        out += "\nTopology\n";
        std::vector<std::vector<std::string>> matrix;
        std::vector<std::string> top = {""};
        for (std::size_t j = 0; j < report.gpus.size(); ++j)
            top.push_back(gpuName(j));
        matrix.push_back(top);
        for (std::size_t i = 0; i < report.gpus.size(); ++i) {
            std::vector<std::string> row = {gpuName(i)};
            for (const Link& link : report.links[i])
                row.push_back(std::string(linkName(link.kind)) + (link.redirected ? "*" : ""));
            matrix.push_back(row);
        }
        out += table(matrix, "  ");
        out += "\n"
               "  X    = the GPU itself\n"
               "  PIX  = through at most one PCIe switch\n"
               "  PXB  = through several PCIe switches, not the host bridge\n"
               "  PHB  = through a PCIe host bridge\n"
               "  NODE = across PCIe host bridges within a NUMA node\n"
               "  SYS  = across NUMA nodes\n"
               "  ?    = the PCI path of a GPU is unknown\n"
               "  *    = ACS on a switch downstream port sends the pair's traffic to the root "
               "complex\n";
    }

    const char* green = colour ? "\033[32m" : "";
    const char* red = colour ? "\033[31m" : "";
    const char* reset = colour ? "\033[0m" : "";
    if (report.ready()) {
        out += std::string("\nVerdict: ") + green + "ready" + reset + "\n";
        return out;
    }
    out += std::string("\nVerdict: ") + red + "not ready" + reset + "\n";
    for (std::size_t k = 0; k < report.fixes.size(); ++k) {
        out += "  " + std::to_string(k + 1) + ". " + report.fixes[k].problem + "\n";
        if (!report.fixes[k].command.empty())
            out += "     run: " + report.fixes[k].command + "\n";
    }
    return out;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            // Control characters, and bytes beyond ASCII (sysfs texts need
            // not be UTF-8), are escaped one by one.
            if (c < 0x20 || c >= 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

namespace {

std::string jsonBool(bool value)
{
    return value ? "true" : "false";
}

std::string jsonOrNull(bool present, const std::string& text)
{
    return present ? jsonString(text) : "null";
}

std::string jsonList(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? "," : "") + items[i];
    return out + "]";
}

std::string jsonObject(const std::vector<std::pair<const char*, std::string>>& fields)
{
    std::string out = "{";
    for (std::size_t i = 0; i < fields.size(); ++i)
        out += (i ? "," : "") + jsonString(fields[i].first) + ":" + fields[i].second;
    return out + "}";
}

std::string jsonGpu(const GpuFacts& g, std::size_t index, const StatusReport& report)
{
    const bool guest = report.machine.guest;
    const bool base = g.configRead && !g.offline;
    std::vector<std::string> path;
    for (const std::string& bus : g.path) {
        const auto found = report.ports.find(bus);
        if (found == report.ports.end())
            continue;
        const PortFacts& p = found->second;
        path.push_back(jsonObject({
            {"bus", jsonString(p.bus)},
            {"type", p.configRead ? jsonString(portTypeName(p.portType)) : "null"},
            {"acsCtl", p.configRead && p.hasAcs ? jsonString(decodeAcsCtl(p.acsCtl)) : "null"},
            {"acsCtlValue", p.configRead && p.hasAcs ? std::to_string(p.acsCtl) : "null"},
        }));
    }
    const bool validRecord = g.record == RecordState::Valid;
    const bool validStore = g.store == StoreState::Valid || g.store == StoreState::Disagrees;
    return jsonObject({
        {"index", std::to_string(index)},
        {"bus", jsonString(g.bus)},
        {"deviceId", jsonOrNull(!g.deviceId.empty(), g.deviceId)},
        {"handled", jsonBool(g.handled)},
        {"answers", jsonBool(g.configRead && !g.offline)},
        {"product", jsonOrNull(!g.product.empty(), g.product)},
        {"productReason", jsonOrNull(!g.productReason.empty(), g.productReason)},
        {"numaNode", jsonOrNull(g.numaNode != "x", g.numaNode)},
        {"localCpus", jsonOrNull(g.localCpus != "x", g.localCpus)},
        {"iommuGroup", jsonOrNull(!g.iommuGroup.empty(), g.iommuGroup)},
        {"bar0Base", jsonOrNull(base, hex(g.bar0Base))},
        {"bar0Size", g.bar0Size ? std::to_string(g.bar0Size) : "null"},
        {"minor", jsonOrNull(g.minor != "x", g.minor)},
        {"record", jsonObject({
            {"state", jsonString(recordStateName(g.record))},
            {"reason", jsonOrNull(g.record == RecordState::Unreadable, g.recordReason)},
            {"base", jsonOrNull(validRecord, hex(g.recordBase))},
            {"current", validRecord && !guest ? jsonBool(g.recordBase == g.bar0Base) : "null"},
            {"deviceId",
             g.record == RecordState::OtherDevice ? std::to_string(g.recordDeviceId) : "null"},
        })},
        {"storeFile", jsonObject({
            {"state", jsonString(g.store == StoreState::NotRead ? "not read"
                                                                : storeStateName(g.store))},
            {"base", jsonOrNull(validStore, hex(g.storeBase))},
        })},
        {"pathKnown", jsonBool(g.pathKnown)},
        {"rootBus", jsonOrNull(g.pathKnown, g.rootBus)},
        {"path", jsonList(path)},
        {"redirectedBy", jsonOrNull(!g.redirectingPort.empty(), g.redirectingPort)},
    });
}

} // namespace

std::string renderJson(const StatusReport& report)
{
    const MachineFacts& m = report.machine;
    std::vector<std::string> gpus, links, redirected, fixes;
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        gpus.push_back(jsonGpu(report.gpus[i], i, report));
        std::vector<std::string> names, marks;
        for (const Link& link : report.links[i]) {
            names.push_back(jsonString(linkName(link.kind)));
            marks.push_back(jsonBool(link.redirected));
        }
        links.push_back(jsonList(names));
        redirected.push_back(jsonList(marks));
    }
    for (const Fix& fix : report.fixes)
        fixes.push_back(jsonObject({{"problem", jsonString(fix.problem)},
                                    {"command", jsonOrNull(!fix.command.empty(), fix.command)}}));
    return jsonObject({
        {"side", jsonString(m.guest ? "guest" : "host")},
        {"machine", jsonObject({
            {"hypervisor", jsonBool(m.guest)},
            {"driverLoaded", jsonBool(m.driverLoaded)},
            {"setpci", jsonBool(m.setpci)},
            {"lockdown", jsonString(m.lockdown)},
        })},
        {"gpus", jsonList(gpus)},
        {"links", jsonList(links)},
        {"redirected", jsonList(redirected)},
        {"ready", jsonBool(report.ready())},
        {"fixes", jsonList(fixes)},
    }) + "\n";
}

int statusMain(int argc, char** argv)
{
    bool json = false;
    bool version = false;
    CLI::App app{STATUS_DESCRIPTION, "qvgpu-vm-p2p-status"};
    app.add_flag("--json", json, "Print the report as one JSON document.");
    app.add_flag("-v, --version", version, "Print version information.");
    app.set_help_flag("-h, --help", "Print this help message and exit.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, std::cout, std::cerr);
        return code == 0 ? 0 : STATUS_CANNOT_RUN;
    }
    if (version) {
        std::printf("Morvanti Tarsel GPU VM-P2P Status version: %s\n", STATUS_VERSION);
        return 0;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "Requires root privileges.\n");
        return STATUS_CANNOT_RUN;
    }
    try {
        const StatusReport report = collectStatus();
        const std::string text = json ? renderJson(report) : renderText(report, ::isatty(1) == 1);
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (std::fflush(stdout) != 0)
            return STATUS_CANNOT_RUN;
        return report.ready() ? STATUS_READY : STATUS_NOT_READY;
    } catch (const std::filesystem::filesystem_error& e) {
        std::fprintf(stderr, "Cannot open %s: %s\n", e.path1().c_str(), e.code().message().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error: unexpected failure\n");
    }
    return STATUS_CANNOT_RUN;
}
