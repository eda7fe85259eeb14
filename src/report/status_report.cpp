#include "status_report.h"

#include "acs_ports.h"
#include "config_space.h"
#include "device_table.h"
#include "kernel_cmdline.h"
#include "pci_device.h"
#include "side.h"
#include "status_facts.h"
#include "status_json.h"
#include "status_layout.h"
#include "status_metrics.h"
#include "status_text.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <algorithm>
#include <iostream>
#include <unistd.h>

namespace {

// `text` on standard output, then `status`; a short write cannot run (the
// unit keeping the metrics' file then keeps the last whole one).
int printed(const std::string& text, int status)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return STATUS_CANNOT_RUN;
    return status;
}

const char* const STATUS_DESCRIPTION =
    "qvgpu-vm-p2p-status reports whether the GPUs of this host or guest are ready for "
    "peer-to-peer transfers, and what to fix when they are not. It only reads.";

int cannotRun(const std::string& why)
{
    std::fprintf(stderr, "%s\n", why.c_str());
    return STATUS_CANNOT_RUN;
}

// The layout alone on standard output; notes on standard error.
int printLayout(LayoutOptions options)
{
    // A domain that cannot be read is told before the host is looked at.
    Domain domain;
    if (!options.domain.empty()) {
        std::string error;
        if (!domain.read(options.domain, error) || !domain.servable(error))
            return cannotRun(error);
        domain.constrain(options);
    }
    StatusReport report = collectStatus();
    if (!report.machine.sideKnown || report.machine.guest)
        return cannotRun(report.machine.guest ? "This is a guest: lay it out on its host, "
                                                "which sees the host's tree."
                                              : "Whether this is a host or a guest cannot be "
                                                "told: lay a guest out on its host.");
    readGroups(report);
    // Without --gpus, the maker's GPUs of this host that the domain passes.
    if (!options.domain.empty() && options.gpus.empty())
        for (const std::string& bus : domain.hostdevBuses())
            if (std::any_of(report.gpus.begin(), report.gpus.end(),
                            [&](const GpuFacts& gpu) { return gpu.bus == bus; }))
                options.gpus.push_back(bus);
    const Layout layout = layOut(report, options, options.domain.empty() ? nullptr : &domain);
    // A refused layout's warnings would speak of a layout not printed.
    if (layout.outcome != Layout::Refused)
        for (const std::string& note : layout.notes)
            std::fprintf(stderr, "%s\n", note.c_str());
    if (layout.outcome != Layout::Laid) {
        std::fprintf(stderr, "%s\n", layout.error.c_str());
        return layout.outcome == Layout::NoGpu ? STATUS_NOT_READY : STATUS_CANNOT_RUN;
    }
    return printed(layout.text, 0);
}

// The maker's GPUs a domain passes through, as --gpus takes them (for libvirt's hook).
int printDomainGpus(const std::string& source)
{
    Domain domain;
    std::string error;
    if (!domain.read(source, error))
        return cannotRun(error);
    const std::vector<std::string> found = findMakerDevices();
    std::string line;
    for (const std::string& bus : domain.hostdevBuses())
        if (std::find(found.begin(), found.end(), bus) != found.end())
            line += (line.empty() ? "" : ",") + bus;
    return printed(line.empty() ? "" : line + "\n", 0);
}

// The kernel parameter that keeps ACS redirection off where --disable-acs writes.
int printKernelAcs()
{
    const SideFacts side = readSide();
    if (!side.known() || side.guest())
        return cannotRun(side.guest() ? "This is a guest: ACS is the host's to keep off."
                                      : "Whether this is a host or a guest cannot be told.");
    // The GPUs the tool finds: the maker's that answer (one in D3cold is not
    // read, which would wake it).
    std::set<std::string> gpus;
    for (const std::string& bus : findMakerDevices()) {
        const PciDevice device(bus);
        if (device.kernelPowerState() == KernelPower::D3cold || answers(device.config()))
            gpus.insert(bus);
    }
    std::vector<std::string> names;
    std::vector<std::vector<PciIdentity>> chains;
    for (const std::string& port : acsPortsAbove(gpus)) {
        const std::string name = kernelPathName(port);
        if (name.empty())
            continue;
        names.push_back(name);
        chains.push_back(kernelChain(port));
    }
    if (names.empty()) {
        std::fprintf(stderr, "No GPU sits below a PCIe switch here: no port needs ACS kept off.\n");
        return STATUS_NOT_READY;
    }
    const std::string line = acsRedirParameter(names, chains, readAcsRedirList());
    if (line.size() >= KERNEL_COMMAND_LINE_MAX)
        std::fprintf(stderr,
                     "Warning: this parameter is %zu bytes long; the kernel takes a command line "
                     "of at most %zu bytes, everything else on it included.\n",
                     line.size(), KERNEL_COMMAND_LINE_MAX - 1);
    return printed(line + "\n", 0);
}

// What the options ask.
struct StatusOptions {
    bool json = false;
    bool prometheus = false;
    bool fullMatrix = false;
    bool version = false;
    bool kernelAcs = false;
    std::string checkSide;
    std::string domainGpus;
    std::string layoutForm;
    LayoutOptions layout;
};

// An option that prints something other than the report excludes its options.
CLI::Option* apart(CLI::Option* option)
{
    return option->excludes("--json")->excludes("--prometheus")->excludes("--matrix")->excludes(
        "--check-side");
}

