// qvgpu-vm-p2p-status run as a whole process on simulated hosts and guests:
// its verdicts, its exit statuses, its JSON, and that it changes nothing.
#include "files.h"
#include "helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

using namespace qvtest;

namespace {

sim::RunResult status(const sim::Machine& m, std::vector<std::string> args = {})
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    return m.run(args, o);
}

// The report from its "Verdict:" line to the end.
std::string verdictOf(const std::string& out)
{
    const auto at = out.find("\nVerdict: ");
    return at == std::string::npos ? "(no verdict in)\n" + out : out.substr(at + 1);
}

// The report's line for one GPU in its GPU table, from the bus address on,
// with the runs of blanks between columns made single.
std::string gpuLine(const std::string& out, const std::string& bus)
{
    const auto start = out.find("  " + bus + "  ");
    if (start == std::string::npos)
        return "(no line for " + bus + ")";
    std::string line = out.substr(start + 2, out.find('\n', start) - start - 2);
    std::string squeezed;
    for (char c : line)
        if (c != ' ' || squeezed.empty() || squeezed.back() != ' ')
            squeezed += c;
    return squeezed;
}

const char* const SWITCH_PORTS = "0000:02:08.0, 0000:02:10.0, 0000:06:08.0, 0000:06:10.0";

// Two switches of two GPUs each; the downstream ports redirect (ACS Control
// 0x005f, as firmware leaves it).
sim::Topology twoSwitches()
{
    return sim::switchedHost(2, 2, {0x0001, 0x0002});
}

// Runs the report under strace and checks what it asked of the kernel: it
// started nothing (strace's own execve of the program is the only call that
// makes a process), opened nothing for writing, and mapped device memory
// and registers for reading only.  The number of those mappings.
int tracedStatus(const sim::Machine& m, sim::RunResult& r)
{
    const std::string trace = m.sysPath("../status.trace");
    sim::RunOptions traced;
    traced.program = sim::Machine::statusPath();
    // LeakSanitizer cannot run under ptrace; the sanitizer build checks for
    // leaks in every other run of the report.
    traced.wrapper = {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-qq",
                      "-e", "trace=execve,fork,vfork,clone,clone3,open,openat,mmap", "-o", trace};
    r = m.run({}, traced);
    int processes = 0, resourceMaps = 0;
    std::istringstream calls(sim::readFile(trace));
    for (std::string call; std::getline(calls, call);) {
        if (call.find("execve(") != std::string::npos || call.find("fork(") != std::string::npos ||
            call.find("clone") != std::string::npos)
            ++processes;
        if (call.find("open") != std::string::npos) {
            EXPECT_EQ(std::string::npos, call.find("O_WRONLY")) << call;
            EXPECT_EQ(std::string::npos, call.find("O_RDWR")) << call;
            EXPECT_EQ(std::string::npos, call.find("O_CREAT")) << call;
        }
        if (call.find("mmap(") != std::string::npos && call.find("MAP_SHARED") != std::string::npos) {
            ++resourceMaps;
            EXPECT_NE(std::string::npos, call.find(", PROT_READ, MAP_SHARED,")) << call;
        }
    }
    EXPECT_EQ(1, processes);
    return resourceMaps;
}

