// What the machine tests share: the tool's texts as a user sees them, and
// checks of the bytes the real setpci leaves in configuration spaces.
#pragma once

#include "device.h"
#include "machine.h"
#include "passthrough.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qvtest {

// The help text as the option parser renders it for this binary.
std::string helpText();

extern const char* const NOT_ROOT;          // "Requires root privileges.\n"
extern const char* const ACS_IN_GUEST;      // the --disable-acs warning line

std::string offlineLine(const std::string& bdf);

extern const char* const STORE_SUCCESS;
extern const char* const STORE_IN_GUEST;
extern const char* const SAVE_SUCCESS;
extern const char* const SAVE_ON_HOST;
extern const char* const SAVE_INVALID;
extern const char* const SAVE_WRITE_FAILED;

extern const char* const CONFIG_SUCCESS;

// The 16 bytes of a peer address record.
std::vector<uint8_t> recordBytes(uint16_t deviceId, uint64_t bar0Base);
// The 16 bytes at the record's place in a GPU's device memory.
std::vector<uint8_t> memoryRecord(const sim::Machine& machine, const std::string& bdf);
// The bytes of a store file in the machine's /etc/qv/vm_p2p_cfg/ ("" if none).
std::string storeFile(const sim::Machine& machine, const std::string& bdf);
std::string asText(const std::vector<uint8_t>& bytes);

// The command register and power state a device was left in.
uint16_t commandOf(const sim::Machine& machine, const std::string& bdf);
unsigned powerStateOf(const sim::Machine& machine, const std::string& bdf);

// True when discovery woke the device: memory decoding and bus mastering
// on, power state D0, and the other bits of both registers kept.
::testing::AssertionResult woken(const sim::Machine& machine, const std::string& bdf);
// True when the configuration space holds what the machine was built with.
::testing::AssertionResult untouched(const sim::Machine& machine, const std::string& bdf);

constexpr int UID_NOBODY = 65534;
sim::RunOptions asUser(int uid);
// Runs with `script` as the command `name`, found before the system's; it
// reaches the system's own command with the first directory of PATH
// dropped.
sim::RunOptions withCommand(const sim::Machine& machine, const std::string& name,
                            const std::string& script);
// setpci on a kernel that refuses configuration writes whose arguments
// match `pattern` (a shell case pattern; "*=*" is every write).
std::string setpciRefusing(const char* pattern);
// What an administrator does once on a host: the parameter that
// qvgpu-vm-p2p-status --kernel-acs prints, put on the kernel command line,
// so that the kernel keeps ACS off on the GPUs' switch ports.
void keepAcsOffByKernel(const sim::Machine& machine);

// How many descriptors this process has open.
int openDescriptors();

// The device layer's pauses counted instead of slept, while this lives.
struct CountedWaits : DeviceEnvironment {
    CountedWaits() { setDeviceEnvironment(this); }
    ~CountedWaits() override { setDeviceEnvironment(nullptr); }
    CountedWaits(const CountedWaits&) = delete;
    CountedWaits& operator=(const CountedWaits&) = delete;
    void pause(uint64_t microseconds) override { paused.push_back(microseconds); }
    std::vector<uint64_t> paused;
};

// What this process printed while `body` ran.
struct Output {
    std::string out;
    std::string err;
};
template <typename Body>
Output capture(Body body)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    body();
    Output o;
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
}

// A host with one GPU of each series behind a switch, shown on the fixed
// paths of this process so that device objects can be made here.
extern const char* const KA_GPU;   // 0000:03:00.0, device ID 0x0001
extern const char* const RE_GPU;   // 0000:04:00.0, device ID 0x0002
extern const char* const LU_GPU;   // 0000:05:00.0, device ID 0x0210
sim::Topology seriesHost();

struct InProcessHost {
    explicit InProcessHost(sim::Topology topology = seriesHost())
        : machine(std::move(topology), sim::Side::Host), inside(machine)
    {
    }
    std::string resource(const std::string& bdf, const char* name) const
    {
        return machine.devicePath(bdf) + "/" + name;
    }
    sim::Machine machine;
    sim::Machine::Inside inside;
};

// A host after "--store-data", and its GPUs passed through to a guest with
// their device memory; with `save`, the guest has run "--save-data" too.
struct HostAndGuest {
    explicit HostAndGuest(sim::Topology topology, bool save = false);
    std::string guestOf(const std::string& hostBdf) const { return layout.guestOf.at(hostBdf); }
    // The host BAR0 base of a guest GPU, as the driver must receive it.
    std::string hostBaseHex(const std::string& guestBdf) const;
    sim::Machine host;
    sim::GuestLayout layout;
    sim::Machine guest;
};

// Runs the report (with `args`, under the command `under` when given) in a
// PID namespace with a /proc of its own, beside stand-in hypervisors: each
// holds the VFIO group files of its GPUs' groups under the name
// qemu-system-x86_64 with the given "-name" option, the ones marked so as
// another user, and has the groups' devices open, as vfio-pci counts in
// their "enable".
struct Guest {
    std::string name;                 // the -name option's value
    std::vector<int> groups;
    bool otherUser = false;
    bool noIommu = false;             // its files are /dev/vfio/noiommu-<group>
    // Files it holds open besides (a GPU's sysfs "config", as QEMU's Xen
    // passthrough does), and one it maps alone, its descriptor closed.
    std::vector<std::string> opened = {};
    std::string mapped = {};
};
sim::RunResult withGuests(const sim::Machine& m, const std::vector<Guest>& guests,
                          const std::string& args = "", const std::string& under = "");
// "pid 4242" as "pid N": holders' pids differ from run to run.
std::string withoutPids(const std::string& text);
// Any command line, run there the same way (the tool: toolPath()).  With
// `ownNamespace`, the command line runs in a PID namespace and a /proc of
// its own below the hypervisors', as in a container.
sim::RunResult besideGuests(const sim::Machine& m, const std::vector<Guest>& guests,
                            const std::string& commandLine, bool ownNamespace = false);

} // namespace qvtest
