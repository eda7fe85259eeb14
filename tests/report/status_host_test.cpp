// qvgpu-vm-p2p-status run as a whole process on simulated hosts: its verdicts,
// its exit statuses, and that it changes nothing.
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

TEST(Status, AFreshHostIsNotReadyAndTheReportChangesNothing)
{
    sim::Machine host(twoSwitches(), sim::Side::Host);
    sim::RunResult r;
    // Sleeping GPUs are not even read.
    EXPECT_EQ(0, tracedStatus(host, r));
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ("", r.err);
    // One command does both, in the order the tool runs them.
    EXPECT_EQ("Verdict: not ready\n"
              "  1. ACS on switch downstream ports redirects peer traffic to the root complex: "
              "0000:02:08.0,\n"
              "       0000:02:10.0, 0000:06:08.0, 0000:06:10.0\n"
              "     the record cannot be read now (store it before any guest starts):\n"
              "       0000:03:00.0 (memory decoding is off), 0000:04:00.0 (memory decoding is off),\n"
              "       0000:07:00.0 (memory decoding is off), 0000:08:00.0 (memory decoding is off)\n"
              "     ACS stays off until the kernel restores a port; to keep it off, add the parameter that\n"
              "       qvgpu-vm-p2p-status --kernel-acs prints to the kernel command line and reboot\n"
              "     run: qvgpu-vm-p2p --disable-acs --store-data\n",
              verdictOf(r.out));
    // Every port once, in a tree.
    EXPECT_NE(std::string::npos,
              r.out.find("PCI tree\n"
                         "  pci0000:00\n"
                         "  +-0000:00:01.0 Root Port, x16 16GT/s (max x16 16GT/s), no ACS\n"
                         "  | \\-0000:01:00.0 Upstream Port, x16 16GT/s (max x16 16GT/s), no ACS\n"
                         "  |   +-0000:02:08.0 Downstream Port, x16 16GT/s (max x16 16GT/s), ACS "
                         "redirects peer traffic\n"
                         "  |   | | ACSCtl: SrcValid+ TransBlk+ ReqRedir+ CmpltRedir+ UpstreamFwd+ "
                         "EgressCtrl- DirectTrans+\n"
                         "  |   | \\-0000:03:00.0 GPU0, x16 16GT/s (max x16 16GT/s)\n"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  GPU0 X    PIX* PHB  PHB\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  IOMMU groups     none (no IOMMU, or it is off): "
                                            "isolation between guests not judged\n"))
        << r.out;

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
    EXPECT_EQ("0000:03:00.0 0x0001 ? 0-1 - - KA-C1 | 0x38bff0000000 4M valid, current",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_NE(std::string::npos, r.out.find("  GPU0 X    PIX  PHB  PHB\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Downstream Port, x16 16GT/s (max x16 16GT/s), ACS does "
                                            "not redirect\n")) << r.out;

    // The kernel gave the GPU a new BAR0 base after the record was stored.
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x10, 0x1000000c);
    sim::pokeWord(host.devicePath("0000:04:00.0") + "/config", 0x14, 0x00003900);
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("0000:04:00.0 0x0002 ? 0-1 - - RE-A3 | 0x390010000000 4M stale: 0x38bfe0000000",
              gpuLine(r.out, "0000:04:00.0"));
    EXPECT_EQ("exit 1\nrecord_stale 0000:04:00.0 => qvgpu-vm-p2p --store-data\n", fixesOf(host));
}

TEST(Status, DeviceMemoryThatCannotBeReadIsAFactNotACrash)
{
    sim::Topology t = sim::switchedHost(1, 3, {0x0001});
    t.find("0000:04:00.0")->bar0Size = 1u << 20;
    sim::Machine host(std::move(t), sim::Side::Host);
    host.run({"--disable-acs", "--store-data"});
    ::unlink((host.devicePath("0000:05:00.0") + "/resource0").c_str());
    EXPECT_EQ("exit 1\nmemory_unreadable 0000:04:00.0 (BAR0 is smaller than the 2 MiB window) "
              "0000:05:00.0 (no file /sys/bus/pci/devices/0000:05:00.0/resource0)\n",
              fixesOf(host));

    // A locked-down kernel maps no BAR: said once for the machine.
    host.setLockdown("integrity");
    sim::RunResult r = status(host);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("  kernel lockdown  integrity\n")) << r.out;
    EXPECT_EQ("0000:03:00.0 0x0001 ? 0-1 - - unknown (the kernel is locked down) | 0x38bff0000000 "
              "4M unreadable: the kernel is locked down (integrity)",
              gpuLine(r.out, "0000:03:00.0"));
    EXPECT_EQ("exit 1\nlocked_down\n", fixesOf(host));
}

