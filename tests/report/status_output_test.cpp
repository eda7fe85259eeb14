// qvgpu-vm-p2p-status's JSON, and its usage errors and the machines it cannot
// read.
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

TEST(Status, JsonCarriesTheSameFactsAndSurvivesOddTexts)
{
    sim::Machine host(everyLink(), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--store-data"}).status);
    // A text no kernel writes, with a quote and control bytes in it.
    sim::writeFile(host.devicePath("0000:03:00.0") + "/local_cpulist", "0-1\"\x01\xff\n");
    // A record of another device in the second GPU's memory.
    const std::vector<uint8_t> other = recordBytes(0x0001, 0x38bfe0000000ull);
    for (int w = 0; w < 4; ++w)
        sim::pokeWord(host.devicePath("0000:04:00.0") + "/resource0", 0x100000 + 4 * w,
                      static_cast<uint32_t>(other[4 * w] | other[4 * w + 1] << 8 |
                                            other[4 * w + 2] << 16 | other[4 * w + 3] << 24));
    // The text shows the same bytes escaped.
    const sim::RunResult text = status(host);
    EXPECT_NE(std::string::npos, gpuLine(text.out, "0000:03:00.0").find(" 0-1\"\\x01\\xff "))
        << text.out;
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
    // A byte that is not UTF-8 is replaced, not a reason to fail.
    EXPECT_EQ("0-1\"\x01\xef\xbf\xbd", gpu0["localCpus"]);
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
    EXPECT_EQ("0000:02:08.0", gpu0["path"][2]);
    EXPECT_EQ("x16", "x" + gpu0["link"]["width"].dump());
    EXPECT_EQ(16, gpu0["fullWidth"]);
    EXPECT_EQ(nullptr, gpu0["driver"]);
    const auto& port = doc["ports"][2];
    EXPECT_EQ("0000:02:08.0", port["bus"]);
    EXPECT_EQ("Downstream Port", port["type"]);
    EXPECT_EQ(0x5f, port["acsCtlValue"]);
    EXPECT_EQ(true, port["redirects"]);
    // Device IDs are texts wherever they appear.
    EXPECT_EQ("0x0001", doc["gpus"][1]["record"]["deviceId"]);
    EXPECT_EQ("other device", doc["gpus"][1]["record"]["state"]);
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
    EXPECT_EQ("qvgpu-vm-p2p --disable-acs --store-data", doc["fixes"][0]["command"]);
    EXPECT_EQ(nullptr, doc["fixes"][0]["where"]);

    // The kernel's "no NUMA information" and an attribute that cannot be
    // read are one unknown: null in JSON, "?" in the text.
    sim::writeFile(host.devicePath("0000:81:00.0") + "/numa_node", "-1\n");
    for (const char* attribute : {"/numa_node", "/local_cpulist"})
        ::unlink((host.devicePath("0000:41:00.0") + attribute).c_str());
    const nlohmann::json unknown = nlohmann::json::parse(status(host, {"--json"}).out);
    EXPECT_EQ(nullptr, unknown["gpus"][4]["numaNode"]);
    EXPECT_EQ(nullptr, unknown["gpus"][3]["numaNode"]);
    EXPECT_EQ(nullptr, unknown["gpus"][3]["localCpus"]);
    const std::string shown = status(host).out;
    EXPECT_EQ(0u, gpuLine(shown, "0000:41:00.0").find("0000:41:00.0 0x0002 ? ? 65 ")) << shown;
    EXPECT_EQ(0u, gpuLine(shown, "0000:81:00.0").find("0000:81:00.0 0x0002 ? 0-1 129 ")) << shown;
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

    // A layout names GPUs of this host, in numbers that fit, on a host; a
    // domain to merge it into is a regular file that holds a domain.
    sim::writeFile(host.sysPath("../run/cut.xml"), "<domain><name>vm</name>");
    sim::writeFile(host.sysPath("../run/net.xml"), "<network><name>n</name></network>");
    const std::string os = "<os><type arch='x86_64' machine='%s'>hvm</type></os>";
    sim::writeFile(host.sysPath("../run/pc.xml"),
                   "<domain type='kvm'>" + std::regex_replace(os, std::regex("%s"), "pc-i440fx-7.2") +
                       "</domain>");
    sim::writeFile(host.sysPath("../run/xen.xml"),
                   "<domain type='xen'>" + std::regex_replace(os, std::regex("%s"), "q35") + "</domain>");
    ASSERT_EQ(0, ::mkfifo(host.sysPath("../run/fifo").c_str(), 0600));
    sim::Machine guest(sim::switchedHost(1, 1, {0x0001}), sim::Side::Guest);
    sim::Machine wide(twoSwitches(), sim::Side::Host);
    const struct {
        const sim::Machine& m;
        std::vector<std::string> args;
        std::string err;
    } layouts[] = {
        {host, {"--layout=qemu", "--gpus", "03:00.0,09:00.0"}, "Not a GPU of this host: 09:00.0\n"},
        {host, {"--layout=libvirt", "--gpus", "03:00"}, "Not a GPU of this host: 03:00\n"},
        {wide, {"--layout=qemu", "--first-chassis=251"},
         "The ports need chassis numbers up to 256, past 255: give a lower --first-chassis\n"},
        {guest, {"--layout=qemu"},
         "This is a guest: lay it out on its host, which sees the host's tree.\n"},
        {host, {"--gpus", "03:00.0"}, "--gpus requires --layout\nRun with --help for more information.\n"},
        {host, {"--layout=libvirt", "--domain=/run/cut.xml"},
         "The domain in /run/cut.xml is not XML: Start-end tags mismatch at byte 22\n"},
        {host, {"--layout=libvirt", "--domain=/run/net.xml"},
         "/run/net.xml holds no libvirt domain: its root element is <network>, not <domain>\n"},
        {host, {"--layout=libvirt", "--domain=/run/none.xml"}, "Cannot read the domain: no file /run/none.xml\n"},
        {host, {"--layout=libvirt", "--domain=/run/pc.xml"},
         "The domain in /run/pc.xml has the machine 'pc-i440fx-7.2': a layout needs q35's PCI "
         "Express (machine='q35')\n"},
        {host, {"--layout=libvirt", "--domain=/run/xen.xml"},
         "The domain in /run/xen.xml is of type 'xen': a layout is for QEMU's guests (kvm or qemu)\n"},
        {host, {"--layout=libvirt", "--domain=/run/fifo"},
         "Cannot read the domain: /run/fifo is not a regular file\n"},
        {host, {"--layout=qemu", "--domain=/run/net.xml"}, "--domain needs --layout=libvirt\n"},
        {host, {"--kernel-acs", "--json"},
         "--json excludes --kernel-acs\nRun with --help for more information.\n"},
    };
    for (const auto& row : layouts) {
        r = status(row.m, row.args);
        EXPECT_EQ(2, r.status) << row.err;
        EXPECT_EQ("", r.out);
        EXPECT_EQ(row.err, r.err);
    }

    r = host.shell("umount /sys/bus/pci/devices 2>/dev/null || rm -rf /sys/bus/pci/devices; " +
                   sim::Machine::statusPath());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Cannot open /sys/bus/pci/devices/: No such file or directory\n", r.err);
}

} // namespace
