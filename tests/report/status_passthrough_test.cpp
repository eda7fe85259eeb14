// qvgpu-vm-p2p-status on hosts that pass GPUs through: the guests that hold
// them, isolation between guests, and GPUs idle under vfio-pci.
#include "driver.h"
#include "files.h"
#include "status_helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace qvtest;

namespace {

TEST(Status, GuestsHoldingGpusAndWhetherTheyAreKeptApart)
{
    sim::Topology t = sim::switchedHost(1, 2, {0x0001, 0x0002});
    t.find("0000:03:00.0")->iommuGroup = 3;
    t.find("0000:04:00.0")->iommuGroup = 4;
    sim::Machine host(std::move(t), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    keepAcsOffByKernel(host);

    // With ACS off the two reach each other, whatever their groups.
    const std::string split =
        "  - GPUs below the switch at 0000:01:00.0 reach each other's memory without the IOMMU,\n"
        "    although the kernel put them in different IOMMU groups: 0000:03:00.0 (IOMMU group 3) and\n"
        "    0000:04:00.0 (IOMMU group 4); give all GPUs below one switch to one guest\n";
    sim::RunResult r = withGuests(host, {{"guest=vm1,debug-threads=on", {3, 4}}});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\nWarnings\n" + split + "\nVerdict: ready\n")) << r.out;
    EXPECT_NE(std::string::npos, gpuLine(r.out, "0000:04:00.0").find(" 4 -, vm1 (qemu-system-x86, pid "))
        << r.out;

    // The memory of a GPU a guest holds is never looked at here, not even
    // its registers': the guest checks it.
    const std::string notChecked = "  2 GPUs in use by guests: records not checked here (each guest's "
                                   "own report checks them)\n";
    EXPECT_NE(std::string::npos, r.out.find("\nVerdict: ready\n" + notChecked)) << r.out;
    const std::string held = gpuLine(r.out, "0000:04:00.0");
    EXPECT_NE(std::string::npos, held.find(" unknown (in use by vm1 (qemu-system-x86,")) << held;
    EXPECT_NE(std::string::npos,
              held.find("| 0x38bfe0000000 4M stored this boot, not checked: in use by vm1 "
                        "(qemu-system-x86, pid "))
        << r.out;

    // Two guests, one of them another user's: a hole between tenants.
    r = withGuests(host, {{"guest=vm1", {3}}, {"vm2", {4}, true}}, "--json");
    EXPECT_EQ(1, r.status) << r.out << r.err;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("qemu-system-x86", doc["gpus"][1]["inUseBy"]["name"]);
    EXPECT_EQ("vm2", doc["gpus"][1]["inUseBy"]["guest"]);
    EXPECT_LT(0, doc["gpus"][1]["inUseBy"]["pid"].get<int>());
    ASSERT_EQ(1u, doc["isolation"]["breaches"].size());
    EXPECT_EQ("0000:01:00.0", doc["isolation"]["breaches"][0]["switch"]);
    EXPECT_EQ("vm1", doc["isolation"]["breaches"][0]["gpus"][0]["inUseBy"]["guest"]);
    EXPECT_EQ("4", doc["isolation"]["breaches"][0]["gpus"][1]["iommuGroup"]);
    const std::string problem = doc["fixes"][0]["problems"][0];
    EXPECT_EQ(0u, problem.find("GPUs in use by different guests reach each other's memory without "
                               "the IOMMU: 0000:03:00.0 (IOMMU group 3, in use by vm1 "
                               "(qemu-system-x86, pid "))
        << problem;
    EXPECT_EQ(nullptr, doc["fixes"][0]["command"]);

    // Redirecting ACS is what keeps two guests apart: nothing to fix.
    for (const char* port : {"0000:02:08.0", "0000:02:10.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x005f005f);
    r = withGuests(host, {{"guest=vm1", {3}}, {"vm2", {4}}});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n" + notChecked, verdictOf(r.out));

    // A stale record of a GPU no guest holds is stored again beside the
    // running guest, which the store leaves alone.
    for (const char* port : {"0000:02:08.0", "0000:02:10.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x0000005f);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    r = withGuests(host, {{"guest=vm1", {3}}});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1 GPU in use by guests: records not checked here (each guest's own report checks "
              "them)\n"
              "  1. the record holds another BAR0 base than the GPU has now (stale after a BAR "
              "reassignment):\n"
              "       0000:04:00.0\n"
              "     run: qvgpu-vm-p2p --store-data\n",
              verdictOf(r.out));

    // A GPU a guest holds whose BAR0 this boot's store did not record: its
    // guest must be shut down for a store to reach it.
    r = withGuests(host, {{"guest=vm1", {4}}});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Verdict: not ready\n"
              "  1 GPU in use by guests: records not checked here (each guest's own report checks "
              "them)\n"
              "  1. no store this boot wrote today's record into these GPUs, whose memory is left "
              "alone:\n"
              "       0000:04:00.0 (stored this boot with BAR0 base 0x38bfe0000000, not today's)\n"
              "     run with the guests that hold them shut down,\n"
              "       then start those guests again (the libvirt hook does it at each guest's start):\n"
              "       qvgpu-vm-p2p --store-data\n",
              verdictOf(r.out));
}

// vfio-pci runtime-suspends the GPUs no guest uses: an idle passthrough
// host is ready, and the report touches none of its GPUs' BARs (nor the
// configuration space of one the kernel holds in D3cold).  A holder it
// cannot see leaves in-use and isolation unjudged.
TEST(Status, PassthroughHostsIdleOrWithHoldersItCannotSee)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001});
    for (int g = 0; g < 3; ++g)
        t.find(t.gpus()[g])->iommuGroup = 3 + g;
    sim::Machine host(std::move(t), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    for (const std::string& bdf : host.topology().gpus()) {
        host.bindDriver(bdf, "vfio-pci");
        const bool cold = bdf == "0000:05:00.0";
        host.setKernelPower(bdf, "suspended", cold ? "D3cold" : "D3hot");
        sim::pokeWord(host.devicePath(bdf) + "/config", sim::PM_CAP + 4, 0x0003);
    }
    sim::RunResult r;
    EXPECT_EQ(0, tracedStatus(host, r)) << "no BAR mapped";
    EXPECT_EQ(0, r.status) << r.out;
    const std::string trace = sim::readFile(host.sysPath("../status.trace"));
    EXPECT_EQ(std::string::npos, trace.find("/resource0\"")) << trace;
    EXPECT_EQ(std::string::npos, trace.find("/resource2\"")) << trace;
    EXPECT_EQ(std::string::npos, trace.find("0000:05:00.0/config\"")) << "it would wake in D3cold";
    EXPECT_EQ("Verdict: ready\n"
              "  3 GPUs asleep under vfio-pci with no guest: records not checked (vfio-pci wakes them "
              "when a guest starts)\n",
              verdictOf(r.out));
    EXPECT_EQ("0000:03:00.0 0x0001 ? 0-1 3 vfio-pci unknown (asleep under vfio-pci) | 0x38bff0000000 "
              "4M stored this boot, not checked: asleep under vfio-pci, which wakes it",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_NE(std::string::npos, r.out.find("when a guest starts; its memory may not survive that "
                                            "wake (no\n"))
        << r.out;

    // Judged by this boot's stores: at the next boot (an empty /run), or
    // after the GPU's BAR0 moved, an idle host whose store did not run is
    // no longer ready, even with ACS off; one held in D3cold is judged by
    // the kernel's resource list.
    const std::string stored = host.sysPath("../run/qvgpu-vm-p2p/stored");
    const std::string thisBoot = sim::readFile(stored);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    ASSERT_EQ(0, std::remove(stored.c_str()));
    EXPECT_EQ(0, host.run({"--disable-acs"}).status);
    r = status(host, {"--json"});
    EXPECT_EQ(1, r.status) << r.out;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ((std::vector<std::string>{"no store recorded this boot (no file "
                                        "/run/qvgpu-vm-p2p/stored), and the memory of these GPUs "
                                        "is left alone: 0000:03:00.0, 0000:04:00.0, 0000:05:00.0"}),
              doc["fixes"][0]["problems"].get<std::vector<std::string>>());
    EXPECT_EQ("qvgpu-vm-p2p --store-data", doc["fixes"][0]["command"]);
    EXPECT_EQ(nullptr, doc["fixes"][0]["where"]);
    EXPECT_EQ("missing", doc["gpus"][0]["record"]["storedThisBoot"]);
    sim::writeFile(stored, thisBoot);
    r = status(host, {"--prometheus"});
    EXPECT_NE(std::string::npos, r.out.find("\nqvgpu_vm_p2p_problems{kind=\"record_not_stored\"} 1\n"))
        << r.out;
    r = status(host, {"--json"});
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("stale", doc["gpus"][1]["record"]["storedThisBoot"]);
    EXPECT_EQ("current", doc["gpus"][2]["record"]["storedThisBoot"]);
    EXPECT_EQ(nullptr, doc["gpus"][2]["bar0Base"]);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0xe000000c);

    // A guest of another user, seen by a report without CAP_SYS_PTRACE and
    // CAP_DAC_READ_SEARCH: never "free", never "no breach".
    r = withGuests(host, {{"vm2", {4}, true}}, "--json",
                   "setpriv --inh-caps=-all --bounding-set=-sys_ptrace,-dac_read_search");
    EXPECT_EQ(1, r.status) << r.out << r.err;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(false, doc["machine"]["holdersJudged"]);
    // The holder, another user's, and the namespace's first process, whose
    // capabilities the report's own do not cover.
    EXPECT_EQ(2, doc["machine"]["unseenProcesses"]);
    EXPECT_EQ(false, doc["isolation"]["judged"]);
    // The kernel counts its guest's open (its "enable"): held, if unnamed;
    // the others may have a holder the report cannot see.
    const std::string unseenWhere =
        "as root with CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH, in the host's own process namespace "
        "(the metrics unit runs so)";
    EXPECT_EQ((std::vector<std::string>{
                  "which guests hold these GPUs under VFIO, and isolation between guests, are not "
                  "judged: 0000:03:00.0 (not open, but a process the report cannot see may hold its "
                  "VFIO file), 0000:04:00.0 (open, by a process the report cannot see), "
                  "0000:05:00.0 (not open, but a process the report cannot see may hold its VFIO "
                  "file); the descriptors of 2 processes cannot be read"}),
              doc["fixes"][0]["problems"].get<std::vector<std::string>>());
    EXPECT_EQ("qvgpu-vm-p2p-status", doc["fixes"][0]["command"]);
    EXPECT_EQ(unseenWhere, doc["fixes"][0]["where"]);
    EXPECT_EQ("not checked", doc["gpus"][1]["record"]["state"]);
    EXPECT_EQ("open, by a process the report cannot see", doc["gpus"][1]["record"]["reason"]);
    EXPECT_EQ("whether a guest holds it cannot be seen", doc["gpus"][0]["record"]["reason"]);
    // With CAP_SYS_PTRACE but neither DAC capability, the other user's
    // descriptors cannot even be listed: that process alone is missed, and
    // an idle GPU it may hold is still not free.
    r = withGuests(host, {{"vm2", {4}, true}}, "--json",
                   "setpriv --inh-caps=-all --bounding-set=-dac_read_search,-dac_override");
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out << r.err;
    EXPECT_EQ(1, doc["machine"]["unseenProcesses"]);
    EXPECT_EQ("whether a guest holds it cannot be seen", doc["gpus"][0]["record"]["reason"]);
    r = withGuests(host, {{"vm2", {4}, true}}, "--prometheus",
                   "setpriv --inh-caps=-all --bounding-set=-sys_ptrace,-dac_read_search");
    EXPECT_NE(std::string::npos, r.out.find("\nqvgpu_vm_p2p_gpu_in_use{pci_address=\"0000:04:00.0\"} 1\n"))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("qvgpu_vm_p2p_gpu_in_use{pci_address=\"0000:03:00.0\"}"))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("\nqvgpu_vm_p2p_isolation_breaches ")) << r.out;