TEST(Status, AFreshHostIsNotReadyAndTheReportChangesNothing)
{
    sim::Machine host(twoSwitches(), sim::Side::Host);
    sim::RunResult r;
    // Sleeping GPUs are not even read.
    EXPECT_EQ(0, tracedStatus(host, r));
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(std::string("Verdict: not ready\n"
                          "  1. ACS on switch downstream ports redirects peer traffic to the root "
                          "complex: ") + SWITCH_PORTS + "\n"
              "     run: qvgpu-vm-p2p --disable-acs\n"
              "  2. the record cannot be read now (store it before any guest starts): "
              "0000:03:00.0 (memory decoding is off), 0000:04:00.0 (memory decoding is off), "
              "0000:07:00.0 (memory decoding is off), 0000:08:00.0 (memory decoding is off)\n"
              "     run: qvgpu-vm-p2p --store-data\n",
              verdictOf(r.out));
    EXPECT_NE(std::string::npos,
              r.out.find("  GPU0 0000:03:00.0: ACS redirects peer traffic at 0000:02:08.0\n"
                         "    0000:00:01.0  Root Port        no ACS\n"
                         "    0000:01:00.0  Upstream Port    no ACS\n"
                         "    0000:02:08.0  Downstream Port  ACSCtl: SrcValid+ TransBlk+ ReqRedir+ "
                         "CmpltRedir+ UpstreamFwd+ EgressCtrl- DirectTrans+\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  GPU0  X     PIX*  PHB   PHB\n")) << r.out;

    // Nothing woken, nothing written, nothing stored.
    for (const sim::Device* d : host.topology().all())
        EXPECT_TRUE(untouched(host, d->bdf));
    for (const std::string& gpu : host.topology().gpus())
        EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(host, gpu)) << gpu;
    EXPECT_FALSE(sim::fileExists(host.etcPath("qv")));
}

TEST(Status, AHostIsReadyAfterTheToolAndAMovedBarMakesItsRecordStale)
{
    sim::Machine host(twoSwitches(), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    sim::RunResult r;
    // Each GPU's record and identification registers; the RE GPUs' numbered
    // form too.
    EXPECT_EQ(10, tracedStatus(host, r));
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));
    EXPECT_EQ("0000:03:00.0 0x0001 KA-C1 -1 0-1 - 0x38bff0000000 4M valid, current",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_NE(std::string::npos, r.out.find("  GPU0  X     PIX   PHB   PHB\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("no switch port redirects peer traffic")) << r.out;

    // The kernel gave the GPU a new BAR0 base after the record was stored.
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x14, 0x00003900);
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("0000:04:00.0 0x0002 RE-A3 -1 0-1 - 0x390010000000 4M stale: 0x38bfe0000000",
              gpuLine(r.out, "0000:04:00.0"));
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the record holds another BAR0 base than the GPU has now (stale after a BAR "
              "reassignment): 0000:04:00.0\n"
              "     run: qvgpu-vm-p2p --store-data\n",
              verdictOf(r.out));
}

TEST(Status, AGuestIsReadyOnlyWithStoreFilesThatAgreeWithDeviceMemory)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0002}));
    const std::string first = m.guestOf("0000:03:00.0");
    const std::string second = m.guestOf("0000:04:00.0");
    // The guest's firmware left one GPU's memory decoding off.
    sim::pokeWord(m.guest.devicePath(second) + "/config", 0x04, 0x00100000);
    sim::RunResult r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. no valid store file (save the records before the GPU driver loads): " + first + "\n"
              "     run: qvgpu-vm-p2p --save-data\n"
              "  2. no valid store file, and device memory cannot be read (save the records before "
              "the GPU driver loads): " + second + " (memory decoding is off)\n"
              "     run: qvgpu-vm-p2p --save-data\n",
              verdictOf(r.out));

    ASSERT_EQ(0, m.guest.run({"--save-data"}).status);
    r = status(m.guest);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));
    char base[24];
    std::snprintf(base, sizeof base, "0x%llx", static_cast<unsigned long long>(sim::guestBar0(0)));
    EXPECT_EQ(first + " 0x0001 KA-C1 -1 0-1 - " + base + " 4M - valid: 0x38bff0000000 "
                  "valid: 0x38bff0000000",
              gpuLine(r.out, first));

    const std::string store = m.guest.etcPath("qv/vm_p2p_cfg/");
    // Another base under the right magic: the driver would be told a wrong one.
    std::vector<uint8_t> other = recordBytes(0x0002, 0x12340000);
    sim::writeFile(store + second, std::string(other.begin(), other.end()));
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the store file disagrees with the record in device memory (save it again "
              "before the GPU driver loads): " + second + "\n"
              "     run: qvgpu-vm-p2p --save-data\n",
              verdictOf(r.out));

    // Garbage, and no file at all.
    sim::writeFile(store + second, "garbage");
    ::unlink((store + first).c_str());
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, gpuLine(r.out, first).find(" missing")) << r.out;
    EXPECT_NE(std::string::npos, gpuLine(r.out, second).find(" invalid")) << r.out;
    EXPECT_EQ("Verdict: not ready\n"
              "  1. no valid store file (save the records before the GPU driver loads): " + first +
              ", " + second + "\n"
              "     run: qvgpu-vm-p2p --save-data\n",
              verdictOf(r.out));
}

