// The daemon run as a real process, watching the simulated guest's /dev.
#include "driver.h"
#include "files.h"
#include "helpers.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace qvtest;

namespace {

using Clock = std::chrono::steady_clock;

std::string repeated(const char* text, int times)
{
    std::string s;
    for (int i = 0; i < times; ++i)
        s += text;
    return s;
}

bool waitForSuccesses(sim::Process& p, int count, int timeoutMs)
{
    return p.waitForOutput(repeated(CONFIG_SUCCESS, count), timeoutMs);
}

void makeNode(const sim::Machine& guest, const std::string& name)
{
    ASSERT_EQ(0, ::mknod(guest.devPath(name).c_str(), S_IFCHR | 0600, makedev(237, 99)));
}

TEST(Daemon, ConfiguresAtStartAndWhenTheLastGpuNodeAppears)
{
    HostAndGuest m(sim::switchedHost(2, 2, {0x0001, 0x0002}), true);
    sim::Driver driver(m.guest);
    driver.load();
    sim::Process daemon = m.guest.start({"--daemon"});
    // Read from the pipe while the daemon runs: each line arrives as printed.
    ASSERT_TRUE(waitForSuccesses(daemon, 1, 10000)) << daemon.out();
    ASSERT_TRUE(daemon.waitForInotifyWatch(10000));
    driver.settle();
    EXPECT_EQ(16u, driver.totalReceived());

    // Other nodes, and the last node going away, change nothing.
    ::unlink(m.guest.devPath("morvanti3").c_str());
    ::unlink(m.guest.devPath("morvanti0").c_str());
    makeNode(m.guest, "morvanti0");
    const auto created = Clock::now();
    makeNode(m.guest, "morvanti3");
    ASSERT_TRUE(waitForSuccesses(daemon, 2, 10000)) << daemon.out();
    const auto waited = Clock::now() - created;
    EXPECT_GE(waited, std::chrono::milliseconds(950)) << "the daemon waits a second first";
    EXPECT_LT(waited, std::chrono::seconds(5));
    driver.settle();
    EXPECT_EQ(32u, driver.totalReceived());

    const sim::RunResult r = daemon.finish(SIGTERM);
    EXPECT_EQ(repeated(CONFIG_SUCCESS, 2), r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(128 + SIGTERM, r.status);
}

TEST(Daemon, StartedBeforeTheDriverItWaitsForTheLastNode)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0210}), true);
    sim::Driver driver(m.guest);
    sim::Process daemon = m.guest.start({"--daemon"});
    ASSERT_TRUE(daemon.waitForInotifyWatch(10000));
    EXPECT_EQ("", daemon.out()) << "no driver: no configuration and no message";
    driver.load();
    ASSERT_TRUE(waitForSuccesses(daemon, 1, 10000));
    driver.settle();
    EXPECT_EQ(9u, driver.totalReceived());

    // A reload of the driver is caught the same way.
    driver.unload();
    driver.load();
    ASSERT_TRUE(waitForSuccesses(daemon, 2, 10000));
    EXPECT_EQ(repeated(CONFIG_SUCCESS, 2), daemon.finish(SIGTERM).out);
}

TEST(Daemon, WithConfigAddressItConfiguresTwiceBeforeWatching)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0002}), true);
    sim::Driver driver(m.guest);
    driver.load();
    sim::Process daemon = m.guest.start({"--config-address", "--daemon"});
    ASSERT_TRUE(waitForSuccesses(daemon, 2, 10000));
    ASSERT_TRUE(daemon.waitForInotifyWatch(10000));
    driver.settle();
    EXPECT_EQ(8u, driver.totalReceived());
    EXPECT_EQ(repeated(CONFIG_SUCCESS, 2), daemon.finish(SIGTERM).out);
}

TEST(Daemon, AFailedConfigurationKeepsItWatching)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0002}), true);
    ::unlink((m.guest.etcPath("qv/vm_p2p_cfg/") + "0000:02:00.0").c_str());
    sim::Driver driver(m.guest);
    driver.load();
    sim::Process daemon = m.guest.start({"--config-address", "--daemon"});
    const std::string missing =
        "\033[33mWarning: no configuration file found for /etc/qv/vm_p2p_cfg/0000:02:00.0!\033[0m\n";
    ASSERT_TRUE(daemon.waitForOutput(missing + missing, 10000)) << daemon.out();
    ASSERT_TRUE(daemon.waitForInotifyWatch(10000));
    const sim::RunResult r = daemon.finish(SIGTERM);
    EXPECT_EQ(missing + missing, r.out);
    EXPECT_EQ(128 + SIGTERM, r.status);
}

TEST(Daemon, OnlyInAGuest)
{
    sim::Machine host(sim::switchedHost(1, 2, {0x0001}), sim::Side::Host);
    const sim::RunResult r = host.run({"--daemon"});
    EXPECT_EQ("\033[33mWarning: '--daemon' only works in virtual machine!\033[0m\n", r.out);
    EXPECT_EQ(255, r.status);
}

} // namespace
