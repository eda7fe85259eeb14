// The benchmark: what each mode costs on big simulated machines, as whole
// processes, against the external commands it must start.  Writes the
// table to BENCHMARKS.md (or the file given with --out).
#include "driver.h"
#include "files.h"
#include "machine.h"
#include "passthrough.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int OTHER_DEVICES = 300;

struct Options {
    std::vector<int> sizes{8, 16, 64};
    int repeats = 9;
    std::string out = "BENCHMARKS.md";
};

// The machine of one size: GPUs behind switches of 8 at most, and devices of
// other vendors on a root bus of their own.
sim::Topology bigHost(int gpus)
{
    const int perSwitch = std::min(gpus, 8);
    sim::Topology t = sim::switchedHost(gpus / perSwitch, perSwitch,
                                        {0x0001, 0x0002, 0x0210, 0x0003});
    // Each GPU in an IOMMU group of its own, as on a host with an IOMMU: the
    // report then looks for the processes holding them.
    // The first half of the switches on NUMA node 0, the rest on node 1: a
    // layout then puts each half below an expander bus.
    int group = 100;
    const std::vector<std::string> all = t.gpus();
    for (const std::string& gpu : all) {
        t.find(gpu)->iommuGroup = group;
        t.find(gpu)->numaNode = (group - 100) / perSwitch < gpus / perSwitch / 2 ? 0 : 1;
        ++group;
    }
    char bdf[32];
    for (int i = 0; i < OTHER_DEVICES; ++i) {
        std::snprintf(bdf, sizeof bdf, "0001:%02x:%02x.0", 0x10 + i / 30, i % 30);
        t.add(sim::makeOther(bdf, i % 2 ? 0x15b3 : 0x8086, static_cast<uint16_t>(0x1000 + i)));
    }
    return t;
}

struct Mode {
    std::string name;
    bool guest;
    std::vector<std::string> args;
};

const std::vector<Mode> MODES = {
    {"discovery alone", true, {"--disable-acs"}},
    {"--disable-acs", false, {"--disable-acs"}},
    {"--store-data", false, {"--store-data"}},
    {"--save-data", true, {"--save-data"}},
    {"--config-address", true, {"--config-address"}},
};

struct Counts {
    int setpci = 0;
    int shell = 0;
    int other = 0;
    std::vector<std::string> commands;   // what each shell was asked to run
};

