// Handing every GPU's host BAR0 base to the driver of every GPU.
#include "driver.h"
#include "files.h"
#include "helpers.h"
#include "record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/time.h>

using namespace qvtest;

namespace {

const char* const FIRST = "0000:01:00.0";    // guest addresses of passed-through GPUs
const char* const SECOND = "0000:02:00.0";
const char* const THIRD = "0000:03:00.0";

std::string command(const std::string& minor, const std::string& hex)
{
    return "pt_p2p_cfg " + minor + " " + hex + "\n";
}

TEST(ConfigAddress, EveryGpuLearnsEveryGpuInTargetThenMinorOrder)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0002}), true);
    sim::Driver driver(m.guest);
    driver.load();
    const sim::RunResult r = m.guest.run({"--config-address"});
    EXPECT_EQ(CONFIG_SUCCESS, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0, r.status);
    driver.settle();
    const std::string a = m.hostBaseHex(FIRST), b = m.hostBaseHex(SECOND);
    EXPECT_EQ("38bff0000000", a);
    EXPECT_EQ((std::vector<std::string>{
                  std::string(FIRST) + ": " + command("0", a),
                  std::string(FIRST) + ": " + command("1", b),
                  std::string(SECOND) + ": " + command("0", a),
                  std::string(SECOND) + ": " + command("1", b),
              }),
              driver.log());
    const std::map<std::string, uint64_t> everyone{{"0", 0x38bff0000000ull}, {"1", 0x38bfe0000000ull}};
    EXPECT_EQ(everyone, driver.table(FIRST));
    EXPECT_EQ(everyone, driver.table(SECOND));
}

TEST(ConfigAddress, MinorsAreOrderedAsTextAndUnreadableOnesShareX)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0210}), true);
    const std::string a = m.hostBaseHex(FIRST), b = m.hostBaseHex(SECOND), c = m.hostBaseHex(THIRD);
    {
        sim::Driver driver(m.guest);
        driver.setMinorText(FIRST, "2");
        driver.setMinorText(SECOND, "10");
        driver.setMinorText(THIRD, "3");
        driver.load();
        EXPECT_EQ(CONFIG_SUCCESS, m.guest.run({"--config-address"}).out);
        driver.settle();
        for (const char* target : {FIRST, SECOND, THIRD})
            EXPECT_EQ((std::vector<std::string>{command("10", b), command("2", a), command("3", c)}),
                      driver.received(target))
                << target;
    }
    // Two GPUs without a minor attribute are both "x", and the later one in
    // bus order wins: every GPU gets one command fewer.  No driver can tell
    // which GPU "x" means: it refuses that command, and the configuration
    // has failed.
    sim::Driver driver(m.guest);
    driver.setMinorText(FIRST, std::nullopt);
    driver.setMinorText(SECOND, std::nullopt);
    driver.load();
    const sim::RunResult r = m.guest.run({"--config-address"});
    EXPECT_EQ("", r.out);
    EXPECT_EQ(255, r.status);
    std::string refused;
    for (const char* target : {FIRST, SECOND, THIRD})
        refused += std::string("Cannot write /sys/bus/pci/devices/") + target +
                   "/itr_debug: Invalid argument\n";
    EXPECT_EQ(refused, r.err);
    driver.settle();
    for (const char* target : {FIRST, SECOND, THIRD})
        EXPECT_EQ((std::vector<std::string>{command("2", c), command("x", b)}),
                  driver.received(target))
            << target;
}

