#include "verdict_rules.h"
#include "wording.h"

namespace {

// Once the store files are valid: the driver holds every GPU, told since its load.
void judgeDriver(const StatusReport& report, Verdict& verdict)
{
    const MachineFacts& m = report.machine;
    const std::string module = m.driverModule;
    if (!m.driverLoaded) {
        verdict.fixes.push_back({{"the GPU driver is not loaded"}, {ProblemKind::DriverNotLoaded}, {},
                                "", "modprobe " + module});
        return;
    }
    std::vector<std::string> unbound, noMinor, notConfigured;
    for (const GpuFacts& gpu : report.gpus) {
        if (gpu.driverConfig == DriverConfig::NotRead)
            continue;
        if (!gpu.boundToDriver)
            unbound.push_back(gpu.bus + (gpu.driver.empty() ? " (no driver)"
                                                            : " (bound to " + gpu.driver + ")"));
        else if (!gpu.minorUsable)
            noMinor.push_back(gpu.bus + " (minor " +
                              (gpu.minor ? std::to_string(*gpu.minor) : "?") + ")");
        else if (gpu.driverConfig == DriverConfig::NotConfigured)
            notConfigured.push_back(gpu.bus);
    }
    FixBuilder b;
    b.add(joined(unbound), "the GPU driver has not taken up these GPUs (load it again; give it "
                           "those another driver holds): ", ProblemKind::DriverGpuNotTaken)
        .addTo(verdict, "modprobe -r " + module + " && modprobe " + module);
    b.add(joined(noMinor), "the GPU driver shows no minor number of their own for these GPUs: ",
          ProblemKind::DriverMinor);
    if (unbound.empty() && !m.lastNodeThere)
        b.add(m.lastNode, "the GPU driver has not made the last GPU's device node, which the "
                          "daemon waits for: ",
              ProblemKind::DriverNodeMissing);
    b.addTo(verdict);
    b.add(joined(notConfigured),
          "the GPU driver has not been given the GPUs' addresses since it was loaded: ",
          ProblemKind::DriverNotConfigured);
    if (!b.fix.problems.empty())
        b.fix.advice.push_back("to keep it configured across its reloads: systemctl enable --now "
                               "qvgpu-vm-p2p-daemon.service");
    b.addTo(verdict, toolCommand({CONFIG_ADDRESS}));
}

} // namespace

void judgeGuest(const StatusReport& report, Verdict& verdict)
{
    std::vector<std::string> save, disagree, fromHost, unhandled;
    Reasoned unreadable, held, blocked;
    for (const GpuFacts& gpu : report.gpus) {
        if (!gpu.configRead || !gpu.deviceId)
            continue;   // a thing to fix already
        if (!gpu.handled) {
            unhandled.push_back(gpu.bus);
            continue;
        }
        if (gpu.store == StoreState::Valid)
            continue;
        if (gpu.store == StoreState::Disagrees) {
            disagree.push_back(gpu.bus);
            continue;
        }
        switch (gpu.record) {
        case RecordState::Valid: save.push_back(gpu.bus); break;
        case RecordState::Absent:
        case RecordState::OtherDevice: fromHost.push_back(gpu.bus); break;
        case RecordState::Unreadable:
            (wakeGetsPast(gpu) ? unreadable : heldByDriver(gpu) ? held : blocked)
                .emplace_back(gpu.bus, gpu.recordReason);
            break;
        case RecordState::NotRead:
        case RecordState::NotChecked: break;
        }
    }
    FixBuilder b;
    b.add(joined(unhandled), "no store file for GPUs whose device ID the tool does not handle, "
                             "so no GPU's driver can be configured: ", ProblemKind::GpuUnhandled)
        .addTo(verdict);
    // The save stops at the first GPU without a record: the host's store first.
    b.add(joined(fromHost), "no valid store file, and no record from the host in device memory "
                            "(then start this guest again and save them here): ",
          ProblemKind::StoreNeedsHostRecord)
        .addTo(verdict, toolCommand({STORE_DATA}), "on the host, with this guest shut down");
    b.add(joined(save), "no valid store file (save the records before the GPU driver loads): ",
          ProblemKind::StoreMissing);
    b.add(joined(disagree), "the store file disagrees with the record in device memory (save it "
                            "again before the GPU driver loads): ",
          ProblemKind::StoreDisagrees);
    b.add(withReasons(unreadable), "no valid store file, and device memory cannot be read now "
                                   "(the save wakes the GPU): ",
          ProblemKind::StoreMemoryAsleep);
    b.add(withReasons(held),
          "no valid store file, and the GPU driver holds BAR0, so the kernel maps none of its "
          "memory: unload the driver to save (or reboot: the guest unit saves before the driver "
          "loads): ",
          ProblemKind::StoreMemoryHeld);
    const std::string module = report.machine.driverModule;
    const std::string saving = toolCommand({SAVE_DATA});
    b.addTo(verdict, held.empty() ? saving
                                 : "modprobe -r " + module + " && " + saving + " && modprobe " +
                                       module);
    b.add(withReasons(blocked), "no valid store file, and device memory cannot be read at all: ",
          ProblemKind::StoreMemoryUnreadable).addTo(verdict);
    // The driver's configuration reads the store files: once they are valid.
    if (unhandled.empty() && fromHost.empty() && save.empty() && disagree.empty() &&
        unreadable.empty() && held.empty() && blocked.empty())
        judgeDriver(report, verdict);
}