TEST(Status, DeviceMemoryThatCannotBeReadIsAFactNotACrash)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001});
    t.find("0000:04:00.0")->bar0Size = 1u << 20;
    sim::Machine host(std::move(t), sim::Side::Host);
    host.run({"--disable-acs", "--store-data"});
    ::unlink((host.devicePath("0000:05:00.0") + "/resource0").c_str());
    sim::RunResult r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the device memory cannot be read at all: 0000:04:00.0 (BAR0 is smaller than the "
              "2 MiB window), 0000:05:00.0 (no file /sys/bus/pci/devices/0000:05:00.0/resource0)\n",
              verdictOf(r.out));

    // A locked-down kernel maps no BAR: said once for the machine.
    host.setLockdown("integrity");
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("  kernel lockdown  integrity\n")) << r.out;
    EXPECT_EQ("0000:03:00.0 0x0001 unknown (the kernel is locked down) -1 0-1 - 0x38bff0000000 4M "
              "unreadable: the kernel is locked down (integrity)",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_EQ("Verdict: not ready\n"
              "  1. the kernel is locked down (integrity): the tool cannot map device memory; boot "
              "without lockdown\n",
              verdictOf(r.out));

    // A GPU whose configuration space vanished does not answer.
    ::unlink((host.devicePath("0000:03:00.0") + "/config").c_str());
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, verdictOf(r.out).find("these GPUs do not answer: 0000:03:00.0\n"))
        << r.out;
}

TEST(Status, ALockedDownGuestStillRunsOnItsStoreFiles)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0210}), true);
    m.guest.setLockdown("confidentiality");
    sim::RunResult r = status(m.guest);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));

    // Without its file, such a GPU cannot be saved while the kernel stays
    // locked down: no command of ours helps.
    const std::string first = m.guestOf("0000:03:00.0");
    ::unlink(m.guest.etcPath("qv/vm_p2p_cfg/" + first).c_str());
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1. no valid store file, and device memory cannot be read at all: " + first +
              " (the kernel is locked down (confidentiality))\n",
              verdictOf(r.out));
}

// Two GPUs under one switch, one more under a switch below it, one under a
// second host bridge of the same NUMA node, one under a host bridge of
// another node.
sim::Topology everyLink()
{
    sim::Topology t;
    sim::Device& up = t.rootPort("0000:00:01.0").port("0000:01:00.0", sim::PortType::SwitchUpstream, false);
    up.port("0000:02:08.0", sim::PortType::SwitchDownstream).gpu("0000:03:00.0", 0x0002, 0x38bff0000000ull);
    up.port("0000:02:10.0", sim::PortType::SwitchDownstream).gpu("0000:04:00.0", 0x0002, 0x38bfe0000000ull);
    up.port("0000:02:18.0", sim::PortType::SwitchDownstream)
        .port("0000:05:00.0", sim::PortType::SwitchUpstream, false)
        .port("0000:06:08.0", sim::PortType::SwitchDownstream)
        .gpu("0000:07:00.0", 0x0002, 0x38bfd0000000ull);
    t.rootPort("0000:40:01.0").gpu("0000:41:00.0", 0x0002, 0x38bfc0000000ull);
    t.rootPort("0000:80:01.0").gpu("0000:81:00.0", 0x0002, 0x38bfb0000000ull);
    for (const std::string& gpu : t.gpus()) {
        t.find(gpu)->numaNode = gpu < "0000:80" ? 0 : 1;
        t.find(gpu)->iommuGroup = std::stoi(gpu.substr(5, 2), nullptr, 16);
    }
    // A numbered form, named from two registers.
    t.find("0000:07:00.0")->registers[0x78F8] = 0x1234;
    t.find("0000:07:00.0")->registers[0x78C0] = 31u << 25 | 3;
    return t;
}