    // In a container, a report that sees every process of its own /proc
    // sees none of the host's hypervisors: the open GPU is still held, and
    // the tool there leaves it alone.
    r = besideGuests(host, {{"vm2", {4}}}, sim::Machine::statusPath() + " --json", true);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(0, doc["machine"]["unseenProcesses"]);
    EXPECT_EQ(false, doc["isolation"]["judged"]);
    EXPECT_EQ((std::vector<std::string>{
                  "which guests hold these GPUs under VFIO, and isolation between guests, are not "
                  "judged: 0000:04:00.0 (open, by a process the report cannot see); no process of "
                  "this /proc holds them: the report runs in a process namespace of its own, such "
                  "as a container's"}),
              doc["fixes"][0]["problems"].get<std::vector<std::string>>());
    EXPECT_EQ(unseenWhere, doc["fixes"][0]["where"]);
    EXPECT_EQ("asleep under vfio-pci, which wakes it when a guest starts; its memory may not "
              "survive that wake (no No_Soft_Reset)",
              doc["gpus"][0]["record"]["reason"]);
    const std::string memory = sim::readFile(host.devicePath("0000:04:00.0") + "/resource0");
    r = besideGuests(host, {{"vm2", {4}}}, sim::Machine::toolPath() + " --store-data", true);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(0u, r.out.find("\033[33m[0000:04:00.0]: GPU IN USE by a process this run cannot see, "
                             "left alone.\033[0m\n"))
        << r.out;
    EXPECT_EQ(memory, sim::readFile(host.devicePath("0000:04:00.0") + "/resource0"));

