// Whole runs of every mode under valgrind's memcheck: nothing leaked, no
// invalid access, and every descriptor the tool opened closed again.
#include "driver.h"
#include "helpers.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace qvtest;

namespace {

sim::RunOptions underValgrind()
{
    sim::RunOptions o;
    o.wrapper = {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=full",
                 "--show-leak-kinds=all", "--errors-for-leak-kinds=all", "--track-fds=yes"};
    return o;
}

// Descriptors the tool left open at exit, beyond the standard three and
// those it was handed by whoever started it.
std::vector<std::string> descriptorsLeft(const std::string& report)
{
    std::vector<std::string> left;
    std::istringstream in(report);
    std::string line, current;
    auto flush = [&] {
        if (!current.empty() && current.find("<inherited from parent>") == std::string::npos)
            left.push_back(current);
        current.clear();
    };
    while (std::getline(in, line)) {
        const auto at = line.find("Open file descriptor ");
        if (at != std::string::npos) {
            flush();
            const int fd = std::stoi(line.substr(at + 21));
            if (fd > 2)
                current = line;
        } else if (!current.empty()) {
            current += "\n" + line;
        }
    }
    flush();
    return left;
}

void expectClean(const sim::RunResult& r, int status)
{
    EXPECT_EQ(status, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("ERROR SUMMARY: 0 errors")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("All heap blocks were freed")) << r.err;
    EXPECT_EQ(std::vector<std::string>{}, descriptorsLeft(r.err));
}

TEST(NoLeaks, HostModes)
{
    sim::Machine host(sim::switchedHost(1, 3, {0x0001, 0x0002, 0x0210}), sim::Side::Host);
    sim::RunResult r = host.run({"--disable-acs", "--store-data"}, underValgrind());
    EXPECT_EQ(STORE_SUCCESS, r.out);
    expectClean(r, 0);
    r = host.run({"--daemon"}, underValgrind());
    expectClean(r, 255);
}

TEST(NoLeaks, GuestModes)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0001, 0x0002, 0x0210}));
    sim::RunResult r = m.guest.run({"--save-data"}, underValgrind());
    EXPECT_EQ(SAVE_SUCCESS, r.out);
    expectClean(r, 0);

    sim::Driver driver(m.guest);
    driver.load();
    r = m.guest.run({"--config-address"}, underValgrind());
    EXPECT_EQ(CONFIG_SUCCESS, r.out);
    expectClean(r, 0);

    // A run that stops early: a missing store file.
    ::unlink(m.guest.etcPath("qv/vm_p2p_cfg/0000:02:00.0").c_str());
    r = m.guest.run({"--config-address"}, underValgrind());
    expectClean(r, 255);
}

TEST(NoLeaks, StatusReport)
{
    HostAndGuest m(sim::switchedHost(1, 3, {0x0001, 0x0002, 0x0210}), true);
    sim::RunOptions o = underValgrind();
    o.program = sim::Machine::statusPath();
    expectClean(m.host.run({}, o), 1);   // ACS still redirects
    expectClean(m.host.run({"--prometheus"}, o), 0);
    sim::Driver driver(m.guest);
    driver.load();
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    expectClean(m.guest.run({"--json"}, o), 0);
    ::unlink(m.guest.etcPath("qv/vm_p2p_cfg/0000:02:00.0").c_str());
    expectClean(m.guest.run({}, o), 1);
}

TEST(NoLeaks, RefusedAndFailedRuns)
{
    sim::Machine host(sim::switchedHost(1, 1, {0x0001}), sim::Side::Host);
    expectClean(host.run({"--save-data"}, underValgrind()), 255);
    expectClean(host.run({}, underValgrind()), 255);
    expectClean(host.run({"--bogus"}, underValgrind()), 109);
}

} // namespace