std::string unquote(const std::string& s)
{
    // strace prints C strings: "..." with backslash escapes.
    std::string out;
    for (std::size_t i = 1; i + 1 < s.size(); ++i) {
        if (s[i] == '\\' && i + 2 < s.size()) {
            const char c = s[++i];
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The processes a run started, from strace's record of its execve calls.
Counts countProcesses(const sim::Machine& m, const std::vector<std::string>& args,
                      sim::RunOptions o = {})
{
    const std::string trace = m.sysPath("../strace.out");
    o.wrapper = {"/usr/bin/strace", "-f", "-qq", "-s", "4096", "-e", "trace=execve", "-o", trace};
    m.run(args, o);
    Counts c;
    std::istringstream in(sim::readFile(trace));
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (line.find("execve(") == std::string::npos || line.find(") = 0") == std::string::npos)
            continue;
        if (first) {   // the tool itself
            first = false;
            continue;
        }
        const auto open = line.find("execve(\"") + 8;
        const std::string started = line.substr(open, line.find('"', open) - open);
        const std::string base = started.substr(started.rfind('/') + 1);
        if (base == "setpci")
            ++c.setpci;
        else if (base == "sh" || base == "dash" || base == "bash") {
            ++c.shell;
            // ["sh", "-c", "command"]
            const auto third = line.find("\"-c\", ");
            if (third != std::string::npos) {
                const auto start = third + 6;
                std::size_t end = start + 1;
                while (end < line.size() && !(line[end] == '"' && line[end - 1] != '\\'))
                    ++end;
                c.commands.push_back(unquote(line.substr(start, end - start + 1)));
            }
        } else
            ++c.other;
    }
    return c;
}

struct Sample {
    std::vector<double> ms;
    double median() const
    {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }
    double min() const { return *std::min_element(ms.begin(), ms.end()); }
    double max() const { return *std::max_element(ms.begin(), ms.end()); }
};

template <typename Run>
double timeOnce(Run run)
{
    const auto t0 = Clock::now();
    run();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Runs the tool once; the CPU time of its own process (not of the commands
// it starts), read from the scheduler once it has ended and before it is
// reaped, in milliseconds.
// The tool looks through every process on a host whose GPUs have IOMMU
// groups, for a guest holding one: here through the whole system's, as on a
// busy host, and as the tool's own process, whose time and memory are read.
sim::RunOptions toolRun()
{
    sim::RunOptions o;
    o.ownProcesses = false;
    return o;
}

double runForOwnCpu(const sim::Machine& m, const std::vector<std::string>& args)
{
    sim::Process p = m.start(args, toolRun());
    siginfo_t info{};
    double cpu = 0;
    if (::waitid(P_PID, static_cast<id_t>(p.pid()), &info, WEXITED | WNOWAIT) == 0) {
        std::ifstream in("/proc/" + std::to_string(p.pid()) + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns)
            cpu = ns / 1e6;
    }
    p.finish();
    return cpu;
}

struct Timing {
    Sample tool;
    Sample floor;
    Sample ownCpu;
};

// Times the tool and its floor in turns, so that whatever else the machine
// does weighs on both alike.
template <typename Floor>
Timing timeInTurns(int repeats, const sim::Machine& m, const std::vector<std::string>& args,
                   Floor floor)
{
    Timing t;
    m.run(args, toolRun());   // warm the caches once
    floor();
    for (int i = 0; i < repeats; ++i) {
        double cpu = 0;
        t.tool.ms.push_back(timeOnce([&] { cpu = runForOwnCpu(m, args); }));
        t.ownCpu.ms.push_back(cpu);
        t.floor.ms.push_back(timeOnce(floor));
    }
    return t;
}

std::string shellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The peak resident set of the tool's own process, read from /proc while it
// runs (VmHWM never goes down, so the last reading is its peak).
long peakRssKb(const sim::Machine& m, const std::vector<std::string>& args,
               const sim::RunOptions& o = {})
{
    sim::Process p = m.start(args, o);
    const std::string status = "/proc/" + std::to_string(p.pid()) + "/status";
    long peak = 0;
    bool execed = false;
    for (;;) {
        std::ifstream in(status);
        std::string line, name;
        long hwm = -1;
        while (std::getline(in, line)) {
            if (line.compare(0, 5, "Name:") == 0)
                name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.compare(0, 6, "VmHWM:") == 0)
                hwm = std::atol(line.c_str() + 6);
        }
        // Either program ("qvgpu-vm-p2p-status" is cut to 15 characters).
        if (name.compare(0, 12, "qvgpu-vm-p2p") == 0)
            execed = true;
        // Gone, or a zombie without memory (whatever it ran as: a wrapper
        // that never became one of our programs ends the wait too).
        if (hwm < 0 && (execed || !name.empty()))
            break;
        if (execed)
            peak = std::max(peak, hwm);
        if (!in.good() && name.empty())
            break;
        // Keep reading its output meanwhile (no text holds a NUL): a report
        // larger than a pipe's buffer would otherwise stop it for ever.
        p.waitForOutput(std::string(1, '\0'), 1);
    }
    p.finish();
    return peak;
}

// The status report on one side of one machine.
struct StatusRow {
    int gpus;
    bool guest;
    std::string args;             // the options, or what else the host runs
    Sample wall;
    int processes;
    long rssKb;
    double configBytes;           // configuration space read, per device read
};

// The bytes a run read of configuration spaces, per device whose space it
// read, from strace's record of its reads (each descriptor shown with its
// path): in a guest every 4 bytes of it is an access that traps.
double configBytesPerDevice(const sim::Machine& m, const std::vector<std::string>& args,
                            sim::RunOptions o)
{
    const std::string trace = m.sysPath("../strace-reads.out");
    o.wrapper = {"/usr/bin/strace", "-f", "-qq", "-y", "-e", "trace=read,pread64", "-o", trace};
    m.run(args, o);
    std::istringstream in(sim::readFile(trace));
    std::string line;
    std::set<std::string> devices;
    long bytes = 0;
    while (std::getline(in, line)) {
        const auto end = line.find("/config>");
        const auto result = line.rfind(") = ");
        if (end == std::string::npos || result == std::string::npos)
            continue;
        const auto start = line.find('<');
        devices.insert(line.substr(start + 1, end - start));
        bytes += std::atol(line.c_str() + result + 4);
    }
    return devices.empty() ? 0 : static_cast<double>(bytes) / static_cast<double>(devices.size());
}

StatusRow timeStatus(int gpus, int repeats, const sim::Machine& m, const std::vector<std::string>& args)
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    o.ownProcesses = false;
    StatusRow row{gpus, m.side() == sim::Side::Guest, args.empty() ? "" : args[0], {}, 0, 0, 0};
    const Counts c = countProcesses(m, args, o);
    row.configBytes = configBytesPerDevice(m, args, o);
    row.processes = c.setpci + c.shell + c.other;
    m.run(args, o);   // warm the caches once
    for (int i = 0; i < repeats; ++i)
        row.wall.ms.push_back(timeOnce([&] { m.run(args, o); }));
    for (int i = 0; i < 3; ++i)
        row.rssKb = std::max(row.rssKb, peakRssKb(m, args, o));
    return row;
}

// Processes that only exist, as on a busy host, each with the standard
// descriptors and ten more: the report looks through every process's
// descriptors for the GPUs' VFIO files.  Killed on destruction.
const int DESCRIPTORS = 10;

class Crowd {
public:
    explicit Crowd(int count)
    {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                for (int fd = 3; fd < 1024; ++fd)
                    ::close(fd);
                for (int fd = 0; fd < DESCRIPTORS; ++fd)
                    (void)!::open("/dev/null", O_RDONLY);
                for (;;)
                    ::pause();
            }
            if (pid > 0)
                pids_.push_back(pid);
        }
    }
    ~Crowd()
    {
        for (const pid_t pid : pids_)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : pids_)
            ::waitpid(pid, nullptr, 0);
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;
    std::size_t size() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

const int CROWD = 3000;

struct Row {
    int gpus;
    std::string mode;
    Sample tool;
    Sample floor;
    Sample ownCpu;
    Counts counts;
    int mandatedSetpci;
    long rssKb;
};

int answeringGpus(const sim::Topology& t)
{
    int n = 0;
    for (const auto& bdf : t.gpus())
        n += !t.find(bdf)->offline;
    return n;
}

// Probes and writes that ACS disabling must make: one probe per device on
// the paths from the root ports to the GPUs, one write per switch
// downstream port among them.
std::pair<int, int> acsCommands(const sim::Topology& t)
{
    int probes = 0, writes = 0;
    std::function<bool(const sim::Device&)> walk = [&](const sim::Device& d) -> bool {
        bool leadsToGpu = d.isGpu && d.vendor == sim::QV_VENDOR;
        for (const auto& c : d.children)
            leadsToGpu = walk(c) || leadsToGpu;
        if (leadsToGpu) {
            ++probes;
            writes += d.type == sim::PortType::SwitchDownstream;
        }
        return leadsToGpu;
    };
    for (const auto& r : t.roots())
        walk(r);
    return {probes, writes};
}

std::string machineDescription()
{
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.compare(0, 10, "model name") == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    ::uname(&u);
    char text[512];
    std::snprintf(text, sizeof text, "%s, %ld cores, Linux %s", model.c_str(),
                  ::sysconf(_SC_NPROCESSORS_ONLN), u.release);
    return text;
}

void write(const Options& options, const std::vector<Row>& rows,
           const std::vector<StatusRow>& statusRows)
{
    std::ostringstream md;
    char line[1024];
    const std::time_t now = std::time(nullptr);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
    md << "# Benchmarks\n\n"
       << "Measured " << date << " on " << machineDescription() << ", with `scripts/bench.sh`.\n\n"
       << "Each mode ran as a whole process on a simulated machine with the given number of "
          "GPUs behind PCIe switches (at most 8 per switch) and " << OTHER_DEVICES
       << " devices of other vendors: " << options.repeats
       << " timed runs after one warm-up; the median and the range (min to max) are shown. "
          "*Floor* is the same external commands, run alone the way the tool starts them "
          "(`sh -c COMMAND` each), in the same simulated machine; *overhead* is the tool's "
          "median beyond the floor's. *Processes* counts the programs the run started "
          "(from `strace -f -e execve`), beside those the tool must start: four `setpci` per GPU "
          "in discovery, one probe per device on the paths to the GPUs and one write per switch "
          "downstream port for ACS, each started through `sh -c`; the host-or-guest check reads "
          "`/proc/cpuinfo` itself. *Peak RSS* is the tool's own process (VmHWM).\n\n"
          "*Discovery alone* is `--disable-acs` in a guest: discovery, then the refusal.\n\n";
    md << "| GPUs | mode | wall ms, median (range) | floor ms | overhead (wall) | own CPU ms "
          "(of floor) | setpci (must) | sh | other | peak RSS |\n"
       << "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const Row& r : rows) {
        const double overhead = r.tool.median() - r.floor.median();
        std::snprintf(line, sizeof line,
                      "| %d | %s | %.1f (%.1f–%.1f) | %.1f | %+.1f ms (%+.1f%%) | %.1f (%.1f%%) "
                      "| %d (%d) | %d | %d | %.1f MiB |\n",
                      r.gpus, r.mode.c_str(), r.tool.median(), r.tool.min(), r.tool.max(),
                      r.floor.median(), overhead,
                      r.floor.median() > 0 ? 100.0 * overhead / r.floor.median() : 0.0,
                      r.ownCpu.median(),
                      r.floor.median() > 0 ? 100.0 * r.ownCpu.median() / r.floor.median() : 0.0,
                      r.counts.setpci, r.mandatedSetpci, r.counts.shell, r.counts.other, r.rssKb / 1024.0);
        md << line;
    }

    // The driver commands: configuration beyond discovery.
    md << "\n## The driver commands\n\n"
          "`--config-address` writes N×N commands (N GPUs) straight into the driver's "
          "attributes, after the same discovery as every mode, and starts no process for "
          "them. Their cost is the tool's own CPU time beyond that of discovery alone (the wall "
          "times of the two differ by less than their scatter). The driver stand-in's attribute "
          "is a FUSE file, so that each write(2) arrives on its own as a sysfs store does: "
          "every command is a round trip through the kernel to a server in the benchmark's "
          "process, which the tool's CPU time includes and a sysfs attribute does not cost.\n\n"
          "| GPUs | commands | ms |\n|---:|---:|---:|\n";
    std::map<int, double> discovery, config;
    for (const Row& r : rows) {
        if (r.mode == "discovery alone")
            discovery[r.gpus] = r.ownCpu.median();
        if (r.mode == "--config-address")
            config[r.gpus] = r.ownCpu.median();
    }
    for (const auto& [gpus, ms] : config) {
        std::snprintf(line, sizeof line, "| %d | %d | %.1f |\n", gpus, gpus * gpus,
                      ms - discovery[gpus]);
        md << line;
    }

    // The goals, judged on the largest machine.
    const int largest = *std::max_element(options.sizes.begin(), options.sizes.end());
    bool extraProcesses = false, rssOk = true;
    double worstCpuShare = 0, worstWallShare = -1e9;
    for (const Row& r : rows) {
        extraProcesses = extraProcesses || r.counts.setpci != r.mandatedSetpci ||
                         r.counts.other != 0;
        rssOk = rssOk && r.rssKb < 8 * 1024;
        // --config-address adds the driver commands, round trips to the
        // FUSE stand-in here: they have a goal of their own.
        if (r.gpus == largest && r.floor.median() > 0 && r.mode != "--config-address") {
            worstCpuShare = std::max(worstCpuShare, 100.0 * r.ownCpu.median() / r.floor.median());
            worstWallShare = std::max(worstWallShare,
                                      100.0 * (r.tool.median() - r.floor.median()) / r.floor.median());
        }
    }
    const double commandsMs = config.count(largest) ? config[largest] - discovery[largest] : 0;
    md << "\n## Goals\n\n";
    std::snprintf(line, sizeof line,
                  "- No process beyond those required, at any size: %s.\n"
                  "- The tool's own overhead at %d GPUs, in every mode but --config-address (whose "
                  "driver commands have the goal below): at most %.1f%% of the floor in CPU time "
                  "(at most %+.1f%% in wall time, within the scatter): %s.\n"
                  "- The %d driver commands at %d GPUs: %.1f ms: %s.\n"
                  "- Peak RSS under 8 MiB in every mode at every size: %s.\n",
                  extraProcesses ? "missed" : "met", largest, worstCpuShare, worstWallShare,
                  worstCpuShare < 10 ? "met" : "missed", largest * largest, largest, commandsMs,
                  commandsMs < 50 ? "met" : "missed", rssOk ? "met" : "missed");
    md << line;

    // The status report.
    md << "\n## The status report\n\n`qvgpu-vm-p2p-status` on the same machines: on the host "
          "after `--store-data`, in the guest after `--save-data` with the driver loaded; "
          "whole processes, median and range of the wall time, the processes it started "
          "(it must start none), its peak RSS, and the bytes of configuration space it read "
          "per device whose space it read (from `strace -y -e read,pread64`; in a guest each "
          "4 bytes is an access that traps to the hypervisor; a whole space, as every device "
          "was read until 2026-12-09, is 4096):\n\n"
          "| GPUs | side | options | wall ms, median (range) | processes | peak RSS | config bytes a device |\n"
          "|---:|---|---|---:|---:|---:|---:|\n";
    bool statusFast = true, statusAlone = true;
    double plain = 0, crowded = 0;
    for (const StatusRow& r : statusRows) {
        if (r.gpus == largest && !r.guest && r.args.empty())
            plain = r.wall.median();
        if (r.args.find("processes") != std::string::npos)
            crowded = r.wall.median();
        std::snprintf(line, sizeof line, "| %d | %s | %s | %.1f (%.1f–%.1f) | %d | %.1f MiB | %.0f |\n",
                      r.gpus, r.guest ? "guest" : "host", r.args.empty() ? "none" : r.args.c_str(),
                      r.wall.median(), r.wall.min(), r.wall.max(), r.processes, r.rssKb / 1024.0,
                      r.configBytes);
        md << line;
        statusAlone = statusAlone && r.processes == 0;
        if (r.gpus == largest && r.args.find("processes") == std::string::npos)
            statusFast = statusFast && r.wall.median() < 100;
    }
    std::snprintf(line, sizeof line,
                  "\n- The report, and the layout of a guest like the host (its GPUs on two NUMA "
                  "nodes), at %d GPUs among %d other devices in under 100 ms: %s.\n"
                  "- No process started by the report or the layout: %s.\n",
                  largest, OTHER_DEVICES, statusFast ? "met" : "missed",
                  statusAlone ? "met" : "missed");
    md << line;
    std::snprintf(line, sizeof line,
                  "- On a host, the report looks through every process's descriptors for the "
                  "GPUs' VFIO files: among %d more processes of %d descriptors each it takes "
                  "%.0f ms more (%.0f µs a process).\n",
                  CROWD, DESCRIPTORS + 3, crowded - plain, (crowded - plain) * 1000.0 / CROWD);
    md << line;

    md << "\n## Growth\n\nMedian wall time per GPU (ms), which stays flat when a cost grows "
          "linearly (the driver commands, N×N of them, are too cheap to show):\n\n| mode |";
    for (int s : options.sizes)
        md << " " << s << " GPUs |";
    md << "\n|---|";
    for (std::size_t i = 0; i < options.sizes.size(); ++i)
        md << "---:|";
    md << "\n";
    for (const Mode& mode : MODES) {
        md << "| " << mode.name << " |";
        for (int s : options.sizes)
            for (const Row& r : rows)
                if (r.gpus == s && r.mode == mode.name) {
                    std::snprintf(line, sizeof line, " %.2f |", r.tool.median() / s);
                    md << line;
                }
        md << "\n";
    }
    std::ofstream(options.out) << md.str();
    std::fputs(md.str().c_str(), stdout);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc)
            options.out = argv[++i];
        else if (a == "--repeats" && i + 1 < argc)
            options.repeats = std::max(1, std::atoi(argv[++i]));
        else if (a == "--sizes" && i + 1 < argc) {
            options.sizes.clear();
            std::istringstream in(argv[++i]);
            std::string s;
            while (std::getline(in, s, ','))
                options.sizes.push_back(std::atoi(s.c_str()));
        } else {
            std::fprintf(stderr, "usage: qvgpu-bench [--sizes 8,16,64] [--repeats N] [--out FILE]\n");
            return 2;
        }
    }
    try {
        std::vector<Row> rows;
        std::vector<StatusRow> statusRows;
        for (int gpus : options.sizes) {
            std::fprintf(stderr, "%d GPUs ...\n", gpus);
            sim::Machine host(bigHost(gpus), sim::Side::Host);
            host.run({"--store-data"});
            const sim::GuestLayout layout = sim::guestLayout(host.topology());
            sim::Topology guestTopology = layout.topology;
            for (const auto& r : host.topology().roots())
                if (!r.bdf.empty() && r.bdf.compare(0, 5, "0001:") == 0)
                    guestTopology.add(r);
            sim::Machine guest(guestTopology, sim::Side::Guest);
            sim::carryDeviceMemory(host, guest, layout);
            guest.run({"--save-data"});
            sim::Driver driver(guest);
            driver.load();

            for (const Mode& mode : MODES) {
                const sim::Machine& m = mode.guest ? guest : host;
                Row row;
                row.gpus = gpus;
                row.mode = mode.name;
                row.counts = countProcesses(m, mode.args, toolRun());
                const int answering = answeringGpus(m.topology());
                row.mandatedSetpci = 4 * answering;
                if (mode.name == "--disable-acs") {
                    const auto [probes, writes] = acsCommands(m.topology());
                    row.mandatedSetpci += probes + writes;
                }
                std::string script;
                for (const auto& c : row.counts.commands)
                    script += "sh -c " + shellQuote(c) + " >/dev/null\n";
                const Timing t =
                    timeInTurns(options.repeats, m, mode.args, [&] { m.shell(script); });
                row.tool = t.tool;
                row.floor = t.floor;
                row.ownCpu = t.ownCpu;
                row.rssKb = 0;
                for (int i = 0; i < 3; ++i)
                    row.rssKb = std::max(row.rssKb, peakRssKb(m, mode.args, toolRun()));
                driver.settle();
                rows.push_back(row);
            }
            for (const sim::Machine* m : {&host, &guest})
                for (const std::vector<std::string>& args :
                     {std::vector<std::string>{}, std::vector<std::string>{"--json"},
                      std::vector<std::string>{"--prometheus"}})
                    statusRows.push_back(timeStatus(gpus, options.repeats, *m, args));
            for (const char* form : {"--layout=qemu", "--layout=libvirt"})
                statusRows.push_back(timeStatus(gpus, options.repeats, host, {form}));
            if (gpus == options.sizes.back()) {
                const Crowd crowd(CROWD);
                StatusRow row = timeStatus(gpus, options.repeats, host, {});
                row.args = "none, among " + std::to_string(crowd.size()) + " more processes";
                statusRows.push_back(row);
            }
        }
        write(options, rows, statusRows);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qvgpu-bench: %s\n", e.what());
        return 1;
    }
}
