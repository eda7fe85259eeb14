// The status report's readings of configuration spaces and kernel texts.
#include "config_space.h"
#include "kernel_cmdline.h"
#include "status_facts.h"
#include "status_text.h"
#include "status.h"
#include "verdict.h"
#include "wording.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <optional>
#include <gtest/gtest.h>

namespace {

void put16(std::vector<uint8_t>& b, std::size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v)
{
    put16(b, at, static_cast<uint16_t>(v));
    put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// A switch downstream port: power management, then PCI Express; AER, then
// ACS in the extended space.
std::vector<uint8_t> downstreamPort()
{
    std::vector<uint8_t> b(4096, 0);
    put16(b, 0x00, 0x10b5);
    put16(b, 0x06, 0x0010);
    b[0x34] = 0x40;
    b[0x40] = 0x01;
    b[0x41] = 0x50;
    b[0x50] = 0x10;
    put16(b, 0x52, 0x0062);
    put32(b, 0x100, 0x14810001);
    put32(b, 0x148, 0x0001000d);
    put16(b, 0x14e, 0x001c);
    return b;
}

TEST(StatusPieces, PortsAreReadWhereverTheirCapabilitiesLieAndWhatWasNotReadIsUnknown)
{
    PortFacts p = decodePort("0000:02:08.0", downstreamPort());
    EXPECT_TRUE(p.configRead);
    EXPECT_EQ(PORT_DOWNSTREAM, p.portType);
    EXPECT_EQ(AcsState::Present, p.acs);
    EXPECT_EQ(0x001c, p.acsCtl);
    EXPECT_TRUE(p.redirects());
    EXPECT_EQ("SrcValid- TransBlk- ReqRedir+ CmpltRedir+ UpstreamFwd+ EgressCtrl- DirectTrans-",
              decodeAcsCtl(p.acsCtl));
    // Egress control keeps peer traffic from crossing the switch as the
    // redirects do; the other bits do not.
    std::vector<uint8_t> egress = downstreamPort();
    put16(egress, 0x14e, 0x0020);
    EXPECT_TRUE(decodePort("0000:02:08.0", egress).redirects());
    put16(egress, 0x14e, 0x0053);
    EXPECT_FALSE(decodePort("0000:02:08.0", egress).redirects());

    // Lists that point back at themselves end, and find nothing.
    std::vector<uint8_t> looping = downstreamPort();
    looping[0x41] = 0x40;
    put32(looping, 0x100, 0x10010001);
    p = decodePort("0000:02:08.0", looping);
    EXPECT_EQ(-1, p.portType);
    EXPECT_EQ(AcsState::Absent, p.acs);

    // A PCI Express port cut to its 256 bytes of conventional space: its
    // ACS was never read, so it may redirect.
    std::vector<uint8_t> shortSpace = downstreamPort();
    shortSpace.resize(256);
    p = decodePort("0000:02:08.0", shortSpace);
    EXPECT_TRUE(p.acsUnknown());
    EXPECT_EQ("only 256 bytes of configuration space could be read", p.unknownReason);
    EXPECT_FALSE(p.redirects());
    // An extended space that reads all ones was not reached: said so.
    std::vector<uint8_t> unreachable = downstreamPort();
    put32(unreachable, 0x100, 0xffffffff);
    EXPECT_EQ("its extended configuration space reads all ones",
              decodePort("0000:02:08.0", unreachable).unknownReason);
    // A device gone (all ones), or nothing read at all.
    EXPECT_TRUE(decodePort("0000:02:08.0", std::vector<uint8_t>(4096, 0xff)).acsUnknown());
    EXPECT_EQ("no file x", decodePort("0000:02:08.0", {}, "no file x").unknownReason);

    // A GPU's power state is decided only from bytes that were read: with
    // the power management registers cut off it is unknown, not D3hot.
    std::vector<uint8_t> gpu = downstreamPort();
    put16(gpu, 0x04, 0x0006);
    EXPECT_EQ("", asleepReason(gpu));
    gpu.resize(66);
    EXPECT_EQ(CONFIG_UNREAD, asleepReason(gpu));
    EXPECT_EQ(CONFIG_UNREAD, asleepReason({}));
}

// Everything the decoders say of a configuration space, in one line.
std::string decoded(const std::vector<uint8_t>& config)
{
    const PortFacts p = decodePort("0000:02:08.0", config);
    uint16_t command = 0;
    uint64_t base = 0;
    uint32_t bars[BAR_COUNT] = {};
    const bool hasCommand = commandRegister(config, command);
    const bool hasBase = bar0Base(config, base);
    const bool hasBars = barRegisters(config, bars);
    const std::optional<bool> nsr = noSoftReset(config);
    std::string text = std::to_string(p.configRead) + std::to_string(p.typeKnown) + " " +
                       std::to_string(p.portType) + " " + std::to_string(int(p.acs)) + " " +
                       std::to_string(p.acsCtl) + " " + p.unknownReason + " " +
                       std::to_string(p.configSize) + " " + linkText(p.link) + " " +
                       powerStateName(powerStateOf(config)) + " " + asleepReason(config) + " " +
                       (nsr ? std::to_string(*nsr) : "-") + " " +
                       (hasCommand ? std::to_string(command) : "-") + " " +
                       (hasBase ? std::to_string(base) : "-");
    for (uint32_t bar : bars)
        text += " " + std::to_string(hasBars ? bar : 0);
    return text;
}

TEST(StatusPieces, OnlyTheBytesTheDecodersLookAtAreReadAndTheySayWhatTheWholeSpaceSays)
{
    std::vector<uint8_t> port = downstreamPort();
    put32(port, 0x50 + 0x0C, 0x00000104);
    put16(port, 0x50 + 0x12, 0x0083);
    put16(port, 0x44, 0x000b);                            // D3hot, No_Soft_Reset
    put16(port, 0x04, 0x0006);
    put32(port, 0x10, 0xfe00000c);
    std::vector<uint8_t> looping = port, unreachable = port, noCapabilities = port,
                         pmOnly = port, aerAfterAcs = port;
    looping[0x41] = 0x40;
    put32(looping, 0x100, 0x10010001);
    put32(unreachable, 0x100, 0xffffffff);
    put16(noCapabilities, 0x06, 0);
    pmOnly[0x41] = 0;
    put32(aerAfterAcs, 0x100, 0x1480000d);                // ACS first, at 0x100
    put16(aerAfterAcs, 0x106, 0x005f);
    struct Space {
        const char* what;
        std::vector<uint8_t> bytes;
        std::size_t fileSize;   // what sysfs says; the kernel serves bytes.size()
    } spaces[] = {
        {"a switch port with ACS below AER", port, 4096},
        {"ACS first in the extended list", aerAfterAcs, 4096},
        {"lists that loop", looping, 4096},
        {"an unreachable extended space", unreachable, 4096},
        {"no capability list", noCapabilities, 4096},
        {"power management alone", pmOnly, 4096},
        {"a conventional space", std::vector<uint8_t>(port.begin(), port.begin() + 256), 256},
        {"256 bytes served of 4096", std::vector<uint8_t>(port.begin(), port.begin() + 256), 4096},
        {"a reader without CAP_SYS_ADMIN (64 bytes)", std::vector<uint8_t>(port.begin(), port.begin() + 64), 4096},
        {"cut inside PMCSR", std::vector<uint8_t>(port.begin(), port.begin() + 0x45), 4096},
        {"a device gone", std::vector<uint8_t>(4096, 0xff), 4096},
        {"nothing served", {}, 4096},
    };
    for (const Space& space : spaces) {
        SCOPED_TRACE(space.what);
        std::set<std::size_t> dwords;
        const auto kernel = [&](std::size_t offset, std::size_t length, uint8_t* into) -> long {
            if (offset >= space.bytes.size())
                return 0;
            const std::size_t n = std::min(length, space.bytes.size() - offset);
            std::copy_n(space.bytes.begin() + static_cast<long>(offset), n, into);
            for (std::size_t at = offset; at < offset + n; ++at)
                dwords.insert(at / 4);
            return static_cast<long>(n);
        };
        std::vector<uint8_t> sparse;
        ASSERT_TRUE(readConfigSpace(space.fileSize, kernel, sparse));
        EXPECT_EQ(decoded(space.bytes), decoded(sparse));
        // The header's 16 accesses, and a few for each capability: tens,
        // where the whole space is a thousand.
        EXPECT_LE(dwords.size(), 32u);
    }
    // A read that fails fails the whole space, as a whole read would.
    std::vector<uint8_t> sparse;
    EXPECT_FALSE(readConfigSpace(
        4096, [&](std::size_t offset, std::size_t length, uint8_t* into) -> long {
            if (offset >= 0x100)
                return -1;
            std::copy_n(port.begin() + static_cast<long>(offset), length, into);
            return static_cast<long>(length);
        },
        sparse));
    EXPECT_TRUE(sparse.empty());
}

TEST(StatusPieces, LinksAreDecodedAsLspciShowsThem)
{
    std::vector<uint8_t> b = downstreamPort();
    put32(b, 0x50 + 0x0C, 0x00000104);   // x16, 16GT/s
    put16(b, 0x50 + 0x12, 0x0083);       // x8, 8GT/s
    const PciLink link = decodeLink(b);
    EXPECT_EQ("x8 8GT/s (max x16 16GT/s)", linkText(link));
    EXPECT_EQ("-", linkText(decodeLink({})));
}

TEST(StatusPieces, GuestFixesComeInAnOrderThatWorksAndSayWhereToRunThem)
{
    StatusReport report;
    report.machine.guest = true;
    report.machine.setpci = true;
    report.machine.driverModule = "morvanti";
    auto gpu = [&](const char* bus, RecordState record,
                   ReadFailure failure = ReadFailure::None, const char* reason = "") {
        GpuFacts g;
        g.bus = bus;
        g.deviceId = "0x0001";
        g.handled = true;
        g.configRead = true;
        g.path.known = true;
        g.record = record;
        g.recordFailure = failure;
        g.recordReason = reason;
        g.store = StoreState::Missing;
        report.gpus.push_back(g);
    };
    gpu("0000:01:00.0", RecordState::Valid);
    gpu("0000:02:00.0", RecordState::Absent);
    report.verdict = judge(report);
    // The save stops at a GPU without a record: the host's store first.
    ASSERT_EQ(2u, report.verdict.fixes.size());
    EXPECT_EQ("on the host, with this guest shut down", report.verdict.fixes[0].where);
    EXPECT_EQ("qvgpu-vm-p2p --store-data", report.verdict.fixes[0].command);
    EXPECT_EQ("", report.verdict.fixes[1].where);
    EXPECT_EQ("qvgpu-vm-p2p --save-data", report.verdict.fixes[1].command);

    // The kernel maps no BAR0 that the driver holds: the save works only
    // with the driver unloaded.
    report.gpus.pop_back();
    gpu("0000:02:00.0", RecordState::Unreadable, ReadFailure::HeldByDriver,
        "BAR0 is held by the driver 'morvanti'");
    report.verdict = judge(report);
    ASSERT_EQ(1u, report.verdict.fixes.size());
    EXPECT_EQ("modprobe -r morvanti && qvgpu-vm-p2p --save-data && modprobe morvanti",
              report.verdict.fixes[0].command);
    EXPECT_EQ(2u, report.verdict.fixes[0].problems.size());
}

// The man page lists the kinds as the metrics label them: every kind of the
// tables, in their order, and no other.
TEST(StatusPieces, TheManPageNamesEveryKindInTheTablesOrder)
{
    std::ifstream page(QVGPU_SOURCE_DIR "/dist/qvgpu-vm-p2p-status.8");
    ASSERT_TRUE(page);
    std::map<std::string, std::vector<std::string>> named;   // family -> its kinds
    std::string line, family;
    const std::regex head(R"(^\.BR (qvgpu_vm_p2p_\w+) \{ kind \}$)"), kind(R"(^\.BR? ([a-z_]+)( ,)?$)");
    std::smatch m;
    while (std::getline(page, line)) {
        if (std::regex_match(line, m, head))
            family = m[1];
        else if (line == ".TP")
            family.clear();
        else if (!family.empty() && std::regex_match(line, m, kind))
            named[family].push_back(m[1]);
    }
    std::vector<std::string> problems, warnings;
    for (const auto& row : PROBLEM_KIND_TABLE)
        problems.push_back(row.name);
    for (const auto& row : WARNING_KIND_TABLE)
        warnings.push_back(row.name);
    EXPECT_EQ(problems, named["qvgpu_vm_p2p_problems"]);
    EXPECT_EQ(warnings, named["qvgpu_vm_p2p_warnings"]);
}

TEST(StatusPieces, QemuGuestNamesInEveryFormOfTheOption)
{
    EXPECT_EQ("vm1", qemuGuestName({"qemu-system-x86_64", "-name", "guest=vm1,debug-threads=on"}));
    EXPECT_EQ("vm2", qemuGuestName({"qemu", "-m", "1G", "--name", "vm2"}));
    EXPECT_EQ("a,b", qemuGuestName({"qemu", "-name", "a,,b,process=x"}));
    EXPECT_EQ("", qemuGuestName({"qemu", "-name", "process=x"}));
    EXPECT_EQ("", qemuGuestName({"qemu", "-name"}));
}

TEST(StatusPieces, OtherUsersTextsAreEscapedAndAMatrixOfAnySizeLinesUp)
{
    StatusReport report;
    for (int i = 0; i < 100; ++i) {
        GpuFacts g;
        char bus[16];
        std::snprintf(bus, sizeof bus, "0000:%02x:00.0", i + 1);
        g.bus = bus;
        g.configRead = true;
        report.gpus.push_back(g);
    }
    // A guest's name and a process's come from other users.
    GpuFacts& held = report.gpus[0];
    held.inUse = true;
    held.user = {7, "qemu\x1b[2J", "vm\x1b]0;x\x07"};
    held.handled = true;
    held.record = RecordState::NotChecked;
    held.recordReason = "in use by " + userText(held.user);
    report.links.assign(100, std::vector<Link>(100));
    TextOptions full;
    full.fullMatrix = true;
    std::string text;
    ASSERT_NO_THROW(text = renderText(report, full));
    EXPECT_EQ(std::string::npos, text.find('\x1b'));
    EXPECT_NE(std::string::npos, text.find("vm\\x1b]0;x\\x07 (qemu\\x1b[2J, pid 7)")) << text;
    // Every row as wide as the header, the widest number included.
    const std::size_t header = text.find("\n        0    1");
    ASSERT_NE(std::string::npos, header) << text;
    EXPECT_NE(std::string::npos, text.find("\n  GPU99 ?    ?")) << text;
    EXPECT_NE(std::string::npos, text.find("\n  GPU9  ?    ?")) << text;
}

TEST(StatusPieces, ProcHidesOtherUsersOnlyFromAReaderThatCannotTrace)
{
    EXPECT_TRUE(procHidesOthers("rw,nosuid,hidepid=invisible", false));
    EXPECT_TRUE(procHidesOthers("rw,hidepid=2,gid=0", false));
    EXPECT_TRUE(procHidesOthers("rw,hidepid=ptraceable", false));
    EXPECT_FALSE(procHidesOthers("rw,hidepid=2", true));
    EXPECT_FALSE(procHidesOthers("rw,hidepid=noaccess", false)) << "seen, then counted unseen";
    EXPECT_FALSE(procHidesOthers("rw,nosuid,nodev,noexec,relatime", false));
}

TEST(StatusPieces, LockdownIsTheModeInBrackets)
{
    EXPECT_EQ("none", parseLockdown("[none] integrity confidentiality\n"));
    EXPECT_EQ("integrity", parseLockdown("none [integrity] confidentiality\n"));
    EXPECT_EQ("confidentiality", parseLockdown("none integrity [confidentiality]\n"));
    EXPECT_EQ("none", parseLockdown(""));
    EXPECT_EQ("none", parseLockdown("[] integrity"));
}

} // namespace

namespace {

// A switch downstream port 0000:02:08.0 below the upstream port
// 0000:01:00.0 below the root port 0000:00:01.0, device first.
std::vector<PciIdentity> portChain()
{
    const auto id = [](unsigned bus, unsigned slot, unsigned fn, uint16_t device) {
        PciIdentity i;
        i.bus = bus;
        i.devfn = slot << 3 | fn;
        i.vendor = 0x10b5;
        i.device = device;
        return i;
    };
    return {id(2, 8, 0, 0x8796), id(1, 0, 0, 0x8796), id(0, 1, 0, 0x1234)};
}

} // namespace

TEST(KernelCommandLine, ParametersSplitAtBlanksOutsideQuotesAndLoseTheirQuotes)
{
    // /proc/cmdline ends its line; a quote left open runs to the end.
    EXPECT_EQ((std::vector<std::string>{"ro", "a=b c", "pci=x;y", "quiet", "k=v w"}),
              kernelParameters("  ro \"a=b c\" pci=\"x;y\"\tquiet k=\"v w\n"));
    // Quotes inside a value stay: the kernel then cannot parse that list.
    EXPECT_EQ((std::vector<std::string>{"pci=disable_acs_redir=\"0000:00:01.0\""}),
              kernelParameters("pci=disable_acs_redir=\"0000:00:01.0\""));
}

TEST(KernelCommandLine, TheLastListOfEveryPciParameterCounts)
{
    const struct {
        const char* line;
        const char* list;   // null: none
    } rows[] = {
        {"ro quiet", nullptr},
        {"pci=noaer", nullptr},
        {"pci=disable_acs_redir=a", "a"},
        {"pci=noaer,disable_acs_redir=a;b,realloc", "a;b"},
        {"pci=disable_acs_redir=a pci=noaer pci=disable_acs_redir=b", "b"},
        {"pci=disable_acs_redir=a,disable_acs_redir=", ""},
        {"xpci=disable_acs_redir=a", nullptr},
        // After a bare "--" the parameters are init's, quoted or not.
        {"ro -- pci=disable_acs_redir=a", nullptr},
        {"pci=disable_acs_redir=a \"--\" pci=disable_acs_redir=b", "a"},
        {"pci=disable_acs_redir=a --x pci=disable_acs_redir=b", "b"},
        {"pci=disable_acs_redir=a --=1 pci=disable_acs_redir=b", "b"},
        // The kernel's blanks include the no-break space 0xA0.
        {"ro\xa0pci=disable_acs_redir=a", "a"},
        {"pci=disable_acs_redir=a\xa0quiet", "a"},
    };
    for (const auto& row : rows) {
        const std::optional<std::string> list = acsRedirList(kernelParameters(row.line));
        if (row.list)
            EXPECT_EQ(std::optional<std::string>(row.list), list) << row.line;
        else
            EXPECT_EQ(std::nullopt, list) << row.line;
    }
}

TEST(KernelCommandLine, DevicesAreMatchedByTheKernelsRules)
{
    const std::vector<PciIdentity> port = portChain();
    const struct {
        const char* list;
        bool names;
    } rows[] = {
        {"0000:00:01.0/00.0/08.0", true},          // the path from the root bus
        {"00:01.0/00.0/08.0", true},               // the domain left out
        {"0000:01:00.0/08.0", true},               // a path from any bridge above
        {"0000:00:01.0/00.0/10.0", false},         // another port of the switch
        {"0000:00:02.0/00.0/08.0", false},         // another root port
        {"0000:00:01.0/00.0/00.0/08.0", false},    // deeper than the port lies
        {"0000:02:08.0", true},                    // the plain address
        {"02:08.0", true},
        {"0001:02:08.0", false},                   // another domain
        {"pci:10b5:8796", true},                   // vendor and device
        {"pci:10b5:0", true},                      // 0 matches any
        {"pci:10b5:8796:1:2", false},              // subsystem IDs that differ
        {"pci:10b5:1111", false},
        {"0000:00:1c.0;0000:02:08.0", true},       // a later entry
        {"0000:00:1c.0,0000:02:08.0", false},      // a ',' does not end a path
        {"pci:1234:5678,0000:02:08.0", true},      // but it ends IDs
        {"garbage;0000:02:08.0", false},           // an entry it cannot parse ends the list
        {"0000:00:01.0/0.0.0;0000:02:08.0", false},
        {"pci:xyz;0000:02:08.0", false},
        {"\"0000:02:08.0\"", false},               // quotes left in the list
        {"", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.names, acsRedirNames(row.list, port)) << row.list;
}

TEST(KernelCommandLine, TheParameterKeepsTheAdministratorsOtherDevices)
{
    const std::vector<std::vector<PciIdentity>> chains = {portChain()};
    const std::vector<std::string> ours = {"0000:00:01.0/00.0/08.0"};
    EXPECT_EQ("pci=disable_acs_redir=0000:00:01.0/00.0/08.0",
              acsRedirParameter(ours, chains, std::nullopt));
    // Another device kept, ours named anew in path form (an old plain
    // address of it dropped), repeats folded, IDs kept as they may name more.
    EXPECT_EQ("pci=disable_acs_redir=0000:00:01.0/00.0/08.0;0000:40:01.0;pci:10b5:8796",
              acsRedirParameter(ours, chains,
                                std::string("0000:40:01.0;0000:02:08.0;0000:00:01.0/00.0/08.0;"
                                            "0000:40:01.0;pci:10b5:8796")));
}

// The README's GRUB recipe, run against sample /etc/default/grub files and
// expanded as grub-mkconfig and Debian's /etc/grub.d/10_linux expand it (the
// real one needs grub-probe and a disk): every file of grub.d in name order
// after /etc/default/grub; a normal entry "${GRUB_CMDLINE_LINUX}
// ${GRUB_CMDLINE_LINUX_DEFAULT}", a recovery entry "single
// ${GRUB_CMDLINE_LINUX}"; GRUB's own quote removal when it runs the linux
// line.  On every entry the kernel takes our list, wherever the
// administrator's own stands.
TEST(KernelCommandLine, TheReadmesGrubRecipeLeavesOurListLastOnEveryEntry)
{
    std::ifstream readme(QVGPU_SOURCE_DIR "/README.md");
    std::string recipe, line;
    bool in = false;
    while (std::getline(readme, line)) {
        in = in || line.rfind("p=$(qvgpu-vm-p2p-status --kernel-acs)", 0) == 0;
        if (in && line == "update-grub")
            break;
        if (in)
            recipe += line + "\n";
    }
    ASSERT_NE("", recipe);
    const std::string ours = "0000:00:01.0/00.0/08.0;0000:00:01.0/00.0/10.0";
    const struct {
        const char* grub;           // /etc/default/grub
        const char* cloud;          // a cloud image's drop-in, or null
    } rows[] = {
        {"GRUB_CMDLINE_LINUX_DEFAULT=\"quiet\"\nGRUB_CMDLINE_LINUX=\"\"\n", nullptr},
        {"GRUB_CMDLINE_LINUX_DEFAULT=\"quiet pci=disable_acs_redir=0000:40:01.0\"\n", nullptr},
        {"GRUB_CMDLINE_LINUX=\"pci=disable_acs_redir=0000:40:01.0\"\n", nullptr},
        {"GRUB_CMDLINE_LINUX_DEFAULT=\"quiet\"\n",
         "GRUB_CMDLINE_LINUX_DEFAULT=\"console=ttyS0 pci=disable_acs_redir=0000:40:01.0\"\n"},
    };
    for (const auto& row : rows) {
        char dir[] = "/tmp/qvgrub.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(dir));
        const std::string root = dir;
        const auto write = [&](const std::string& path, const std::string& text) {
            std::ofstream(root + path) << text;
        };
        ASSERT_EQ(0, std::system(("mkdir -p " + root + "/grub.d " + root + "/bin").c_str()));
        write("/grub", row.grub);
        if (row.cloud)
            write("/grub.d/50-cloudimg-settings.cfg", row.cloud);
        write("/grub.d/qvgpu-vm-p2p.cfg", "GRUB_CMDLINE_LINUX_DEFAULT=\"stale\"\n");   // an older recipe's
        write("/bin/qvgpu-vm-p2p-status", "#!/bin/sh\necho 'pci=disable_acs_redir=" + ours + "'\n");
        ASSERT_EQ(0, ::chmod((root + "/bin/qvgpu-vm-p2p-status").c_str(), 0755));
        std::string script = std::regex_replace(recipe, std::regex("/etc/default/grub\\.d/"),
                                                root + "/grub.d/");
        write("/recipe", "PATH=" + root + "/bin:$PATH\n" + script);
        write("/mkconfig",
              ". " + root + "/grub\n"
              "for x in " + root + "/grub.d/*.cfg; do if [ -e \"$x\" ]; then . \"$x\"; fi; done\n"
              "for args in \"${GRUB_CMDLINE_LINUX} ${GRUB_CMDLINE_LINUX_DEFAULT}\" "
              "\"single ${GRUB_CMDLINE_LINUX}\"; do\n"
              "    eval \"set -- ro $args\"; echo \"$*\"\n"
              "done\n");
        FILE* out = ::popen(("sh -e " + root + "/recipe && sh " + root + "/mkconfig").c_str(), "r");
        ASSERT_NE(nullptr, out);
        std::vector<std::string> entries;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, out))
            entries.push_back(buffer);
        EXPECT_EQ(0, ::pclose(out));
        ASSERT_EQ(2u, entries.size()) << row.grub;
        for (const std::string& entry : entries)
            EXPECT_EQ(std::optional<std::string>(ours), acsRedirList(kernelParameters(entry)))
                << row.grub << (row.cloud ? row.cloud : "") << entry;
        EXPECT_EQ(0, std::system(("rm -rf " + root).c_str()));
    }
}
