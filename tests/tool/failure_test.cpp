// Failures tried on purpose: what the tool says, the status it ends with,
// and that no store file is lost, cut short or changed behind its back.
#include "driver.h"
#include "files.h"
#include "helpers.h"
#include "daemon.h"
#include "modes.h"
#include "utils.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace qvtest;

namespace {

TEST(Failures, ADriverThatUnloadsBetweenTwoRuns)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}), true);
    sim::Driver driver(m.guest);
    driver.load();
    EXPECT_EQ(CONFIG_SUCCESS, m.guest.run({"--config-address"}).out);
    driver.unload();
    const sim::RunResult r = m.guest.run({"--config-address"});
    EXPECT_EQ("\033[33mWarning: please load the driver before '--config-address'!\033[0m\n", r.out);
    EXPECT_EQ(255, r.status);
}

TEST(Failures, RegistersThatCannotBeMappedDuringDiscovery)
{
    sim::Topology t = sim::switchedHost(1, 2, {0x0001});
    sim::Machine host(t, sim::Side::Host);
    sim::makeSparseFile(host.devicePath("0000:03:00.0") + "/resource2", 0);
    const sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ("Map device register failed!\n" + std::string(STORE_SUCCESS), r.out);
    EXPECT_EQ(0, r.status);
    for (const auto& bdf : t.gpus())
        EXPECT_EQ(recordBytes(0x0001, t.find(bdf)->bar0), memoryRecord(host, bdf));
}

TEST(Failures, AConfigurationSpaceThatCannotBeOpenedMakesTheGpuOffline)
{
    // setpci reads all ones from a configuration space it cannot open, so
    // such a GPU is reported and left out before the store looks at it.
    sim::Topology t = sim::switchedHost(1, 2, {0x0002});
    sim::Machine host(t, sim::Side::Host);
    ::unlink((host.devicePath("0000:03:00.0") + "/config").c_str());
    const sim::RunResult r = host.run({"--store-data"});
    EXPECT_EQ(offlineLine("0000:03:00.0") + STORE_SUCCESS, r.out);
    EXPECT_NE(std::string::npos, r.err.find("Cannot open /sys/bus/pci/devices/0000:03:00.0/config"));
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::vector<uint8_t>(16, 0), memoryRecord(host, "0000:03:00.0"));
    EXPECT_EQ(recordBytes(0x0002, t.find("0000:04:00.0")->bar0), memoryRecord(host, "0000:04:00.0"));
}

TEST(Failures, AttributesOfAMegabyteAreReadOnlyAsFarAsSysfsGoes)
{
    const std::string megabyte(1 << 20, 'f');
    HostAndGuest m(sim::switchedHost(1, 3, {0x0001}), true);
    const std::string first = "0000:01:00.0", second = "0000:02:00.0", third = "0000:03:00.0";
    const std::string saved = storeFile(m.guest, second);
    // A vendor text that starts right but never ends, a device ID that is
    // one endless number, a minor number of a megabyte.
    sim::writeFile(m.guest.devicePath(first) + "/vendor", "0x1f7a" + megabyte);
    sim::writeFile(m.guest.devicePath(second) + "/device", "0x" + megabyte);
    sim::Driver driver(m.guest);
    driver.setMinorText(third, std::string(1 << 20, '7'));
    driver.load();

    sim::RunResult r = m.guest.run({"--save-data"});
    EXPECT_EQ(SAVE_SUCCESS, r.out) << "neither odd GPU has a device object";
    EXPECT_EQ(saved, storeFile(m.guest, second));

    r = m.guest.run({"--config-address"});
    EXPECT_EQ("\033[31mError:\033[0m cannot read the device ID of 0000:02:00.0!\n", r.out);
    EXPECT_EQ(255, r.status);
    driver.settle();
    EXPECT_EQ(0u, driver.totalReceived());

    sim::writeFile(m.guest.devicePath(second) + "/device", "0x0001\n");
    r = m.guest.run({"--config-address"});
    // The minor is taken as far as one page of sysfs text reaches; a command
    // that long does not fit the page an attribute takes, and is refused.
    // The first GPU's vendor text is no vendor ID: it is not one of ours.
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Cannot write /sys/bus/pci/devices/0000:02:00.0/itr_debug: Invalid argument\n"
              "Cannot write /sys/bus/pci/devices/0000:03:00.0/itr_debug: Invalid argument\n",
              r.err);
    EXPECT_EQ(255, r.status);
    driver.settle();
    EXPECT_TRUE(driver.received(first).empty());
    const auto lines = driver.received(second);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("pt_p2p_cfg " + std::string(4085, '7'), lines[1]);
}

// The daemon's system calls, made to fail in this process.
struct DaemonCallsGuard {
    InotifyCalls saved = inotifyCalls;
    ~DaemonCallsGuard() { inotifyCalls = saved; }
};

TEST(Failures, TheDaemonCannotStartOrStopsReading)
{
    InProcessHost host;   // a host: every GPU is ours to look at
    sim::Machine guest(sim::Topology{}, sim::Side::Guest);
    sim::Machine::Inside inside(guest);
    DaemonCallsGuard guard;
    const int before = openDescriptors();

    inotifyCalls.init = [](int) { errno = EMFILE; return -1; };
    int status = 0;
    Output o = capture([&] { status = runDaemon({}, 0); });
    EXPECT_EQ(-1, status);
    EXPECT_EQ("Error initializing inotify\n", o.err);
    EXPECT_EQ("", o.out);

    inotifyCalls = guard.saved;
    inotifyCalls.addWatch = [](int, const char*, uint32_t) { errno = ENOSPC; return -1; };
    o = capture([&] { status = runDaemon({}, 0); });
    EXPECT_EQ(-1, status);
    EXPECT_EQ("Error adding watch to /dev directory\n", o.err);
    EXPECT_EQ(before, openDescriptors()) << "the inotify descriptor is closed";

    inotifyCalls = guard.saved;
    inotifyCalls.read = [](int, void*, std::size_t) -> long { errno = EIO; return -1; };
    o = capture([&] { status = runDaemon({}, 0); });
    EXPECT_EQ(-1, status) << "a daemon that can watch no more has failed";
    EXPECT_EQ("Error reading inotify events\n", o.err);
    EXPECT_EQ(before, openDescriptors());
}

TEST(Failures, ACommandThatCannotBeStartedOrWaitedFor)
{
    char reply[64] = "untouched";
    rlimit saved;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    rlimit none = saved;
    none.rlim_cur = 0;
    char* result = reinterpret_cast<char*>(1);
    Output o = capture([&] {
        // Capturing needs descriptors of its own: limit only the call.
        ::setrlimit(RLIMIT_NOFILE, &none);
        result = cmdResult("echo hi", reply, sizeof reply);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    });
    EXPECT_EQ(nullptr, result);
    EXPECT_STREQ("untouched", reply);
    EXPECT_EQ("popen: Too many open files\n", o.err);

    // A child that cannot be waited for still leaves its output.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &old);
    o = capture([&] { result = cmdResult("echo hi", reply, sizeof reply); });
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(reply, result);
    EXPECT_STREQ("hi\n", reply);
    EXPECT_EQ("pclose: No child processes\n", o.err);
}

} // namespace