TEST(ConfigAddress, AMissingOrInvalidFileTellsTheDriverNothing)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0001, 0x0002, 0x0210}), true);
    sim::Driver driver(m.guest);
    driver.load();
    const std::string second = m.guest.etcPath("qv/vm_p2p_cfg/") + SECOND;
    const std::string good = sim::readFile(second);

    ::unlink(second.c_str());
    sim::RunResult r = m.guest.run({"--config-address"});
    EXPECT_EQ("\033[33mWarning: no configuration file found for /etc/qv/vm_p2p_cfg/0000:02:00.0!\033[0m\n",
              r.out);
    EXPECT_EQ(255, r.status) << "a configuration that failed is a failed run";

    const std::string invalid = "\033[31mError:\033[0m invalid configuration file!\n";
    sim::writeFile(second, asText(recordBytes(0x0003, 0x38bfe0000000ull)));   // another device ID
    r = m.guest.run({"--config-address"});
    EXPECT_EQ(invalid, r.out);
    EXPECT_EQ(255, r.status);
    sim::writeFile(second, good.substr(0, 15));
    EXPECT_EQ(invalid, m.guest.run({"--config-address"}).out);
    // A FIFO is never opened for reading, so nobody can make the tool wait.
    ::unlink(second.c_str());
    ASSERT_EQ(0, ::mkfifo(second.c_str(), 0600));
    r = m.guest.run({"--config-address"});
    EXPECT_EQ(invalid, r.out);
    EXPECT_EQ(255, r.status);
    ::unlink(second.c_str());

    sim::writeFile(m.guest.devicePath(SECOND) + "/device", "0xzz\n");
    sim::writeFile(second, good);
    r = m.guest.run({"--config-address"});
    EXPECT_EQ("\033[31mError:\033[0m cannot read the device ID of 0000:02:00.0!\n", r.out);
    EXPECT_EQ(255, r.status);

    driver.settle();
    EXPECT_EQ(0u, driver.totalReceived());

    // Anything after the first 16 bytes is ignored.
    sim::writeFile(m.guest.devicePath(SECOND) + "/device", "0x0002\n");
    sim::writeFile(second, good + "trailing");
    EXPECT_EQ(CONFIG_SUCCESS, m.guest.run({"--config-address"}).out);
    driver.settle();
    EXPECT_EQ(9u, driver.totalReceived());
}

// A store file counts only for the GPU it was saved from, while that GPU
// is there: another GPU of the same model added where it sat (a hot-plug)
// has none until its own save, and is told nothing stale.  Files saved
// before this boot's record of saves existed count for this boot alone.
TEST(ConfigAddress, AStoreFileCountsOnlyForTheGpuItWasSavedFrom)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}), true);
    const uint64_t other = 0x38bf40000000ull;   // another host GPU's BAR0
    m.guest.replug(SECOND, recordBytes(0x0001, other));
    const std::string missing =
        "\033[33mWarning: no configuration file found for /etc/qv/vm_p2p_cfg/0000:02:00.0!\033[0m\n";
    {
        sim::Driver driver(m.guest);
        driver.load();
        sim::RunResult r = m.guest.run({"--config-address"});
        EXPECT_EQ(missing, r.out);
        EXPECT_EQ(255, r.status);
        driver.settle();
        EXPECT_EQ(0u, driver.totalReceived());
        sim::RunOptions o;
        o.program = sim::Machine::statusPath();
        const nlohmann::json doc = nlohmann::json::parse(m.guest.run({"--json"}, o).out);
        EXPECT_EQ((nlohmann::json{{"state", "invalid"},
                                  {"reason", "saved from a device no longer at this address"},
                                  {"base", nullptr}}),
                  doc["gpus"][1]["storeFile"]);
    }
    // Its own save, before the driver loads: then its own address is told.
    EXPECT_EQ(SAVE_SUCCESS, m.guest.run({"--save-data"}).out);
    sim::Driver driver(m.guest);
    driver.load();
    EXPECT_EQ(CONFIG_SUCCESS, m.guest.run({"--config-address"}).out);
    driver.settle();
    EXPECT_EQ(other, driver.table(FIRST).at("1"));

    const std::string saved = m.guest.sysPath("../run/qvgpu-vm-p2p/saved");
    ASSERT_TRUE(sim::fileExists(saved));
    ::unlink(saved.c_str());
    EXPECT_EQ(CONFIG_SUCCESS, m.guest.run({"--config-address"}).out) << "saved this boot";
    const std::string second = m.guest.etcPath("qv/vm_p2p_cfg/") + SECOND;
    const struct timeval lastBoot[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(0, ::utimes(second.c_str(), lastBoot));
    EXPECT_EQ(missing, m.guest.run({"--config-address"}).out) << "saved in an earlier boot";
}