    // Other passthrough drivers: a variant of vfio-pci, known by its name
    // and its group file.
    host.bindDriver("0000:04:00.0", "nvgrace_gpu_vfio_pci");
    host.bindDriver("0000:05:00.0", "xen_vfio_helper");
    sim::writeFile(host.devPath("vfio/4"), "");
    r = status(host, {"--json"});
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("vfio", doc["gpus"][1]["passthrough"]);
    EXPECT_EQ("not checked", doc["gpus"][1]["record"]["state"]) << "asleep under VFIO";
    EXPECT_EQ(nullptr, doc["gpus"][2]["passthrough"]) << "no group file of its own";
}

// Xen's pciback: a domU behind pcifront has the GPU enabled; QEMU's Xen
// passthrough in dom0 holds the GPU's sysfs configuration space open, or
// maps its BARs; a domain's PCI backend names its devices in xenstore
// alone.  A GPU idle by all of these is free, as a dom0 that hides its
// GPUs at boot leaves them.
TEST(Status, XensPcibackHoldsAGpuOnlyWhileADomainUsesIt)
{
    sim::Machine host(sim::switchedHost(1, 2, {0x0001}), sim::Side::Host);
    keepAcsOffByKernel(host);
    for (const std::string& bdf : host.topology().gpus())
        host.bindDriver(bdf, "pciback");
    sim::RunResult r = host.run({"--disable-acs", "--store-data"});
    EXPECT_EQ(0, r.status) << r.out;
    for (const std::string& bdf : host.topology().gpus())
        EXPECT_EQ(recordBytes(0x0001, host.topology().find(bdf)->bar0), memoryRecord(host, bdf));
    EXPECT_EQ("exit 0\n", fixesOf(host));

    const std::string first = "0000:03:00.0", second = "0000:04:00.0";
    const std::string dir = host.devicePath(second).substr(host.sysPath("").size() - 1);
    auto holders = [&](const std::vector<Guest>& guests) {
        nlohmann::json doc;
        const sim::RunResult run = withGuests(host, guests, "--json");
        EXPECT_NO_THROW(doc = nlohmann::json::parse(run.out)) << run.out << run.err;
        std::string text;
        for (const auto& gpu : doc["gpus"])
            text += gpu["inUseBy"].is_null() ? "free " : gpu["inUseBy"]["name"].get<std::string>() + " ";
        return text;
    };
    // QEMU's passthrough with the configuration space open, or a BAR mapped.
    EXPECT_EQ("free qemu-system-x86 ", holders({{"vm1", {}, false, false, {"/sys" + dir + "/config"}}}));
    EXPECT_EQ("free python3 ", holders({{"vm1", {}, false, false, {}, "/sys" + dir + "/resource0"}}));
    // pcifront has decoding on: pciback enabled the GPU.
    sim::writeFile(host.devicePath(first) + "/enable", "1\n");
    EXPECT_EQ("pciback free ", holders({}));
    r = host.run({"--store-data"});
    EXPECT_EQ(0u, r.out.find("\033[33m[" + first + "]: GPU IN USE by a Xen guest (pciback), left "
                             "alone.\033[0m\n"))
        << r.out;
    EXPECT_EQ("exit 0\n", fixesOf(host)) << "its record stored this boot";
    // Its BAR moved since: the store waits for its domain.
    sim::pokeWord(host.devicePath(first) + "/config", 0x10, 0x1000000c);
    EXPECT_EQ("exit 1\nrecord_not_stored " + first + " (stored this boot with BAR0 base "
              "0x38bff0000000, not today's) => qvgpu-vm-p2p --store-data (with the Xen domains "
              "that hold them shut down (xl shutdown), then start those domains again)\n",
              fixesOf(host));
    sim::pokeWord(host.devicePath(first) + "/config", 0x10, 0xf000000c);
    sim::writeFile(host.devicePath(first) + "/enable", "0\n");
    // A domain's PCI backend may name either.
    sim::makeDirs(host.sysPath("bus/xen-backend/devices/pci-1-0"));
    EXPECT_EQ("pciback pciback ", holders({}));
}

