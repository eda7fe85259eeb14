// ACS disabling on the host, with the real setpci writing the simulated
// configuration spaces.
#include "files.h"
#include "helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <unistd.h>

using namespace qvtest;

namespace {

const uint32_t ACS_CONTROL = sim::ACS_ECAP + 6;

// Every port carries an ACS capability whose control register has bits set
// in both bytes, so that a write to the wrong port or byte shows.
sim::Topology withAcsEverywhere(sim::Topology t)
{
    for (const sim::Device* d : t.all()) {
        sim::Device* port = t.find(d->bdf);
        if (port->type != sim::PortType::Endpoint) {
            port->acs = true;
            port->acsControl = 0x1a5f;
        }
    }
    return t;
}

uint16_t acsControl(const sim::Machine& m, const std::string& bdf)
{
    return m.config16(bdf, ACS_CONTROL);
}

// True when every device but the listed ports kept its ACS control, and
// those ports had exactly the low byte cleared.
void expectCleared(const sim::Machine& m, const std::vector<std::string>& cleared)
{
    for (const sim::Device* d : m.topology().all()) {
        if (!d->acs)
            continue;
        const bool shouldClear =
            std::find(cleared.begin(), cleared.end(), d->bdf) != cleared.end();
        EXPECT_EQ(shouldClear ? 0x1a00 : 0x1a5f, acsControl(m, d->bdf)) << d->bdf;
    }
}

// Nothing but the ACS control and, for the GPUs, waking them changed.
void expectNothingElseWritten(const sim::Machine& m)
{
    for (const sim::Device* d : m.topology().all()) {
        auto now = m.config(d->bdf);
        auto was = sim::configSpace(*d);
        now[ACS_CONTROL] = was[ACS_CONTROL];
        if (d->isGpu && d->vendor == sim::QV_VENDOR) {
            EXPECT_TRUE(woken(m, d->bdf));
            for (uint32_t at : {0x04u, 0x05u, sim::PM_CAP + 4, sim::PM_CAP + 5})
                now[at] = was[at];
        }
        EXPECT_EQ(was, now) << d->bdf;
    }
}

TEST(DisableAcs, ClearsOnlyTheDownstreamPortsAboveTheGpus)
{
    sim::Machine host(withAcsEverywhere(sim::switchedHost(1, 2, {0x0001, 0x0002})), sim::Side::Host);
    const sim::RunResult r = host.run({"--disable-acs"});
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0, r.status);
    expectCleared(host, {"0000:02:08.0", "0000:02:10.0"});
    expectNothingElseWritten(host);
}

TEST(DisableAcs, AGpuUnderARootPortNeedsNoWrite)
{
    sim::Topology t;
    t.rootPort("0000:00:01.0").gpu("0000:01:00.0", 0x0210, 0x38bff0000000ull);
    sim::Machine host(withAcsEverywhere(std::move(t)), sim::Side::Host);
    const sim::RunResult r = host.run({"--disable-acs"});
    EXPECT_EQ(0, r.status);
    expectCleared(host, {});
    expectNothingElseWritten(host);
}

TEST(DisableAcs, SeveralSwitchesRootPortsAndOtherDevices)
{
    sim::Topology t = sim::switchedHost(2, 3, {0x0001, 0x0002, 0x0210});
    t.rootPort("0000:00:1c.0").gpu("0000:40:00.0", 0x0002, 0x30000000000ull);
    // A switch whose ports lead to no GPU of ours keeps its ACS.
    sim::Device& up = t.rootPort("0000:00:1d.0").port("0000:50:00.0", sim::PortType::SwitchUpstream);
    up.port("0000:51:08.0", sim::PortType::SwitchDownstream).other("0000:52:00.0", 0x15b3, 0x101b);
    // A switch port with one of our GPUs and one of another vendor.
    up.port("0000:51:10.0", sim::PortType::SwitchDownstream).gpu("0000:53:00.0", 0x0001, 0x31000000000ull);
    sim::Machine host(withAcsEverywhere(std::move(t)), sim::Side::Host);
    const sim::RunResult r = host.run({"--disable-acs"});
    EXPECT_EQ("", r.out + r.err);
    EXPECT_EQ(0, r.status);
    expectCleared(host, {"0000:02:08.0", "0000:02:10.0", "0000:02:18.0", "0000:07:08.0",
                         "0000:07:10.0", "0000:07:18.0", "0000:51:10.0"});
    expectNothingElseWritten(host);
}