// The store file as both programs read it: its first 16 bytes, and only
// from a regular file.
TEST(StoreFile, ReadOnlyFromARegularFileAndValidOnlyForItsOwnGpu)
{
    sim::Machine guest(sim::guestLayout(sim::switchedHost(1, 1, {0x0002})).topology,
                       sim::Side::Guest);
    sim::Machine::Inside inside(guest);
    const std::string dir = guest.etcPath("qv/vm_p2p_cfg/");
    sim::makeDirs(dir);
    const std::string good = asText(recordBytes(0x0002, 0x38bff0000000ull));

    sim::writeFile(dir + FIRST, good + "trailing");
    StoreFile file = readStoreFile(FIRST);
    EXPECT_EQ(StoreFile::Read, file.state);
    EXPECT_EQ("/etc/qv/vm_p2p_cfg/0000:01:00.0", file.path);
    EXPECT_TRUE(file.validFor(0x0002));
    EXPECT_EQ(0x38bff0000000ull, file.record().bar0Base);
    EXPECT_FALSE(file.validFor(0x0003)) << "another GPU's record";

    sim::writeFile(dir + FIRST, good.substr(0, 15));
    file = readStoreFile(FIRST);
    EXPECT_EQ(StoreFile::Read, file.state);
    EXPECT_FALSE(file.validFor(0x0002)) << "a short file";

    ::unlink((dir + FIRST).c_str());
    EXPECT_EQ(StoreFile::Missing, readStoreFile(FIRST).state);
    ASSERT_EQ(0, ::mkfifo((dir + FIRST).c_str(), 0600));
    file = readStoreFile(FIRST);
    EXPECT_EQ(StoreFile::NotRegular, file.state);
    EXPECT_FALSE(file.validFor(0x0002));
}

TEST(ConfigAddress, RefusedOnTheHostAndWithoutTheDriver)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}), true);
    sim::RunResult r = m.guest.run({"--config-address"});
    EXPECT_EQ("\033[33mWarning: please load the driver before '--config-address'!\033[0m\n", r.out);
    EXPECT_EQ(255, r.status);
    r = m.guest.run({"--config-address", "--daemon"});
    EXPECT_EQ("\033[33mWarning: please load the driver before '--config-address'!\033[0m\n", r.out);
    EXPECT_EQ(255, r.status) << "a refused configuration mode keeps the daemon from starting";

    r = m.host.run({"--config-address"});
    EXPECT_EQ("\033[33mWarning: '--config-address only' works in virtual machine!\033[0m\n", r.out);
    EXPECT_EQ(255, r.status);
}

TEST(ConfigAddress, MinorTextIsHandedOnAsBytesAndNeverRun)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}), true);
    sim::Driver driver(m.guest);
    driver.setMinorText(FIRST, "0;mkdir${IFS}/etc/ran;`mkdir${IFS}/etc/ran2`");
    driver.load();
    // The driver refuses such a minor; what counts is that no shell ran it.
    EXPECT_EQ(255, m.guest.run({"--config-address"}).status);
    driver.settle();
    EXPECT_EQ(command("0;mkdir${IFS}/etc/ran;`mkdir${IFS}/etc/ran2`", m.hostBaseHex(FIRST)),
              driver.received(SECOND).at(0));
    EXPECT_FALSE(sim::fileExists(m.guest.etcPath("ran")));
    EXPECT_FALSE(sim::fileExists(m.guest.etcPath("ran2")));
}

TEST(ConfigAddress, AGpuThatRefusesCommandsIsReportedAndTheOthersAreTold)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001}), true);
    sim::Driver driver(m.guest);
    driver.load();
    driver.removeAttribute(FIRST);
    const sim::RunResult r = m.guest.run({"--config-address"});
    EXPECT_EQ("", r.out) << "a GPU that was not told is no success";
    const std::string refused =
        "Cannot open /sys/bus/pci/devices/0000:01:00.0/itr_debug: No such file or directory\n";
    EXPECT_EQ(refused + refused, r.err);
    EXPECT_EQ(255, r.status);
    driver.settle();
    EXPECT_EQ(2u, driver.received(SECOND).size());
}

TEST(ConfigAddress, AnEmptyGuestSucceedsWithoutCommands)
{
    sim::Machine guest(sim::Topology{}, sim::Side::Guest);
    sim::Driver driver(guest);
    driver.load();
    const sim::RunResult r = guest.run({"--config-address"});
    EXPECT_EQ(CONFIG_SUCCESS, r.out);
    EXPECT_EQ(0, r.status);
}

} // namespace
