// The command line as a user meets it: help, the root check, the version
// banner, parse errors and the order in which the modes are tried.
#include "files.h"
#include "helpers.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

sim::Topology twoGpus()
{
    return sim::switchedHost(1, 2, {0x0001, 0x0002});
}

void expectNoGpuTouched(const sim::Machine& machine)
{
    for (const auto& bdf : machine.topology().gpus())
        EXPECT_TRUE(untouched(machine, bdf));
}

const char* const VERSION_BANNER = "Morvanti Tarsel GPU VM-P2P Tool version: 2.0.1\n";

TEST(CommandLine, BareCallShowsHelpToRootAndRefusesOthers)
{
    sim::Machine host(twoGpus(), sim::Side::Host);
    sim::RunResult r = host.run({});
    EXPECT_EQ(helpText(), r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(255, r.status);

    r = host.run({}, asUser(UID_NOBODY));
    EXPECT_EQ(NOT_ROOT, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(255, r.status);
    expectNoGpuTouched(host);
}

TEST(CommandLine, HelpIsAnsweredBeforeTheRootCheckAndRunsNothing)
{
    sim::Machine host(twoGpus(), sim::Side::Host);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help", "--store-data"}, {"--disable-acs", "-v", "-h"}}) {
        for (int uid : {0, UID_NOBODY}) {
            const sim::RunResult r = host.run(args, asUser(uid));
            EXPECT_EQ(helpText(), r.out) << args[0] << " as uid " << uid;
            EXPECT_EQ("", r.err);
            EXPECT_EQ(0, r.status);
        }
    }
    expectNoGpuTouched(host);
}

TEST(CommandLine, VersionBannerNeedsRootAndWinsOverEveryMode)
{
    sim::Machine host(twoGpus(), sim::Side::Host);
    sim::RunResult r = host.run({"-v"}, asUser(UID_NOBODY));
    EXPECT_EQ(NOT_ROOT, r.out);
    EXPECT_EQ(255, r.status);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-v"}, {"--version", "--store-data"}, {"--disable-acs", "--daemon", "-v"}}) {
        r = host.run(args);
        EXPECT_EQ(VERSION_BANNER, r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(0, r.status);
    }
    expectNoGpuTouched(host);
}

TEST(CommandLine, ParseErrorsGoToStandardErrorBeforeTheRootCheck)
{
    sim::Machine host(twoGpus(), sim::Side::Host);
    for (const std::string bad : {"--foo", "stray", "-x"}) {
        for (int uid : {0, UID_NOBODY}) {
            const sim::RunResult r = host.run({"--store-data", bad}, asUser(uid));
            EXPECT_EQ("", r.out);
            EXPECT_EQ("The following argument was not expected: " + bad +
                          "\nRun with --help for more information.\n",
                      r.err);
            EXPECT_EQ(109, r.status);
        }
    }
    expectNoGpuTouched(host);
}

TEST(ModeDispatch, DisableAcsInAGuestOnlyWarnsAndNothingElseRuns)
{
    sim::Machine guest(twoGpus(), sim::Side::Guest);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--disable-acs"}, {"--store-data", "--disable-acs"}, {"--disable-acs", "--save-data"}}) {
        const sim::RunResult r = guest.run(args);
        EXPECT_EQ(ACS_IN_GUEST, r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(255, r.status);
    }
    // Discovery came first and woke the GPUs, as it does on every run.
    for (const auto& bdf : guest.topology().gpus())
        EXPECT_TRUE(woken(guest, bdf));
}

} // namespace

namespace {

TEST(CommandLine, WithoutSetpciTheRunIsRefusedBeforeAnyGpuIsTouched)
{
    sim::Machine host(twoGpus(), sim::Side::Host);
    // A search path with the shell's tools but without pciutils, in the
    // machine's own scratch space beside its /sys.
    const std::string bin = host.sysPath("../bin");
    sim::makeDirs(bin);
    for (const char* tool : {"grep", "sh"})
        sim::makeSymlink(std::string("/bin/") + tool, bin + "/" + tool);
    sim::RunOptions noPciutils;
    noPciutils.path = "/nonexistent:" + bin;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--store-data"}, {"--disable-acs"}, {"--config-address", "--daemon"}}) {
        const sim::RunResult r = host.run(args, noPciutils);
        EXPECT_EQ("Please install pciutils.\n", r.out);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(255, r.status);
    }
    expectNoGpuTouched(host);
    // What needs no GPU still works.
    EXPECT_EQ(VERSION_BANNER, host.run({"-v"}, noPciutils).out);
    EXPECT_EQ(helpText(), host.run({"-h"}, noPciutils).out);
    EXPECT_EQ(NOT_ROOT, host.run({"--store-data"}, [&] {
                  sim::RunOptions o = noPciutils;
                  o.uid = UID_NOBODY;
                  return o;
              }()).out);
}

} // namespace