TEST(Status, JsonCarriesTheSameFactsAndSurvivesOddTexts)
{
    sim::Machine host(everyLink(), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--store-data"}).status);
    // A text no kernel writes, with a quote and control bytes in it.
    sim::writeFile(host.devicePath("0000:03:00.0") + "/local_cpulist", "0-1\"\x01\xff\n");
    const sim::RunResult r = status(host, {"--json"});
    EXPECT_EQ(1, r.status);
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("host", doc["side"]);
    EXPECT_EQ(false, doc["machine"]["hypervisor"]);
    EXPECT_EQ("none", doc["machine"]["lockdown"]);
    ASSERT_EQ(5u, doc["gpus"].size());
    const auto& gpu0 = doc["gpus"][0];
    EXPECT_EQ("0000:03:00.0", gpu0["bus"]);
    EXPECT_EQ("0x0002", gpu0["deviceId"]);
    EXPECT_EQ("0", gpu0["numaNode"]);
    EXPECT_EQ("0-1\"\x01\u00ff", gpu0["localCpus"]);
    EXPECT_EQ("3", gpu0["iommuGroup"]);
    EXPECT_EQ("0x38bff0000000", gpu0["bar0Base"]);
    EXPECT_EQ(4u << 20, gpu0["bar0Size"]);
    EXPECT_EQ("RE-A3", gpu0["product"]);
    EXPECT_EQ(nullptr, gpu0["productReason"]);
    EXPECT_EQ("RE-31", doc["gpus"][2]["product"]);
    EXPECT_EQ("valid", gpu0["record"]["state"]);
    EXPECT_EQ(nullptr, gpu0["record"]["reason"]);
    EXPECT_EQ("0x38bff0000000", gpu0["record"]["base"]);
    EXPECT_EQ(true, gpu0["record"]["current"]);
    EXPECT_EQ("0000:02:08.0", gpu0["redirectedBy"]);
    EXPECT_EQ("Downstream Port", gpu0["path"][2]["type"]);
    EXPECT_EQ(0x5f, gpu0["path"][2]["acsCtlValue"]);
    const nlohmann::json links = nlohmann::json::parse(R"([
        ["X",   "PIX", "PXB", "NODE", "SYS"],
        ["PIX", "X",   "PXB", "NODE", "SYS"],
        ["PXB", "PXB", "X",   "NODE", "SYS"],
        ["NODE","NODE","NODE","X",    "SYS"],
        ["SYS", "SYS", "SYS", "SYS",  "X"]])");
    EXPECT_EQ(links, doc["links"]);
    EXPECT_EQ(true, doc["redirected"][0][1]);
    EXPECT_EQ(true, doc["redirected"][0][2]);
    EXPECT_EQ(false, doc["redirected"][0][3]);
    EXPECT_EQ(false, doc["ready"]);
    EXPECT_EQ("qvgpu-vm-p2p --disable-acs", doc["fixes"][0]["command"]);
}

TEST(Status, UsageErrorsAndMachinesItCannotReadExitTwo)
{
    sim::Machine host(sim::switchedHost(1, 1, {0x0001}), sim::Side::Host);
    sim::RunOptions o = asUser(UID_NOBODY);
    o.program = sim::Machine::statusPath();
    sim::RunResult r = host.run({}, o);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Requires root privileges.\n", r.err);

    r = status(host, {"--jason"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("--jason")) << r.err;

    r = status(host, {"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("--json")) << r.out;

    r = host.shell("umount /sys/bus/pci/devices 2>/dev/null || rm -rf /sys/bus/pci/devices; " +
                   sim::Machine::statusPath());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Cannot open /sys/bus/pci/devices/: No such file or directory\n", r.err);
}

} // namespace
