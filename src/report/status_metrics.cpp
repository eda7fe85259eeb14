// The report as Prometheus metrics, as node_exporter's textfile collector reads them.
#include "status_metrics.h"

#include <optional>

namespace {

// A label value: backslash and double quote escaped, and every byte that is
// not printable ASCII as "\xNN" (so no line feed, and always valid UTF-8).
std::string labelValue(const std::string& text)
{
    std::string out;
    for (const char c : printable(text)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

class Exposition {
public:
    // Starts a gauge family, whose HELP and TYPE come with its first sample:
    // a family of nothing judged is not there at all.
    void family(const char* name, const char* help)
    {
        name_ = name;
        help_ = help;
        started_ = false;
    }
    void sample(uint64_t value)
    {
        start();
        out_ += name_ + " " + std::to_string(value) + "\n";
    }
    // Labels as name, value pairs, by name as node_exporter serves them.
    void sample(std::initializer_list<std::pair<const char*, std::string>> labels, uint64_t value)
    {
        start();
        out_ += name_ + "{";
        const char* comma = "";
        for (const auto& [label, text] : labels) {
            out_ += std::string(comma) + label + "=\"" + labelValue(text) + "\"";
            comma = ",";
        }
        out_ += "} " + std::to_string(value) + "\n";
    }
    const std::string& text() const { return out_; }

private:
    void start()
    {
        if (!started_)
            out_ += "# HELP " + name_ + " " + help_ + "\n# TYPE " + name_ + " gauge\n";
        started_ = true;
    }
    std::string name_, help_;
    bool started_ = false;
    std::string out_;
};

using Value = std::optional<uint64_t>;

// A sample for each GPU that `value` gives one for, labelled by its address.
template <class Of> void perGpu(Exposition& m, const StatusReport& report, const char* name,
                                const char* help, Of value)
{
    m.family(name, help);
    for (const GpuFacts& g : report.gpus)
        if (const Value v = value(g))
            m.sample({{"pci_address", g.bus}}, *v);
}

Value flag(bool known, bool set)
{
    return known ? Value(set ? 1 : 0) : std::nullopt;
}

// The machine and the verdict.
void verdictFamilies(Exposition& m, const StatusReport& report)
{
    const MachineFacts& machine = report.machine;
    // Bounded labels only: the signals' own texts stay in the text and JSON.
    m.family("qvgpu_vm_p2p_build_info",
             "The report's version, the side it found and the kind of signal that decided it; "
             "always 1.");
    m.sample({{"cpu_flag", machine.cpuFlag ? "1" : "0"},
              {"side", machine.guest ? "guest" : "host"},
              {"side_signal", machine.sideSignal},
              {"version", QVGPU_VERSION}},
             1);

    m.family("qvgpu_vm_p2p_ready",
             "Whether peer-to-peer transfers between the GPUs will work (1) or not (0).");
    m.sample(report.verdict.ready() ? 1 : 0);

    // Every kind, 0 included: the sum is the text's count of problems.
    uint64_t problems[PROBLEM_KINDS] = {};
    for (const Fix& fix : report.verdict.fixes)
        for (const ProblemKind kind : fix.kinds)
            ++problems[static_cast<std::size_t>(kind)];
    m.family("qvgpu_vm_p2p_problems",
             "Things to fix before peer-to-peer transfers work, by kind.");
    for (const auto& row : PROBLEM_KIND_TABLE)
        m.sample({{"kind", row.name}}, problems[static_cast<std::size_t>(row.kind)]);
    uint64_t warnings[WARNING_KINDS] = {};
    for (const WarningKind kind : report.verdict.warningKinds)
        ++warnings[static_cast<std::size_t>(kind)];
    m.family("qvgpu_vm_p2p_warnings",
             "Things worth knowing that do not stop peer-to-peer transfers, by kind.");
    for (const auto& row : WARNING_KIND_TABLE)
        m.sample({{"kind", row.name}}, warnings[static_cast<std::size_t>(row.kind)]);

    // 0 included: a GPU gone from the bus shows as a lower count.
    m.family("qvgpu_vm_p2p_gpus", "GPUs of the maker on the machine.");
    m.sample(report.gpus.size());
}

// What each GPU is, and what it holds.
void gpuFamilies(Exposition& m, const StatusReport& report)
{
    const bool guest = report.machine.guest;
    // Labels that hold still whoever holds the GPU: all from sysfs.
    m.family("qvgpu_vm_p2p_gpu_info", "A GPU of the maker, always 1: its device ID and side.");
    for (const GpuFacts& g : report.gpus)
        m.sample({{"device_id", g.deviceId.value_or("")},
                  {"pci_address", g.bus},
                  {"side", guest ? "guest" : "host"}},
                 1);
    // The product needs registers the report leaves alone while the GPU is
    // held: a series of its own, else from this boot's store, none unknown.
    m.family("qvgpu_vm_p2p_gpu_product_info",
             "A GPU's product, always 1; no sample while it is not known.");
    for (const GpuFacts& g : report.gpus) {
        const std::string& product = g.product.empty() ? g.bootStoreProduct : g.product;
        if (!product.empty())
            m.sample({{"pci_address", g.bus}, {"product", product}}, 1);
    }
    // A record not read, or not checked, is no fact either way: no sample.
    perGpu(m, report, "qvgpu_vm_p2p_gpu_record_valid",
           "Whether the GPU's device memory holds a valid record (1) or not (0); on a host, "
           "a record of the GPU's current BAR0 base.",
           [&](const GpuFacts& g) {
               return flag(g.record != RecordState::NotRead &&
                               g.record != RecordState::Unreadable &&
                               g.record != RecordState::NotChecked,
                           g.record == RecordState::Valid && (guest || g.recordBase == g.bar0Base));
           });
    perGpu(m, report, "qvgpu_vm_p2p_gpu_store_valid",
           "In a guest: whether the GPU's store file is valid and agrees with its record (1) or "
           "not (0).",
           [](const GpuFacts& g) {
               return flag(g.store != StoreState::NotRead, g.store == StoreState::Valid);
           });
    perGpu(m, report, "qvgpu_vm_p2p_gpu_driver_configured",
           "In a guest: whether the GPU driver has been given the GPUs' addresses since it took "
           "up the GPU (1) or not (0).",
           [](const GpuFacts& g) {
               return flag(g.driverConfig != DriverConfig::NotRead,
                           g.driverConfig == DriverConfig::Configured);
           });
    perGpu(m, report, "qvgpu_vm_p2p_gpu_noiommu",
           "Whether the GPU's VFIO group is one of the no-IOMMU mode, which isolates nothing "
           "(1), or an IOMMU group (0).",
           [](const GpuFacts& g) { return flag(!g.iommuGroup.empty(), g.noIommu); });
    // Open by a process unseen: in use; maybe held by one: no fact.
    perGpu(m, report, "qvgpu_vm_p2p_gpu_in_use",
           "On a host: whether a guest holds the GPU (1) or not (0).", [&](const GpuFacts& g) {
               return flag(!guest && g.holder != Holder::Undecided,
                           g.inUse || g.holder == Holder::Unseen);
           });
}

// The links and the switches above the GPUs, and isolation.
void pathFamilies(Exposition& m, const StatusReport& report)
{
    const bool host = !report.machine.guest;
    m.family("qvgpu_vm_p2p_port_acs_redirect",
             "Whether a switch downstream port above a GPU keeps peer traffic from crossing the "
             "switch (1) or not (0).");
    for (const auto& [bus, port] : report.ports)
        if (port.portType == PORT_DOWNSTREAM && port.acs != AcsState::Unknown)
            m.sample({{"pci_address", bus}}, port.redirects() ? 1 : 0);
    // A value of a host's known link, where it is not 0 (not known either).
    auto linked = [&](uint64_t value, bool known) {
        return host && known && value ? Value(value) : std::nullopt;
    };
    perGpu(m, report, "qvgpu_vm_p2p_gpu_link_width",
           "On a host: lanes of the GPU's PCI Express link now.",
           [&](const GpuFacts& g) {
               return host && g.link.known ? Value(g.link.width) : std::nullopt;
           });
    perGpu(m, report, "qvgpu_vm_p2p_gpu_link_width_max",
           "On a host: lanes the GPU's PCI Express link can have, the smaller of its two "
           "ends' maximum widths.",
           [&](const GpuFacts& g) { return linked(g.fullWidth, g.link.known); });
    perGpu(m, report, "qvgpu_vm_p2p_gpu_link_transfers_per_second",
           "On a host: speed of the GPU's PCI Express link now, in transfers per second.",
           [&](const GpuFacts& g) {
               return linked(linkTransfersPerSecond(g.link.speed), g.link.known);
           });
    perGpu(m, report, "qvgpu_vm_p2p_gpu_link_transfers_per_second_max",
           "On a host: speed the GPU's PCI Express link can have, the smaller of its two "
           "ends' maximum speeds, in transfers per second.",
           [&](const GpuFacts& g) {
               return linked(linkTransfersPerSecond(g.fullSpeed), g.link.known);
           });
    perGpu(m, report, "qvgpu_vm_p2p_gpu_link_capability_transfers_per_second",
           "On a host: speed the GPU itself can run its PCI Express link at, in transfers "
           "per second.",
           [&](const GpuFacts& g) {
               return linked(linkTransfersPerSecond(g.link.maxSpeed), g.link.known);
           });

    // Judged only on a host with IOMMU groups whose holders were all seen.
    m.family("qvgpu_vm_p2p_isolation_breaches",
             "Pairs of GPUs held by different guests that can reach each other's memory.");
    if (host && report.machine.iommu && report.machine.holdersJudged())
        m.sample(report.verdict.isolationBreaches.size());
}

} // namespace

std::string renderMetrics(const StatusReport& report)
{
    Exposition m;
    verdictFamilies(m, report);
    gpuFamilies(m, report);
    pathFamilies(m, report);
    return m.text();
}