TEST(Status, WhatTheReportCouldNotSeeIsAThingToFixNeverAPass)
{
    sim::Machine host(twoSwitches(), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    // One port gone, another cut to its conventional space while its ACS
    // (beyond it) redirects again.
    ::unlink((host.devicePath("0000:02:08.0") + "/config").c_str());
    sim::pokeWord(host.devicePath("0000:06:10.0") + "/config", 0x104, 0x005f005f);
    truncateConfig(host, "0000:06:10.0", 256);
    // One GPU with no configuration space at all, one cut before its power
    // state: neither is judged, and neither one's memory is touched.
    truncateConfig(host, "0000:03:00.0", 0);
    truncateConfig(host, "0000:08:00.0", 66);
    sim::RunResult r;
    // Of the 10 mappings of a ready host: the KA GPU's 2 and the RE GPU's 3.
    EXPECT_EQ(5, tracedStatus(host, r));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("exit 1\n"
              "gpu_state_unreadable 0000:03:00.0 (its configuration space is empty) 0000:08:00.0 "
              "(only 66 bytes of its configuration space could be read)\n"
              "acs_unknown 0000:02:08.0 (no file /sys/bus/pci/devices/0000:02:08.0/config) "
              "0000:06:10.0 (only 256 bytes of configuration space could be read)\n",
              fixesOf(host));
    EXPECT_NE(std::string::npos,
              gpuLine(r.out, "0000:08:00.0")
                  .find(" | ? 4M not checked: only 66 bytes of its configuration space could be read"))
        << r.out;
}

TEST(Status, PairsTurnAtTheirLowestSwitchAndAVmdIsNoSwitch)
{
    sim::Topology t = nestedAndVmd();
    sim::Machine host(std::move(t), sim::Side::Host);
    host.run({"--store-data"});
    sim::RunResult r = status(host);
    EXPECT_NE(std::string::npos, r.out.find("  GPU0 X    PIX* PXB  PHB  PHB\n"
                                            "  GPU1 PIX* X    PXB  PHB  PHB\n"
                                            "  GPU2 PXB  PXB  X    PHB  PHB\n"
                                            "  GPU3 PHB  PHB  PHB  X    PHB\n"))
        << r.out;
    EXPECT_EQ("exit 1\nacs_redirects 0000:04:08.0 0000:04:10.0 => qvgpu-vm-p2p --disable-acs\n",
              fixesOf(host));

    // Every port redirects: the inner switch's ports are named too.
    for (const char* port : {"0000:02:08.0", "0000:02:10.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x005f005f);
    r = status(host);
    EXPECT_NE(std::string::npos, r.out.find("  GPU2 PXB* PXB* X    PHB  PHB\n")) << r.out;
    EXPECT_EQ("exit 1\nacs_redirects 0000:02:08.0 0000:02:10.0 0000:04:08.0 0000:04:10.0 => "
              "qvgpu-vm-p2p --disable-acs\n",
              fixesOf(host));
}

TEST(Status, SixtyFourGpusFitOnAScreenAndNarrowLinksAreWarnings)
{
    sim::Topology t = sim::switchedHost(16, 4, {0x0001, 0x0002});
    t.find("0000:04:00.0")->linkWidth = 8;
    // A device of the maker that the tool does not handle.
    t.rootPort("0000:00:1f.0").gpu("0000:f0:00.0", 0x0999, 0x100000000000ull);
    sim::Machine host(std::move(t), sim::Side::Host);
    host.run({"--disable-acs", "--store-data"});
    keepAcsOffByKernel(host);
    sim::RunResult r = status(host);
    EXPECT_EQ(0, r.status) << r.out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 100u) << line;
    EXPECT_EQ(std::string::npos, r.out.find("GPU0 X")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  65 GPUs, in groups (--matrix shows every pair):\n"
                                            "  GPUs below each switch (PIX, or PXB through switches "
                                            "below it):\n"
                                            "    0000:01:00.0: GPU0-GPU3\n"))
        << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("\nWarnings\n"
                         "  - 0000:04:00.0: its link runs at x8 although both ends can do x16,\n"
                         "    so peer traffic runs at a fraction of full rate (reseat the GPU, or "
                         "check the slot)\n"
                         "  - 0000:f0:00.0 (device ID 0x0999) is not a GPU the tool handles: it "
                         "gets no record, and a guest\n"
                         "    given it with the GPUs cannot configure any GPU's driver "
                         "(--config-address fails); give it to no\n"
                         "    such guest\n\nVerdict: ready\n"))
        << r.out;

    // The full matrix on request; redirected pairs in groups.
    r = status(host, {"--matrix"});
    EXPECT_NE(std::string::npos, r.out.find("\n  GPU64 ")) << r.out;
    for (const char* port : {"0000:02:01.0", "0000:02:02.0", "0000:02:03.0", "0000:02:04.0"})
        sim::pokeWord(host.devicePath(port) + "/config", 0x104, 0x005f005f);
    r = status(host);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("  pairs whose traffic ACS sends to the root complex (*), by switch:\n"
                         "    0000:01:00.0: all 6 pairs of GPU0-GPU3\n"))
        << r.out;
}

} // namespace
