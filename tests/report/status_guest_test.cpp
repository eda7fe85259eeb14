// qvgpu-vm-p2p-status run as a whole process in simulated guests: store files,
// device memory and the GPU driver.
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

TEST(Status, AGuestIsReadyOnlyWithStoreFilesThatAgreeWithDeviceMemory)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0002}));
    const std::string first = m.guestOf("0000:03:00.0");
    const std::string second = m.guestOf("0000:04:00.0");
    // The guest's firmware left one GPU's memory decoding off.
    sim::pokeWord(m.guest.devicePath(second) + "/config", 0x04, 0x00100000);
    EXPECT_EQ("exit 1\nstore_missing " + first + " | store_memory_asleep " + second +
                  " (memory decoding is off) => qvgpu-vm-p2p --save-data\n",
              fixesOf(m.guest));

    // Ready means the driver has the addresses: saved, then the driver
    // loaded, then configured; a reload of the driver, or a GPU it lets
    // go, undoes it.
    ASSERT_EQ(0, m.guest.run({"--save-data"}).status);
    EXPECT_EQ("exit 1\ndriver_not_loaded => modprobe morvanti\n", fixesOf(m.guest));
    sim::Driver driver(m.guest);
    driver.load();
    const std::string notConfigured =
        "Verdict: not ready\n"
        "  1. the GPU driver has not been given the GPUs' addresses since it was loaded: " + first +
        ",\n"
        "       " + second + "\n"
        "     to keep it configured across its reloads: systemctl enable --now "
        "qvgpu-vm-p2p-daemon.service\n"
        "     run: qvgpu-vm-p2p --config-address\n";
    EXPECT_EQ(notConfigured, verdictOf(status(m.guest).out));
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    sim::RunResult r = status(m.guest);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));
    char base[24];
    std::snprintf(base, sizeof base, "0x%llx", static_cast<unsigned long long>(sim::guestBar0(0)));
    EXPECT_EQ(first + " 0x0001 ? 0-1 - morvanti KA-C1 | " + base + " 4M 0 valid: 0x38bff0000000 "
                  "valid: 0x38bff0000000",
              gpuLine(r.out, first));
    // Another view of sysfs (a unit's own mount, under systemd's
    // sandboxing) shows the attributes under another device number and the
    // same inode numbers: the same driver instances, still configured.
    driver.showAgain();
    EXPECT_EQ("exit 0\n", fixesOf(m.guest));
    driver.unload();
    driver.load();
    r = status(m.guest);
    EXPECT_EQ(notConfigured, verdictOf(r.out));
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    driver.unbind(second);
    EXPECT_EQ("exit 1\ndriver_gpu_not_taken " + second +
                  " (no driver) => modprobe -r morvanti && modprobe morvanti\n",
              fixesOf(m.guest));
    driver.unload();
    EXPECT_NE(std::string::npos,
              r.out.find("Topology\n  (this guest's virtual PCI topology, not the host's)\n"))
        << r.out;

    const std::string store = m.guest.etcPath("qv/vm_p2p_cfg/");
    // Another base under the right magic: the driver would be told a wrong one.
    std::vector<uint8_t> other = recordBytes(0x0002, 0x12340000);
    sim::writeFile(store + second, std::string(other.begin(), other.end()));
    EXPECT_EQ("exit 1\nstore_disagrees " + second + " => qvgpu-vm-p2p --save-data\n",
              fixesOf(m.guest));

    // Garbage, and no file at all.
    sim::writeFile(store + second, "garbage");
    ::unlink((store + first).c_str());
    r = status(m.guest);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, gpuLine(r.out, first).find(" missing")) << r.out;
    EXPECT_NE(std::string::npos, gpuLine(r.out, second).find(" invalid: wrong size (7 bytes)"))
        << r.out;
    EXPECT_EQ("exit 1\nstore_missing " + first + " " + second + " => qvgpu-vm-p2p --save-data\n",
              fixesOf(m.guest));

    // A FIFO where a store file should be is never opened for reading: it
    // would block for ever.  Nor is one in place of a sysfs attribute.
    ::unlink((store + second).c_str());
    ASSERT_EQ(0, ::mkfifo((store + second).c_str(), 0600));
    const std::string numa = m.guest.devicePath(first) + "/numa_node";
    ::unlink(numa.c_str());
    ASSERT_EQ(0, ::mkfifo(numa.c_str(), 0600));
    sim::RunOptions bounded;
    bounded.program = sim::Machine::statusPath();
    bounded.wrapper = {"/usr/bin/timeout", "20"};
    r = m.guest.run({}, bounded);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, gpuLine(r.out, second).find(" invalid: not a regular file"))
        << r.out;
}

TEST(Status, ALockedDownGuestStillRunsOnItsStoreFiles)
{
    HostAndGuest m(sim::switchedHost(1, 2, {0x0001, 0x0210}), true);
    m.guest.setLockdown("confidentiality");
    sim::Driver driver(m.guest);
    driver.load();
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    sim::RunResult r = status(m.guest);
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Verdict: ready\n", verdictOf(r.out));

    // Without its file, such a GPU cannot be saved while the kernel stays
    // locked down: no command of ours helps.
    const std::string first = m.guestOf("0000:03:00.0");
    ::unlink(m.guest.etcPath("qv/vm_p2p_cfg/" + first).c_str());
    EXPECT_EQ("exit 1\nstore_memory_unreadable " + first +
                  " (the kernel is locked down (confidentiality))\n", fixesOf(m.guest));
}

} // namespace
