// The daemon run as a real process, watching the simulated guest's /dev.
#include "device.h"
#include "driver.h"
#include "files.h"
#include "helpers.h"
#include "daemon.h"
#include "modes.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/inotify.h>
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
    ASSERT_EQ(0, ::mknod(guest.devPath(name).c_str(), S_IFCHR | 0600, makedev(1, 3)));
}

// The daemon started beside a loaded driver, once it has configured it at
// its start and watches /dev.
sim::Process startedBeside(const HostAndGuest& m, sim::Driver& driver)
{
    driver.load();
    sim::Process daemon = m.guest.start({"--daemon"});
    EXPECT_TRUE(waitForSuccesses(daemon, 1, 10000)) << daemon.out();
    EXPECT_TRUE(daemon.waitForInotifyWatch(10000));
    driver.settle();
    return daemon;
}

TEST(Daemon, ConfiguresAtStartAndWhenTheLastGpuNodeAppears)
{
    HostAndGuest m(sim::switchedHost(2, 2, {0x0001, 0x0002}), true);
    sim::Driver driver(m.guest);
    // Read from the pipe while the daemon runs: each line arrives as printed.
    sim::Process daemon = startedBeside(m, driver);
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

// A GPU unbound and bound again has a new driver instance that knows no
// peer: its node coming back gets it told again, and it alone.  The first
// GPU, so that the last node's trigger cannot be what tells it.
// GPUs added to the running guest and taken from it: a GPU added, which the
// driver binds at once, is saved out of the driver's hands (unbind, save,
// bind) and every GPU learns every peer; another GPU of the same model
// added where one was taken away is saved afresh, so that its peers learn
// its own address; after a GPU is taken away, the driver's last node is
// the one of the GPUs there now.
TEST(Daemon, FollowsTheGpusAddedAndTakenAwayWhileItRuns)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0001}), true);
    const char* const gpus[] = {"0000:01:00.0", "0000:02:00.0", "0000:03:00.0"};
    const uint64_t bases[] = {0x38bff0000000ull, 0x38bfe0000000ull, 0x38bfd0000000ull};
    sim::Driver driver(m.guest);
    driver.unplug(gpus[2]);
    sim::Process daemon = startedBeside(m, driver);
    EXPECT_EQ(4u, driver.totalReceived());
    // Until every GPU's driver instance knows `table`, for at most 10 s.
    const auto knowing = [&](std::vector<const char*> which, const std::map<std::string, uint64_t>& table) {
        for (int i = 0; i < 100; ++i) {
            driver.settle();
            if (std::all_of(which.begin(), which.end(), [&](const char* g) { return driver.table(g) == table; }))
                return true;
            daemon.waitForOutput("\n\n\n", 100);   // a pause that reads what the daemon says
        }
        return false;
    };

    driver.plug(gpus[2]);
    EXPECT_TRUE(knowing({gpus[0], gpus[1], gpus[2]}, {{"0", bases[0]}, {"1", bases[1]}, {"2", bases[2]}}))
        << daemon.out();
    EXPECT_EQ((std::vector<std::string>{std::string("unbind ") + gpus[2], std::string("bind ") + gpus[2]}),
              driver.coreWrites());

    // Another host GPU of the same model where the second was.
    const uint64_t other = 0x38bf40000000ull;
    driver.unplug(gpus[1]);
    driver.plug(gpus[1], recordBytes(0x0001, other));
    EXPECT_TRUE(knowing({gpus[0], gpus[1], gpus[2]}, {{"0", bases[0]}, {"1", other}, {"2", bases[2]}}))
        << daemon.out();

    // The third taken away, then the driver reloaded: its nodes are 0 and 1.
    driver.unplug(gpus[2]);
    driver.unload();
    driver.load();
    EXPECT_TRUE(knowing({gpus[0], gpus[1]}, {{"0", bases[0]}, {"1", other}})) << daemon.out();
    const sim::RunResult r = daemon.finish(SIGTERM);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(std::string::npos, r.out.find("Error")) << r.out;
}

