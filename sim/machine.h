// A simulated machine: the tool runs unchanged, on its fixed paths, in a
// private mount namespace where
//   /sys          is a tmpfs holding the machine's PCI tree,
//   /proc/cpuinfo comes from a file with or without the hypervisor flag,
//   /proc/cmdline from a file holding a kernel command line,
//                 and the firmware's DMI strings and SMBIOS table (under
//                 /sys) are a server maker's on a host and QEMU's in a guest,
//   /dev          is a tmpfs with a working null device,
//   /etc          is an overlay whose writes stay with the machine,
//   /run          is empty at first, as after a boot.
// Nothing the tool does there reaches the real machine.
#pragma once

#include "process.h"
#include "topology.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

enum class Side { Host, Guest };

// Moves this process into a private mount namespace of its own (once), so
// that the staging mounts of every machine vanish with the process.  Throws
// std::runtime_error when the namespace cannot be made: tests that need a
// machine must fail, never pass or skip.
void enterPrivateMountNamespace();

struct RunOptions {
    uid_t uid = 0;     // run as another user (the root check)
    // The command search path; by default the system's.
    std::string path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    // Run the tool under this command, such as a memory checker.
    std::vector<std::string> wrapper;
    // Which of our programs runs: the tool by default.
    std::string program;
    // The report, run by root, sees only the machine's own processes; the
    // benchmark lets it look through the whole system's, as on a busy host.
    bool ownProcesses = true;
};

class Machine {
public:
    Machine(Topology topology, Side side);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Runs the tool with `args` (without the program name) to its end.
    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) const;
    // Starts the tool and returns at once.
    Process start(const std::vector<std::string>& args, const RunOptions& options = {}) const;
    // Runs any command line through /bin/sh inside the machine.
    RunResult shell(const std::string& commandLine) const;
    // The command that runs what follows it in a PID namespace of its own,
    // with a /proc that shows only its processes (and the machine's
    // /proc/cpuinfo): what the report runs under.
    std::vector<std::string> ownProcesses() const;

    const Topology& topology() const { return topology_; }
    Side side() const { return side_; }

    // Where things of the machine are, seen from outside it.
    std::string sysPath(const std::string& pathUnderSys) const;   // "bus/pci/devices"
    std::string devicePath(const std::string& bdf) const;         // real directory of a device
    std::string etcPath(const std::string& pathUnderEtc) const;
    std::string devPath(const std::string& pathUnderDev) const;
    std::vector<uint8_t> config(const std::string& bdf) const;
    uint16_t config16(const std::string& bdf, uint32_t offset) const;

    static std::string toolPath();
    static std::string statusPath();   // qvgpu-vm-p2p-status
    // Sets what the kernel says of its lockdown ("none", "integrity", ...).
    void setLockdown(const std::string& mode) const;
    // The kernel's command line, as /proc/cmdline shows it (a line feed is
    // added).
    void setKernelCommandLine(const std::string& text) const;
    // A guest whose hypervisor hides the CPU's "hypervisor" flag (QEMU's
    // -cpu ...,hypervisor=off): only its firmware tells.
    void hideHypervisorFlag() const;
    // Binds a device to a driver as the kernel shows it: the device's
    // "driver" link, and the driver's directory.
    void bindDriver(const std::string& bdf, const std::string& driver) const;
    // A device taken away and another of the same kind added at its
    // address, as a hot-plug does: its sysfs directory is made anew (kernfs
    // gives it another inode number), with its files as they were, and its
    // device memory's record (resource0 at 0x100000) then `record`, when
    // given.  No driver may hold it meanwhile.
    void replug(const std::string& bdf, const std::vector<uint8_t>& record = {}) const;
    // A device taken away (its sysfs directory and its link under
    // /sys/bus/pci/devices go), and added again later at its address, its
    // directory made anew, with its device memory's record then `record`
    // when given.  The driver stand-in's plug() and unplug() do these for
    // its GPUs, with its probe and its removal.
    void unplug(const std::string& bdf) const;
    void plug(const std::string& bdf, const std::vector<uint8_t>& record = {}) const;
    // What the kernel says of a device's power: its runtime PM status
    // ("suspended") and the state it believes it in ("D3hot", "D3cold").
    void setKernelPower(const std::string& bdf, const std::string& runtimeStatus,
                        const std::string& powerState) const;
    // What the firmware says: one DMI string ("" takes it away), and the
    // SMBIOS table's virtual-machine bit.
    void setDmi(const std::string& field, const std::string& text) const;
    void setSmbiosVirtualMachine(bool set) const;

    // Shows this machine on the fixed paths of the calling process itself
    // (which is in a private namespace of its own), for in-process tests of
    // the tool's functions; undone on destruction.
    class Inside {
    public:
        explicit Inside(const Machine& machine);
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
    };

private:
    // Runs `argv`; the program file is `executable` when given, else argv[0].
    Process spawn(const std::vector<std::string>& argv, const RunOptions& options,
                  const std::string& executable = "") const;
    // A machine with a device that resets on its move to D0 shows it through
    // a setpci of its own, in this directory, first on every run's path.
    void installSoftReset();
    // The CPU's flags, the command line and the firmware's strings and
    // table of a fresh machine of its side.
    void showKernelAndFirmware() const;
    Topology topology_;
    Side side_;
    std::string root_;
    std::string softResetBin_;
};

} // namespace sim