// VFIO's no-IOMMU mode as the kernel shows it: a group and no IOMMU, and
// the group's file /dev/vfio/noiommu-<group>, which a driver in user space
// holds.  It isolates nothing, and no guest can have it.
TEST(Status, ANoIommuGpuIsHeldByItsProcessAndIsolatesNothing)
{
    sim::Topology t = sim::switchedHost(1, 2, {0x0001});
    t.find("0000:03:00.0")->iommuGroup = 3;
    t.find("0000:04:00.0")->iommuGroup = 4;
    t.find("0000:04:00.0")->noIommu = true;
    sim::Machine host(std::move(t), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    host.bindDriver("0000:04:00.0", "vfio-pci");
    sim::RunResult r = status(host, {"--json"});
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ(false, doc["gpus"][0]["noIommu"]);
    EXPECT_EQ("4", doc["gpus"][1]["iommuGroup"]);
    EXPECT_EQ(true, doc["gpus"][1]["noIommu"]);
    EXPECT_EQ(nullptr, doc["gpus"][1]["inUseBy"]);
    ASSERT_EQ(2u, doc["warnings"].size()) << "and ACS not kept off: " << r.out;
    EXPECT_NE(std::string::npos, doc["warnings"][0].get<std::string>().find(
                                     "no-IOMMU mode, which isolate nothing"));
    EXPECT_NE(std::string::npos, doc["warnings"][0].get<std::string>().find("0000:04:00.0 (noiommu-4)"));
    r = status(host);
    EXPECT_NE(std::string::npos, gpuLine(r.out, "0000:04:00.0").find(" noiommu-4 vfio-pci ")) << r.out;
    r = status(host, {"--prometheus"});
    EXPECT_NE(std::string::npos, r.out.find("\nqvgpu_vm_p2p_gpu_noiommu{pci_address=\"0000:03:00.0\"} 0\n"
                                            "qvgpu_vm_p2p_gpu_noiommu{pci_address=\"0000:04:00.0\"} 1\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\nqvgpu_vm_p2p_warnings{kind=\"noiommu_group\"} 1\n"));

    // A process holding only the group file holds the GPU: the report names
    // it, and the tool leaves the GPU's memory alone.
    r = withGuests(host, {{"dpdk", {4}, false, true}}, "--json");
    ASSERT_NO_THROW(doc = nlohmann::json::parse(r.out)) << r.out;
    EXPECT_EQ("dpdk", doc["gpus"][1]["inUseBy"]["guest"]) << r.out;
    EXPECT_EQ("not checked", doc["gpus"][1]["record"]["state"]);
    EXPECT_EQ("held by dpdk (qemu-system-x86, pid N) under VFIO's no-IOMMU mode",
              withoutPids(doc["gpus"][1]["record"]["reason"]));
    r = withGuests(host, {{"dpdk", {4}, false, true}});
    EXPECT_NE(std::string::npos, r.out.find("\n  1 GPU held by processes under VFIO's no-IOMMU mode: "
                                            "records not checked\n"))
        << r.out;
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    const std::string memory = sim::readFile(host.devicePath("0000:04:00.0") + "/resource0");
    r = besideGuests(host, {{"dpdk", {4}, false, true}}, sim::Machine::toolPath() + " --store-data");
    EXPECT_NE(std::string::npos, withoutPids(r.out).find("[0000:04:00.0]: GPU IN USE by ")) << r.out;
    EXPECT_EQ(memory, sim::readFile(host.devicePath("0000:04:00.0") + "/resource0"));
}

} // namespace