// A GPU added whose node something already holds open (a device plugin
// takes a new node within milliseconds) is not pulled from under it: no
// unbind, nothing told for it, and the daemon says why.
TEST(Daemon, AGpuAddedWhoseNodeIsOpenIsLeftToItsHolder)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}), true);
    const std::string second = "0000:02:00.0";
    sim::Driver driver(m.guest);
    driver.unplug(second);
    sim::Process daemon = startedBeside(m, driver);
    ASSERT_EQ(0, ::kill(daemon.pid(), SIGSTOP));
    driver.plug(second);
    sim::RunOptions o;
    o.program = "/bin/sh";
    sim::Process holder = m.guest.start({"-c", "exec 3<" + driver.node(second) + "; exec sleep 60"}, o);
    // Held once sleep runs: between the shell's open and its exec, the
    // holder's name is still the shell's.
    const auto held = [&] {
        const std::string proc = "/proc/" + std::to_string(holder.pid());
        std::error_code ec;
        std::ifstream comm(proc + "/comm");
        std::string name;
        return std::getline(comm, name) && name == "sleep" &&
               std::filesystem::read_symlink(proc + "/fd/3", ec) == driver.node(second);
    };
    for (int i = 0; i < 100 && !held(); ++i)
        holder.waitForOutput("\n", 50);
    ASSERT_EQ(0, ::kill(daemon.pid(), SIGCONT));
    EXPECT_TRUE(daemon.waitForOutput("Warning: [" + second + "]: added, and not configured: " +
                                         driver.node(second) + " is open (sleep, pid " +
                                         std::to_string(holder.pid()) + ")",
                                     10000))
        << daemon.out();
    driver.settle();
    EXPECT_EQ(std::vector<std::string>{}, driver.coreWrites());
    EXPECT_EQ((std::map<std::string, uint64_t>{}), driver.table(second));
    holder.finish(SIGTERM);
    daemon.finish(SIGTERM);
}

TEST(Daemon, AGpuBoundAgainIsToldAgain)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0001}), true);
    sim::Driver driver(m.guest);
    sim::Process daemon = startedBeside(m, driver);
    const std::string first = driver.gpus()[0], second = driver.gpus()[1];
    const auto peers = driver.table(second);
    ASSERT_EQ(3u, peers.size());
    driver.bindAgain(first);
    EXPECT_TRUE(driver.table(first).empty());
    ASSERT_TRUE(waitForSuccesses(daemon, 2, 10000)) << daemon.out();
    driver.settle();
    EXPECT_EQ(peers, driver.table(first));
    EXPECT_EQ(3u, driver.received(second).size()) << "the others are not told again";
    sim::RunOptions status;
    status.program = sim::Machine::statusPath();
    EXPECT_EQ(0, m.guest.run({}, status).status) << "its record names the new instance";
    EXPECT_EQ(repeated(CONFIG_SUCCESS, 2), daemon.finish(SIGTERM).out);
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