TEST(DisableAcs, WorksInDomainsWiderThanFourDigits)
{
    // GPUs behind an Intel VMD controller: their root bus is hosted by it.
    sim::Topology t = withAcsEverywhere(sim::switchedHost(1, 2, {0x0001}, "10000"));
    sim::Topology host0;
    sim::Device& vmd = host0.add(sim::makeOther("0000:00:0e.0", 0x8086, 0x467f));
    vmd.childBusDir = "pci10000:00";
    for (auto& root : t.roots())
        vmd.add(root);
    sim::Machine host(std::move(host0), sim::Side::Host);
    const sim::RunResult r = host.run({"--disable-acs", "--store-data"});
    EXPECT_EQ(STORE_SUCCESS, r.out);
    EXPECT_EQ(0, r.status);
    expectCleared(host, {"10000:02:08.0", "10000:02:10.0"});
    for (const auto& gpu : host.topology().gpus())
        EXPECT_EQ(recordBytes(0x0001, host.topology().find(gpu)->bar0), memoryRecord(host, gpu));
}

// Points the bus/pci/devices links of `bdfs` at their directories after a
// move: `inserted` goes into each link's target before `before`.
void relink(const sim::Machine& host, const std::vector<std::string>& bdfs,
            const std::string& before, const std::string& inserted)
{
    for (const std::string& bdf : bdfs) {
        const std::string link = host.sysPath("bus/pci/devices/") + bdf;
        char buf[512];
        const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
        ASSERT_GT(n, 0);
        std::string target(buf, static_cast<std::size_t>(n));
        target.insert(target.find(before), inserted);
        ::unlink(link.c_str());
        sim::makeSymlink(target, link);
    }
}

TEST(DisableAcs, APathOfAnotherShapeIsSkippedAndTheRestDone)
{
    sim::Machine host(withAcsEverywhere(sim::switchedHost(2, 1, {0x0001})), sim::Side::Host);
    // Move the first GPU's port under a directory that is no device.
    const std::string port = host.devicePath("0000:02:08.0");
    const std::string parent = port.substr(0, port.rfind('/'));
    sim::makeDirs(parent + "/odd");
    ASSERT_EQ(0, ::rename(port.c_str(), (parent + "/odd/0000:02:08.0").c_str()));
    relink(host, {"0000:02:08.0", "0000:03:00.0"}, "0000:02:08.0", "odd/");
    const sim::RunResult r = host.run({"--disable-acs"});
    EXPECT_EQ("\033[33mWarning: cannot find the PCI path of 0000:03:00.0, its ports keep their ACS "
              "settings!\033[0m\n",
              r.out);
    EXPECT_EQ(0, r.status);
    expectCleared(host, {"0000:05:08.0"});
}

TEST(DisableAcs, APciRootBelowAPlatformDeviceIsFoundToo)
{
    // Device-tree and many ARM64 hosts: the host bridge is a platform device.
    sim::Machine host(withAcsEverywhere(sim::switchedHost(2, 1, {0x0001})), sim::Side::Host);
    const std::string devices = host.sysPath("devices/");
    sim::makeDirs(devices + "platform/soc");
    ASSERT_EQ(0, ::rename((devices + "pci0000:00").c_str(), (devices + "platform/soc/pci0000:00").c_str()));
    std::vector<std::string> all;
    for (const sim::Device* d : host.topology().all())
        all.push_back(d->bdf);
    relink(host, all, "pci0000:00", "platform/soc/");
    const sim::RunResult r = host.run({"--disable-acs"});
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0, r.status);
    expectCleared(host, {"0000:02:08.0", "0000:05:08.0"});
}

TEST(DisableAcs, ADownstreamPortWithoutAcsIsReportedBySetpciAndTheWalkGoesOn)
{
    sim::Topology t = withAcsEverywhere(sim::switchedHost(1, 2, {0x0001}));
    t.find("0000:02:08.0")->acs = false;
    sim::Machine host(std::move(t), sim::Side::Host);
    const sim::RunResult r = host.run({"--disable-acs"});
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("setpci: 0000:02:08.0: "));
    EXPECT_NE(std::string::npos, r.err.find("Extended capability 000d not found"));
    EXPECT_EQ(0, r.status);
    expectCleared(host, {"0000:02:10.0"});
}

std::string acsNotCleared(const std::string& port, const std::string& why)
{
    return "\033[31mError: cannot disable ACS on " + port + ": " + why + "!\033[0m\n";
}

