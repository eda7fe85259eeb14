// The report as Prometheus metrics: the same facts and the same verdict as
// the text and the JSON, in the text exposition format (version 0.0.4) that
// node_exporter's textfile collector reads.
#include "status_metrics.h"

namespace {

// A label value as the format wants it: backslash, double quote and line
// feed escaped.  Texts from sysfs first lose every byte that is not
// printable ASCII (as "\xNN"), so the file is always valid UTF-8.
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
    // Starts a family; every family is a gauge here.
    void family(const char* name, const char* help)
    {
        name_ = name;
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
    }
    void sample(uint64_t value) { out_ += name_ + " " + std::to_string(value) + "\n"; }
    // One sample with the labels given as name, value pairs.
    void sample(std::initializer_list<std::pair<const char*, std::string>> labels, uint64_t value)
    {
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
    std::string name_;
    std::string out_;
};

} // namespace

std::string renderMetrics(const StatusReport& report)
{
    const bool guest = report.machine.guest;
    std::size_t problems = 0;
    for (const Fix& fix : report.fixes)
        problems += fix.problems.size();

    Exposition m;
    m.family("qvgpu_vm_p2p_ready",
             "Whether peer-to-peer transfers between the GPUs will work (1) or not (0).");
    m.sample(report.ready() ? 1 : 0);
    m.family("qvgpu_vm_p2p_problems", "Things to fix before peer-to-peer transfers work.");
    m.sample(problems);
    m.family("qvgpu_vm_p2p_warnings", "Things worth knowing that do not stop peer-to-peer transfers.");
    m.sample(report.warnings.size());

    m.family("qvgpu_vm_p2p_gpu_info", "A GPU of the maker, always 1: its device ID, product and side.");
    for (const GpuFacts& g : report.gpus)
        m.sample({{"bus", g.bus},
                  {"device_id", g.deviceId},
                  {"product", g.product},
                  {"side", guest ? "guest" : "host"}},
                 1);

    // A record that could not be read is no fact either way: no sample.
    m.family("qvgpu_vm_p2p_gpu_record_valid",
             guest ? "Whether the GPU's device memory holds a valid record (1) or not (0)."
                   : "Whether the GPU's device memory holds a valid record of its current BAR0 "
                     "base (1) or not (0).");
    for (const GpuFacts& g : report.gpus) {
        if (g.record == RecordState::NotRead || g.record == RecordState::Unreadable)
            continue;
        const bool valid = g.record == RecordState::Valid && (guest || g.recordBase == g.bar0Base);
        m.sample({{"bus", g.bus}}, valid ? 1 : 0);
    }

    if (guest) {
        m.family("qvgpu_vm_p2p_gpu_store_valid",
                 "Whether the GPU's store file is valid and agrees with its record (1) or not (0).");
        for (const GpuFacts& g : report.gpus)
            if (g.store != StoreState::NotRead)
                m.sample({{"bus", g.bus}}, g.store == StoreState::Valid ? 1 : 0);
        m.family("qvgpu_vm_p2p_gpu_driver_configured",
                 "Whether the GPU driver has been given the GPUs' addresses since it took up the "
                 "GPU (1) or not (0).");
        for (const GpuFacts& g : report.gpus)
            if (g.driverConfig != DriverConfig::NotRead)
                m.sample({{"bus", g.bus}}, g.driverConfig == DriverConfig::Configured ? 1 : 0);
    } else {
        // Where holders could not be seen, a GPU not seen held is no fact.
        m.family("qvgpu_vm_p2p_gpu_in_use", "Whether a guest holds the GPU (1) or not (0).");
        for (const GpuFacts& g : report.gpus)
            if (g.inUse || report.machine.holdersJudged())
                m.sample({{"bus", g.bus}}, g.inUse ? 1 : 0);
    }

    m.family("qvgpu_vm_p2p_port_acs_redirect",
             "Whether a switch downstream port above a GPU sends peer requests or completions up "
             "to the root complex (1) or not (0).");
    for (const auto& [bus, port] : report.ports)
        if (port.portType == PORT_DOWNSTREAM && port.acs != AcsState::Unknown)
            m.sample({{"port", bus}}, port.redirects() ? 1 : 0);

    if (!guest) {
        m.family("qvgpu_vm_p2p_gpu_link_width", "Lanes of the GPU's PCI Express link now.");
        for (const GpuFacts& g : report.gpus)
            if (g.link.known)
                m.sample({{"bus", g.bus}}, g.link.width);
        m.family("qvgpu_vm_p2p_gpu_link_width_max",
                 "Lanes the GPU's PCI Express link can have: the smaller of its two ends' "
                 "maximum widths.");
        for (const GpuFacts& g : report.gpus)
            if (g.link.known && g.fullWidth)
                m.sample({{"bus", g.bus}}, g.fullWidth);
    }

    // Judged only on a host with IOMMU groups whose holders were all seen.
    m.family("qvgpu_vm_p2p_isolation_breaches",
             "Pairs of GPUs held by different guests that can reach each other's memory.");
    if (!guest && report.machine.iommu && report.machine.holdersJudged())
        m.sample(report.isolationBreaches.size());

    std::string signals;
    for (const std::string& signal : report.machine.firmwareSignals)
        signals += (signals.empty() ? "" : ", ") + signal;
    m.family("qvgpu_vm_p2p_build_info",
             "The report's version and the side it found, with what the firmware says of a "
             "virtual machine; always 1.");
    // Labels in the order node_exporter serves them.
    m.sample({{"cpu_flag", report.machine.cpuFlag ? "1" : "0"},
              {"firmware_signals", signals},
              {"side", guest ? "guest" : "host"},
              {"version", QVGPU_VERSION}},
             1);
    return m.text();
}
