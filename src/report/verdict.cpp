#include "verdict.h"

#include "verdict_rules.h"
#include "wording.h"

#include <set>

namespace {

// What keeps the report from seeing: it is a thing to fix, never a pass.
void judgeUnseen(const StatusReport& report, Verdict& verdict)
{
    Reasoned silent;
    std::vector<std::string> noId, noPath;
    for (const GpuFacts& gpu : report.gpus) {
        if (!gpu.deviceId)
            noId.push_back(gpu.bus);
        // A GPU left alone on purpose was not to be read.
        if (!gpu.configRead && gpu.unchecked == Unchecked::None)
            silent.emplace_back(gpu.bus, gpu.configReason);
        else if (!gpu.path.known)
            noPath.push_back(gpu.bus);
    }
    Reasoned unknownAcs;
    for (const auto& [bus, port] : report.ports)
        if (port.acsUnknown())
            unknownAcs.emplace_back(bus, port.unknownReason);
    FixBuilder b;
    b.add(withReasons(silent), "the state of these GPUs cannot be read: ",
          ProblemKind::GpuStateUnreadable).addTo(verdict);
    b.add(joined(noId), "the device ID of these devices of the maker cannot be read: ",
          ProblemKind::DeviceIdUnreadable).addTo(verdict);
    b.add(withReasons(unknownAcs), "the ACS state of these ports above GPUs cannot be read, so "
          "they may redirect peer traffic: ", ProblemKind::AcsUnknown).addTo(verdict);
    b.add(joined(noPath),
          "the PCI path of these GPUs is unknown, so their ports keep their ACS settings: ",
          ProblemKind::PathUnknown).addTo(verdict);
    const MachineFacts& m = report.machine;
    if (!m.guest && !m.holdersJudged()) {
        Reasoned unknown;
        bool namespaceOfItsOwn = false;
        for (const GpuFacts& gpu : report.gpus) {
            if (gpu.holder == Holder::Unseen)
                unknown.emplace_back(gpu.bus, "open, by a process the report cannot see");
            else if (gpu.holder == Holder::Undecided)
                unknown.emplace_back(gpu.bus, m.unseenProcesses > 0 || m.processesHidden
                                                  ? "not open, but a process the report cannot "
                                                    "see may hold its VFIO file"
                                                  : "its enable count cannot be read");
            namespaceOfItsOwn = namespaceOfItsOwn || gpu.holder == Holder::Unseen;
        }
        std::string unseen;
        if (m.unseenProcesses > 0)
            unseen = "the descriptors of " + std::to_string(m.unseenProcesses) + " process" +
                     (m.unseenProcesses == 1 ? "" : "es") + " cannot be read";
        if (m.processesHidden)
            unseen += std::string(unseen.empty() ? "" : ", and ") +
                      "/proc hides other users' processes (hidepid)";
        // Every process seen, and a GPU open by none: its user is outside
        // the report's process namespace.
        if (unseen.empty() && namespaceOfItsOwn)
            unseen = "no process of this /proc holds them: the report runs in a process "
                     "namespace of its own, such as a container's";
        b.add(withReasons(unknown) + (unseen.empty() ? "" : "; " + unseen),
              "which guests hold these GPUs under VFIO, and isolation between guests, are not "
              "judged: ", ProblemKind::HoldersUnseen)
            .addTo(verdict, "qvgpu-vm-p2p-status",
                   "as root with CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH, in the host's own "
                   "process namespace (the metrics unit runs so)");
    }
}

// "0000:03:00.0 (IOMMU group 3) and 0000:04:00.0 (IOMMU group 4)" (with users).
std::string pairText(const StatusReport& report, const IsolationPair& pair, bool users)
{
    auto one = [&](std::size_t i) {
        const GpuFacts& g = report.gpus[i];
        return g.bus + " (IOMMU group " + g.iommuGroup +
               (users ? ", in use by " + userText(g.user) : "") + ")";
    };
    return one(pair.a) + " and " + one(pair.b);
}

bool differentUsers(const GpuFacts& a, const GpuFacts& b)
{
    return a.inUse && b.inUse && a.user.pid != b.user.pid;
}

// GPUs below one switch with no redirect reach each other's memory, whatever their groups.
void judgeIsolation(const StatusReport& report, Verdict& verdict)
{
    if (!report.machine.iommu || !report.machine.holdersJudged())
        return;
    for (std::size_t i = 0; i < report.gpus.size(); ++i)
        for (std::size_t j = i + 1; j < report.gpus.size(); ++j) {
            const Link& link = report.links[i][j];
            const GpuFacts& a = report.gpus[i];
            const GpuFacts& b = report.gpus[j];
            if (link.turnSwitch.empty() || link.redirected || link.acsUnknown ||
                a.iommuGroup.empty() || b.iommuGroup.empty() || a.iommuGroup == b.iommuGroup ||
                a.noIommu || b.noIommu)
                continue;
            (differentUsers(a, b) ? verdict.isolationBreaches : verdict.isolationWarnings)
                .push_back({i, j, link.turnSwitch});
        }
    std::map<std::string, std::vector<std::string>> bySwitch;
    for (const IsolationPair& pair : verdict.isolationWarnings)
        bySwitch[pair.switchBus].push_back(pairText(report, pair, false));
    for (const auto& [bus, pairs] : bySwitch)
        warn(verdict, WarningKind::IsolationSplit,
            "GPUs below the switch at " + bus + " reach each other's memory without the IOMMU, "
            "although the kernel put them in different IOMMU groups: " + joined(pairs) +
            "; give all GPUs below one switch to one guest");
    FixBuilder b;
    std::vector<std::string> breaches;
    for (const IsolationPair& pair : verdict.isolationBreaches)
        breaches.push_back(pairText(report, pair, true) + " below the switch at " + pair.switchBus);
    b.add(joined(breaches), "GPUs in use by different guests reach each other's memory without "
                            "the IOMMU: ", ProblemKind::IsolationBreach);
    if (!b.fix.problems.empty())
        b.fix.advice.push_back(
            "give them to one guest; or, on a host whose switches are shared between guests, do "
            "not run " + toolCommand({DISABLE_ACS}) + " (ACS is back on after the next boot)");
    b.addTo(verdict);
}

// Why this boot's stores do not vouch for a GPU's record.
std::string bootStoreReason(const GpuFacts& gpu)
{
    if (gpu.bootStore == BootStore::Missing)
        return "not stored this boot";
    if (gpu.bootStoreDeviceId != gpu.deviceIdValue)
        return "stored this boot as device " + deviceIdText(gpu.bootStoreDeviceId);
    return "stored this boot with BAR0 base " + hex(gpu.bootStoreBase) + ", not today's";
}

// The ports whose ACS redirects peer traffic, but where two guests share a switch.
std::set<std::string> redirectingPorts(const StatusReport& report)
{
    std::map<std::string, std::set<int>> usersBelow;
    for (std::size_t i = 0; i < report.gpus.size(); ++i)
        for (std::size_t j = 0; j < report.gpus.size(); ++j) {
            const Link& link = report.links[i][j];
            if (!link.turnSwitch.empty() && report.gpus[i].inUse)
                usersBelow[link.turnSwitch].insert(report.gpus[i].user.pid);
        }
    std::set<std::string> redirecting;
    for (const auto& row : report.links)
        for (const Link& link : row)
            if (link.redirected && usersBelow[link.turnSwitch].size() < 2)
                for (const std::string& port : {link.turnA, link.turnB})
                    if (report.ports.at(port).redirects())
                        redirecting.insert(port);
    return redirecting;
}

// A host's GPUs sorted by what their records need.
struct HostRecords {
    std::vector<std::string> noRecord, stale;
    Reasoned unreadable, blocked, notStored;
    // A GPU a guest holds is stored once its guest (a Xen domain under
    // pciback) is shut down.
    bool storeWaitsForGuests = false;
    bool xen = false;
};

HostRecords hostRecords(const StatusReport& report, Verdict& verdict)
{
    HostRecords r;
    std::vector<std::string> noIommu;
    for (const GpuFacts& gpu : report.gpus) {
        switch (gpu.record) {
        case RecordState::NotRead: break;
        case RecordState::Valid:
            if (gpu.recordBase != gpu.bar0Base)
                r.stale.push_back(gpu.bus);
            break;
        case RecordState::Absent:
        case RecordState::OtherDevice:
            r.noRecord.push_back(gpu.bus);
            break;
        case RecordState::NotChecked:
            // Held, idle under vfio-pci or its holders unseen: its record is
            // what this boot's stores recorded.
            ++verdict.notChecked;
            if (gpu.bootStore != BootStore::Current) {
                r.notStored.emplace_back(gpu.bus, bootStoreReason(gpu));
                r.storeWaitsForGuests = r.storeWaitsForGuests || gpu.inUse;
                r.xen = r.xen || (gpu.inUse && gpu.through == Passthrough::Pciback);
            }
            break;
        case RecordState::Unreadable:
            if (report.machine.lockdown != "none")
                break;   // said once for the machine
            (wakeGetsPast(gpu) || heldByDriver(gpu) ? r.unreadable : r.blocked)
                .emplace_back(gpu.bus, gpu.recordReason);
            break;
        }
        if (gpu.configRead && gpu.deviceId && !gpu.handled)
            warn(verdict, WarningKind::GpuUnhandled,
                gpu.bus + " (device ID " + *gpu.deviceId + ") is not a GPU the tool handles: it "
                "gets no record, and a guest given it with the GPUs cannot configure any GPU's "
                "driver (--config-address fails); give it to no such guest");
        if (gpu.fullWidth && gpu.link.width < gpu.fullWidth)
            warn(verdict, WarningKind::LinkNarrow,
                gpu.bus + ": its link runs at x" + std::to_string(gpu.link.width) +
                " although both ends can do x" + std::to_string(gpu.fullWidth) +
                ", so peer traffic runs at a fraction of full rate (reseat the GPU, or check "
                "the slot)");
        if (gpu.noIommu)
            noIommu.push_back(gpu.bus + " (noiommu-" + gpu.iommuGroup + ")");
    }
    // VFIO's no-IOMMU mode serves drivers in user space, never a guest.
    if (!noIommu.empty())
        warn(verdict, WarningKind::NoIommuGroup,
            "these GPUs are in groups of VFIO's no-IOMMU mode, which isolate nothing: a process "
            "that drives one reaches all of this host's memory, and none can be given to a "
            "guest: " + joined(noIommu));
    return r;
}

// Warns of ports whose ACS redirection is off but comes back when the kernel restores
// them (a reset, a wake), unless the command line names them.  Whether a redirecting
// port is not kept off either.
bool acsNotKept(const StatusReport& report, const std::set<std::string>& redirecting,
                Verdict& verdict)
{
    std::vector<std::string> notKept;
    bool redirectingNotKept = false;
    for (const auto& [bus, port] : report.ports) {
        if (port.portType != PORT_DOWNSTREAM || port.acs != AcsState::Present ||
            report.acsKeptOff.count(bus))
            continue;
        if (!port.redirects())
            notKept.push_back(bus);
        else if (redirecting.count(bus))
            redirectingNotKept = true;
    }
    if (!notKept.empty())
        warn(verdict, WarningKind::AcsNotKept,
            "ACS does not redirect peer traffic on " + joined(notKept) + " now but the kernel "
            "turns redirection on again whenever it restores a port (after a reset or a "
            "low-power state); to keep it off add the parameter that " +
            std::string(KERNEL_ACS_COMMAND) + " prints to the kernel command line and reboot "
            "(see KEEPING ACS OFF in man qvgpu-vm-p2p-status)");
    return redirectingNotKept;
}

void judgeHost(const StatusReport& report, Verdict& verdict)
{
    const std::set<std::string> redirecting = redirectingPorts(report);
    const HostRecords r = hostRecords(report, verdict);
    judgeIsolation(report, verdict);
    const bool redirectingNotKept = acsNotKept(report, redirecting, verdict);
    FixBuilder b;
    b.add(joined({redirecting.begin(), redirecting.end()}),
          "ACS on switch downstream ports redirects peer traffic to the root complex: ",
          ProblemKind::AcsRedirects);
    const bool acs = !b.fix.problems.empty();
    if (redirectingNotKept)
        b.fix.advice.push_back("ACS stays off until the kernel restores a port; to keep it off, "
                               "add the parameter that " + std::string(KERNEL_ACS_COMMAND) +
                               " prints to the kernel command line and reboot");
    if (acs && r.storeWaitsForGuests)
        b.addTo(verdict, toolCommand({DISABLE_ACS}));
    b.add(joined(r.noRecord), "no valid record in the device memory of: ", ProblemKind::RecordMissing);
    b.add(joined(r.stale), "the record holds another BAR0 base than the GPU has now (stale after "
                         "a BAR reassignment): ", ProblemKind::RecordStale);
    b.add(withReasons(r.unreadable),
          "the record cannot be read now (store it before any guest starts): ",
          ProblemKind::RecordNotReadableNow);
    if (report.machine.storedRead) {
        b.add(withReasons(r.notStored), "no store this boot wrote today's record into these GPUs, "
                                      "whose memory is left alone: ", ProblemKind::RecordNotStored);
    } else {
        std::vector<std::string> buses;
        for (const auto& [bus, reason] : r.notStored)
            buses.push_back(bus);
        b.add(joined(buses), "no store recorded this boot (" + report.machine.storedReason +
                                 "), and the memory of these GPUs is left alone: ",
              ProblemKind::RecordNotStored);
    }
    // One run does both, switching ACS off before it stores; but a GPU a guest
    // holds is stored only once that guest is shut down.
    const bool both = acs && !r.storeWaitsForGuests;
    const bool store = b.fix.problems.size() > (both ? 1u : 0u);
    b.addTo(verdict,
            both && store ? toolCommand({DISABLE_ACS, STORE_DATA})
            : both        ? toolCommand({DISABLE_ACS})
                          : toolCommand({STORE_DATA}),
            !store || !r.storeWaitsForGuests ? ""
            : r.xen ? "with the Xen domains that hold them shut down (xl shutdown), then start "
                      "those domains again"
                    : "with the guests that hold them shut down, then start those guests again "
                      "(the libvirt hook does it at each guest's start)");
    b.add(withReasons(r.blocked), "the device memory cannot be read at all: ",
          ProblemKind::MemoryUnreadable).addTo(verdict);
}

} // namespace

Verdict judge(const StatusReport& report)
{
    Verdict verdict;
    auto fix = [&](const std::string& problem, ProblemKind kind, std::string command = "") {
        verdict.fixes.push_back({{problem}, {kind}, {}, "", std::move(command)});
    };
    const MachineFacts& m = report.machine;
    if (report.gpus.empty()) {
        fix("no GPU of the maker was found", ProblemKind::NoGpu);
        return verdict;
    }
    if (!m.sideKnown)
        fix("whether this is a host or a guest cannot be told: /proc/cpuinfo cannot be read, and "
            "the firmware names no hypervisor",
            ProblemKind::SideUnknown);
    if (!m.setpci)
        fix("setpci is not installed: the tool cannot wake the GPUs", ProblemKind::SetpciMissing,
            "apt-get install pciutils");
    if (!m.guest && m.lockdown != "none")
        fix("the kernel is locked down (" + m.lockdown +
                "): the tool cannot map device memory; boot without lockdown",
            ProblemKind::LockedDown);
    judgeUnseen(report, verdict);
    if (m.guest)
        judgeGuest(report, verdict);
    else
        judgeHost(report, verdict);
    return verdict;
}