TEST(DisableAcs, PortsThatKeepTheirAcsAreReadBackAndReported)
{
    // Three downstream ports: one with ACS on, one without the capability
    // (nothing to clear), one whose extended configuration space cannot be
    // read; and a kernel that refuses every configuration write.
    sim::Topology t = withAcsEverywhere(sim::switchedHost(1, 3, {0x0001}));
    t.find("0000:02:10.0")->acs = false;
    sim::Machine host(std::move(t), sim::Side::Host);
    const std::string cut = host.devicePath("0000:02:18.0") + "/config";
    ASSERT_EQ(0, ::truncate(cut.c_str(), 256));
    const sim::RunResult r = host.run({"--disable-acs"}, withCommand(host, "setpci", setpciRefusing("*=*")));
    EXPECT_EQ(acsNotCleared("0000:02:08.0", "its ACS Control reads 0x1a5f") +
                  acsNotCleared("0000:02:18.0",
                                "only 256 bytes of configuration space could be read") +
                  "\033[31mError: disable ACS failed for 2 of 3 switch ports!\033[0m\n",
              r.out);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(0x1a5f, acsControl(host, "0000:02:08.0"));

    // Only the ACS writes refused: the store still runs and says how it
    // went, and the run ends with the ACS failure.
    sim::Machine second(withAcsEverywhere(sim::switchedHost(1, 2, {0x0002})), sim::Side::Host);
    const sim::RunResult both = second.run({"--disable-acs", "--store-data"},
                                           withCommand(second, "setpci", setpciRefusing("ecap_acs*")));
    EXPECT_EQ(acsNotCleared("0000:02:08.0", "its ACS Control reads 0x1a5f") +
                  acsNotCleared("0000:02:10.0", "its ACS Control reads 0x1a5f") + STORE_SUCCESS +
                  "\033[31mError: disable ACS failed for 2 of 2 switch ports!\033[0m\n",
              both.out);
    EXPECT_EQ(255, both.status);
    for (const auto& gpu : second.topology().gpus()) {
        EXPECT_TRUE(woken(second, gpu));
        EXPECT_EQ(recordBytes(0x0002, second.topology().find(gpu)->bar0), memoryRecord(second, gpu));
    }
}

TEST(DisableAcs, InAGuestOnlyWarnsAndWritesNothing)
{
    sim::Machine guest(withAcsEverywhere(sim::switchedHost(1, 2, {0x0001})), sim::Side::Guest);
    const sim::RunResult r = guest.run({"--disable-acs", "--store-data"});
    EXPECT_EQ(ACS_IN_GUEST, r.out);
    EXPECT_EQ(255, r.status);
    expectCleared(guest, {});
    for (const auto& gpu : guest.topology().gpus())
        EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(guest, gpu));
}

sim::RunResult statusOf(const sim::Machine& m, const std::vector<std::string>& args)
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    return m.run(args, o);
}

// The switch downstream ports the report finds kept off by the kernel.
std::set<std::string> keptOff(const sim::Machine& m)
{
    const nlohmann::json doc = nlohmann::json::parse(statusOf(m, {"--json"}).out);
    std::set<std::string> kept;
    for (const auto& port : doc["ports"])
        if (port["keptOffByKernel"] == true)
            kept.insert(port["bus"].get<std::string>());
    return kept;
}

const char* const BOTH = "pci=disable_acs_redir=0000:00:01.0/00.0/08.0;0000:00:01.0/00.0/10.0";

TEST(KernelAcs, NamesInPathFormExactlyThePortsTheToolWrites)
{
    // Nested switches; a domain above 0000; the same host with its buses
    // renumbered (a card added before it), which keeps the names; a GPU
    // alone on a root port, which needs no parameter.
    sim::Topology nested;
    sim::Device& up = nested.rootPort("0000:00:01.0").port("0000:01:00.0", sim::PortType::SwitchUpstream, false);
    up.port("0000:02:08.0", sim::PortType::SwitchDownstream).gpu("0000:03:00.0", 0x0001, 0x38bff0000000ull);
    up.port("0000:02:10.0", sim::PortType::SwitchDownstream)
        .port("0000:05:00.0", sim::PortType::SwitchUpstream, false)
        .port("0000:06:08.0", sim::PortType::SwitchDownstream)
        .gpu("0000:07:00.0", 0x0001, 0x38bfe0000000ull);
    sim::Topology renumbered;
    sim::Device& up5 = renumbered.rootPort("0000:00:01.0").port("0000:05:00.0", sim::PortType::SwitchUpstream, false);
    up5.port("0000:06:08.0", sim::PortType::SwitchDownstream).gpu("0000:07:00.0", 0x0001, 0x38bff0000000ull);
    up5.port("0000:06:10.0", sim::PortType::SwitchDownstream).gpu("0000:08:00.0", 0x0001, 0x38bfe0000000ull);
    sim::Topology alone;
    alone.rootPort("0000:00:01.0").gpu("0000:01:00.0", 0x0001, 0x38bff0000000ull);
    const struct {
        const char* shape;
        sim::Topology topology;
        std::string line;
    } rows[] = {
        {"nested", nested,
         "pci=disable_acs_redir=0000:00:01.0/00.0/08.0;0000:00:01.0/00.0/10.0;"
         "0000:00:01.0/00.0/10.0/00.0/08.0\n"},
        {"domain 0001", sim::switchedHost(1, 2, {0x0001}, "0001"),
         "pci=disable_acs_redir=0001:00:01.0/00.0/08.0;0001:00:01.0/00.0/10.0\n"},
        {"flat", sim::switchedHost(1, 2, {0x0001}), std::string(BOTH) + "\n"},
        {"renumbered", renumbered, std::string(BOTH) + "\n"},
        {"alone", alone, ""},
    };
    for (const auto& row : rows) {
        sim::Machine host(withAcsEverywhere(row.topology), sim::Side::Host);
        const sim::RunResult r = statusOf(host, {"--kernel-acs"});
        EXPECT_EQ(row.line, r.out) << row.shape;
        EXPECT_EQ(row.line.empty() ? 1 : 0, r.status) << row.shape << r.err;
        // The kernel, reading that line by its rules, keeps off just what
        // the tool writes.
        ASSERT_EQ(0, host.run({"--disable-acs"}).status) << row.shape;
        std::set<std::string> written;
        for (const sim::Device* d : host.topology().all())
            if (d->acs && acsControl(host, d->bdf) != d->acsControl)
                written.insert(d->bdf);
        host.setKernelCommandLine("ro quiet " + r.out.substr(0, r.out.find('\n')));
        EXPECT_EQ(written, keptOff(host)) << row.shape;
    }

    sim::Machine guest(sim::switchedHost(1, 2, {0x0001}), sim::Side::Guest);
    const sim::RunResult r = statusOf(guest, {"--kernel-acs"});
    EXPECT_EQ("", r.out);
    EXPECT_EQ("This is a guest: ACS is the host's to keep off.\n", r.err);
    EXPECT_EQ(2, r.status);
}