// The daemon in this process, fed events of our making through its inotify
// calls, its one-second waits counted instead of slept.
namespace scripted {

std::vector<std::vector<uint8_t>> reads;
std::size_t nextRead = 0;
sim::Driver* driver = nullptr;
std::size_t commandsBeforeWatch = 99;

void event(std::vector<uint8_t>& buffer, uint32_t mask, const std::string& name)
{
    inotify_event e{};
    e.wd = mask & IN_Q_OVERFLOW ? -1 : 1;
    e.mask = mask;
    e.len = name.empty() ? 0 : 16;
    const std::size_t at = buffer.size();
    buffer.resize(at + sizeof e + e.len, 0);
    std::memcpy(buffer.data() + at, &e, sizeof e);
    std::memcpy(buffer.data() + at + sizeof e, name.data(), name.size());
}

long read(int, void* buffer, std::size_t length)
{
    if (nextRead == reads.size()) {
        errno = EIO;
        return -1;
    }
    const auto& r = reads[nextRead++];
    EXPECT_LE(r.size(), length);
    std::memcpy(buffer, r.data(), r.size());
    return static_cast<long>(r.size());
}

int addWatch(int fd, const char* path, uint32_t mask)
{
    driver->settle();
    commandsBeforeWatch = driver->totalReceived();
    return ::inotify_add_watch(fd, path, mask);
}

// One run: `readCount` reads of events to fill in, the daemon's inotify
// calls replaced by ours until it ends.
struct Session {
    Session(sim::Driver& scriptedDriver, std::size_t readCount) : saved(inotifyCalls)
    {
        driver = &scriptedDriver;
        nextRead = 0;
        reads.assign(readCount, {});
        inotifyCalls.read = scripted::read;
        inotifyCalls.addWatch = scripted::addWatch;
    }
    ~Session() { inotifyCalls = saved; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    const InotifyCalls saved;
};

} // namespace scripted

TEST(DaemonEvents, OnlyTheLastNodeAndAnOverflowCallForAConfiguration)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}), true);
    sim::Driver driver(m.guest);
    driver.load();
    sim::Machine::Inside inside(m.guest);
    CountedWaits waits;
    scripted::Session session(driver, 3);
    // Two GPUs: morvanti1 is the last node.  Other nodes and deletions do
    // nothing; a lost event (queue overflow) is made up for.
    scripted::event(scripted::reads[0], IN_CREATE, "morvanti0");
    scripted::event(scripted::reads[0], IN_DELETE, "morvanti1");
    scripted::event(scripted::reads[0], IN_CREATE, "morvanti1");
    scripted::event(scripted::reads[1], IN_Q_OVERFLOW, "");
    scripted::event(scripted::reads[2], IN_IGNORED, "");

    const std::vector<std::string> gpus = m.guest.topology().gpus();
    const std::set<std::string> busIds(gpus.begin(), gpus.end());
    ASSERT_EQ(2u, busIds.size());
    int status = 0;
    const Output o = capture([&] { status = runDaemon(busIds, 2); });

    EXPECT_EQ(0u, scripted::commandsBeforeWatch) << "the watch comes before the first configuration";
    EXPECT_EQ(std::string(CONFIG_SUCCESS) + CONFIG_SUCCESS + CONFIG_SUCCESS, o.out);
    EXPECT_EQ((std::vector<uint64_t>{1000000, 1000000}), waits.paused);
    driver.settle();
    EXPECT_EQ(12u, driver.totalReceived());
    // The watch is gone: nothing more can be seen, a failed run.
    EXPECT_EQ("Error: the watch on /dev directory was removed\n", o.err);
    EXPECT_EQ(-1, status);
}

std::string retryLine(int seconds, int retry)
{
    return "\033[33mWarning: the driver did not take the configuration, trying again in " +
           std::to_string(seconds) + " s (" + std::to_string(retry) + " of 5)\033[0m\n";
}