void addOptions(CLI::App& app, StatusOptions& o)
{
    CLI::Option* jsonFlag = app.add_flag("--json", o.json, "Print the report as one JSON document.");
    app.add_flag("--prometheus", o.prometheus,
                 "Print the report as Prometheus metrics (text format 0.0.4).")
        ->excludes(jsonFlag);
    app.add_flag("--matrix", o.fullMatrix,
                 "Print the matrix of every pair of GPUs, however many there are.");
    app.add_option("--check-side", o.checkSide,
                   "Only tell whether this machine is that side: exit 0 when it is, 1 when it "
                   "is not, 2 when that cannot be told. For the units' conditions.")
        ->check(CLI::IsMember({"host", "guest"}));
    CLI::Option* layoutOption = apart(
        app.add_option("--layout", o.layoutForm,
                       "Print the GPUs' place in a guest laid out like this host: switches where "
                       "the host has them, a host bridge per host root complex. As QEMU -device options "
                       "(qemu) or a libvirt <devices> fragment (libvirt).")
            ->check(CLI::IsMember({"qemu", "libvirt"})));
    app.add_option("--domain", o.layout.domain,
                   "With --layout=libvirt: the domain, as virsh dumpxml prints it, to print "
                   "whole with the layout merged in (- for standard input).")
        ->type_name("FILE")
        ->needs(layoutOption);
    app.add_option("--gpus", o.layout.gpus,
                   "The GPUs of one guest, by bus address (default: every GPU no guest holds).")
        ->delimiter(',')
        ->type_name("BUS[,BUS...]")
        ->needs(layoutOption);
    app.add_option("--hotplug-ports", o.layout.hotplugPorts,
                   "Add this many empty root ports, each with room for a GPU's BAR0, for GPUs added to the "
                   "running guest.")
        ->capture_default_str()
        ->check(CLI::Range(0u, 8u))
        ->needs(layoutOption);
    const struct {
        const char* name;
        unsigned* value;
        const char* help;
        unsigned low, high;
    } firsts[] = {
        {"--first-chassis", &o.layout.firstChassis,
         "The first chassis and slot number of the layout's ports.", 0, 255},
        {"--first-index", &o.layout.firstIndex,
         "The first index of the layout's libvirt controllers.", 1, 255},
        {"--first-slot", &o.layout.firstSlot,
         "The first slot the layout takes on the guest's root bus.", 1, 0x1e},
        {"--first-bus", &o.layout.firstBus,
         "The bus number of the layout's first expander bus.", 2, 255},
    };
    for (const auto& first : firsts)
        app.add_option(first.name, *first.value, first.help)
            ->capture_default_str()
            ->check(CLI::Range(first.low, first.high))
            ->needs(layoutOption);
    apart(app.add_flag("--kernel-acs", o.kernelAcs,
                       "Print the kernel parameter that keeps ACS redirection off, at every boot "
                       "and every restore, on the switch ports that qvgpu-vm-p2p --disable-acs "
                       "writes."))
        ->excludes(layoutOption);
    apart(app.add_option("--domain-gpus", o.domainGpus,
                         "Only print the GPUs that the libvirt domain in FILE (- for standard "
                         "input) passes through, as qvgpu-vm-p2p --gpus takes them."))
        ->type_name("FILE")
        ->excludes(layoutOption)
        ->excludes("--kernel-acs");
    app.add_flag("-v, --version", o.version, "Print version information.");
    app.set_help_flag("-h, --help", "Print this help message and exit.");
}

// The report itself, in the form asked.
int printReport(const StatusOptions& o)
{
    const StatusReport report = collectStatus();
    TextOptions text;
    const char* noColour = std::getenv("NO_COLOR");
    text.colour = ::isatty(1) == 1 && !(noColour && *noColour);
    text.fullMatrix = o.fullMatrix;
    const std::string out = o.prometheus ? renderMetrics(report)
                            : o.json     ? renderJson(report)
                                       : renderText(report, text);
    // The metrics carry the verdict themselves.
    return printed(out, o.prometheus || report.verdict.ready() ? STATUS_READY : STATUS_NOT_READY);
}

} // namespace

int statusMain(int argc, char** argv)
{
    StatusOptions o;
    CLI::App app{STATUS_DESCRIPTION, "qvgpu-vm-p2p-status"};
    addOptions(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, std::cout, std::cerr);
        return code == 0 ? 0 : STATUS_CANNOT_RUN;
    }
    if (o.version) {
        std::printf("Morvanti Tarsel GPU VM-P2P Status version: %s\n", QVGPU_VERSION);
        return 0;
    }
    if (geteuid() != 0) {
        std::fprintf(stderr, "Requires root privileges.\n");
        return STATUS_CANNOT_RUN;
    }
    if (!o.checkSide.empty()) {
        // The same test as the tool's, which the units ask before they run it.
        const SideFacts side = readSide(false);
        if (!side.known())
            return STATUS_CANNOT_RUN;
        return (o.checkSide == "guest") == side.guest() ? 0 : 1;
    }
    try {
        if (o.kernelAcs)
            return printKernelAcs();
        if (!o.domainGpus.empty())
            return printDomainGpus(o.domainGpus);
        if (!o.layoutForm.empty()) {
            o.layout.form = o.layoutForm == "libvirt" ? LayoutOptions::Libvirt : LayoutOptions::Qemu;
            if (!o.layout.domain.empty() && o.layout.form != LayoutOptions::Libvirt)
                return cannotRun("--domain needs --layout=libvirt");
            return printLayout(o.layout);
        }
        return printReport(o);
    } catch (const std::filesystem::filesystem_error& e) {
        std::fprintf(stderr, "Cannot open %s: %s\n", e.path1().c_str(), e.code().message().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error: unexpected failure\n");
    }
    return STATUS_CANNOT_RUN;
}