TEST(KernelAcs, TheReportAndTheParameterFollowTheKernelCommandLine)
{
    sim::Machine host(sim::switchedHost(1, 2, {0x0001}), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    const std::string both = BOTH;
    const std::set<std::string> none, all = {"0000:02:08.0", "0000:02:10.0"};
    const struct {
        std::string commandLine;
        std::set<std::string> kept;
        std::string line;   // what --kernel-acs prints then
    } rows[] = {
        {"ro quiet", none, both},
        {"ro " + both + " quiet", all, both},
        {"ro \"" + both + "\"", all, both},
        {"pci=noaer,disable_acs_redir=0000:00:01.0/00.0/08.0;0000:00:01.0/00.0/10.0,realloc", all,
         both},
        // Part of the list, by plain address: ours are named anew.
        {"pci=disable_acs_redir=0000:02:08.0", {"0000:02:08.0"}, both},
        // The administrator's own devices stay.
        {"pci=disable_acs_redir=0000:40:01.0;pci:8086:1234", none, both + ";0000:40:01.0;pci:8086:1234"},
        // Quotes inside the value, which the kernel cannot parse.
        {"pci=disable_acs_redir=\"0000:02:08.0;0000:02:10.0\"", none, both + ";\"0000:02:08.0;0000:02:10.0\""},
        // Only the last list counts.
        {both + " pci=disable_acs_redir=0000:40:01.0", none, both + ";0000:40:01.0"},
    };
    for (const auto& row : rows) {
        host.setKernelCommandLine(row.commandLine);
        EXPECT_EQ(row.kept, keptOff(host)) << row.commandLine;
        EXPECT_EQ(row.line + "\n", statusOf(host, {"--kernel-acs"}).out) << row.commandLine;
    }

    // A port whose redirects are off now but that the kernel does not keep
    // off is a warning; a port that redirects gets the lasting fix beside
    // the one for now.
    host.setKernelCommandLine("pci=disable_acs_redir=0000:02:08.0");
    sim::RunResult r = statusOf(host, {});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("\nWarnings\n"
                         "  - ACS does not redirect peer traffic on 0000:02:10.0 now but the kernel "
                         "turns redirection on again\n"
                         "    whenever it restores a port (after a reset or a low-power state); to "
                         "keep it off add the\n"
                         "    parameter that qvgpu-vm-p2p-status --kernel-acs prints to the kernel "
                         "command line and reboot\n"
                         "    (see KEEPING ACS OFF in man qvgpu-vm-p2p-status)\n"))
        << r.out;
    sim::pokeWord(host.devicePath("0000:02:10.0") + "/config", sim::ACS_ECAP + 4, 0x005f005f);
    r = statusOf(host, {});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("     ACS stays off until the kernel restores a port; to keep it off, add "
                         "the parameter that\n"
                         "       qvgpu-vm-p2p-status --kernel-acs prints to the kernel command line "
                         "and reboot\n"
                         "     run: qvgpu-vm-p2p --disable-acs\n"))
        << r.out;
}

} // namespace