TEST(DaemonEvents, ADriverThatRefusesIsTriedAgainWithGrowingWaits)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0002}), true);
    sim::Driver driver(m.guest);
    // Its nodes come before its attributes, and before the daemon starts:
    // no event will come, and the attributes come while the daemon waits
    // for its second retry.
    driver.load(true);
    sim::Machine::Inside inside(m.guest);
    struct LateAttributes : CountedWaits {
        void pause(uint64_t microseconds) override
        {
            CountedWaits::pause(microseconds);
            if (paused.size() == 2)
                scripted::driver->createAttributes();
        }
    } waits;
    scripted::Session session(driver, 2);
    scripted::event(scripted::reads[0], IN_CREATE, "morvanti1");
    scripted::event(scripted::reads[1], IN_CREATE, "morvanti1");
    // Before the second event the driver is gone again, for good.
    static std::size_t told = 0;
    inotifyCalls.read = [](int fd, void* buffer, std::size_t length) {
        if (scripted::nextRead == 1) {
            scripted::driver->settle();
            told = scripted::driver->totalReceived();
            scripted::driver->unload();
        }
        return scripted::read(fd, buffer, length);
    };

    const std::vector<std::string> gpus = m.guest.topology().gpus();
    int status = 0;
    const Output o = capture([&] { status = runDaemon({gpus.begin(), gpus.end()}, 2); });

    // At start, then after the first event; after the second, for good no.
    EXPECT_EQ(retryLine(1, 1) + retryLine(2, 2) + CONFIG_SUCCESS + CONFIG_SUCCESS +
                  retryLine(1, 1) + retryLine(2, 2) + retryLine(4, 3) + retryLine(8, 4) +
                  retryLine(15, 5) +
                  "\033[31mError: the driver did not take the configuration; waiting for its next "
                  "load\033[0m\n",
              o.out);
    EXPECT_EQ((std::vector<uint64_t>{1000000, 2000000, 1000000, 1000000, 1000000, 2000000, 4000000,
                                     8000000, 15000000}),
              waits.paused);
    EXPECT_EQ(8u, told) << "each configuration taken told both GPUs both addresses";
    EXPECT_EQ("Error reading inotify events\n",
              o.err.substr(o.err.rfind('\n', o.err.size() - 2) + 1));
    EXPECT_EQ(-1, status);
}

// A GPU added after the run found its GPUs, while the daemon starts, is one
// that appeared: the GPUs the daemon knows are those it was given.
TEST(DaemonEvents, AGpuAddedAsTheDaemonStartsIsOneThatAppeared)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0002}), true);
    sim::Driver driver(m.guest);
    driver.load();
    sim::Machine::Inside inside(m.guest);
    CountedWaits waits;
    scripted::Session session(driver, 1);
    scripted::event(scripted::reads[0], IN_CREATE, "morvanti1");

    const std::vector<std::string> gpus = m.guest.topology().gpus();
    int status = 0;
    const Output o = capture([&] { status = runDaemon({gpus[0]}, 1); });
    EXPECT_EQ(std::string(CONFIG_SUCCESS) + CONFIG_SUCCESS, o.out);
    driver.settle();
    EXPECT_EQ(2u, driver.table(gpus[1]).size()) << "the GPU added knows both GPUs";
    EXPECT_EQ(-1, status);
}

// A driver that takes a command for a minor it cannot know: the daemon
// does not count that as taken; --config-address alone leaves it to the
// driver.
TEST(DaemonEvents, AMinorNotReadYetIsNotTakenAndIsTriedAgain)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0002}), true);
    const std::vector<std::string> gpus = m.guest.topology().gpus();
    sim::Driver driver(m.guest);
    driver.acceptUnknownMinor();
    driver.setMinorText(gpus[1], std::nullopt);
    driver.load();
    EXPECT_EQ(CONFIG_SUCCESS, m.guest.run({"--config-address"}).out);

    sim::Machine::Inside inside(m.guest);
    struct LateMinor : CountedWaits {
        std::string minor;
        void pause(uint64_t microseconds) override
        {
            CountedWaits::pause(microseconds);
            sim::writeFile(minor, "1\n");
        }
    } waits;
    waits.minor = m.guest.devicePath(gpus[1]) + "/minor";
    scripted::Session session(driver, 0);
    const Output o = capture([&] { runDaemon({gpus.begin(), gpus.end()}, 2); });
    EXPECT_EQ(retryLine(1, 1) + CONFIG_SUCCESS, o.out);
    driver.settle();
    EXPECT_EQ(std::stoull(m.hostBaseHex(gpus[1]), nullptr, 16), driver.table(gpus[0]).at("1"))
        << "the retry placed the second GPU under its minor";
}

TEST(Daemon, OnlyInAGuest)
{
    sim::Machine host(sim::switchedHost(1, 2, {0x0001}), sim::Side::Host);
    const sim::RunResult r = host.run({"--daemon"});
    EXPECT_EQ("\033[33mWarning: '--daemon' only works in virtual machine!\033[0m\n", r.out);
    EXPECT_EQ(255, r.status);
}

} // namespace
