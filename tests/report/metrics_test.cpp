// The report as Prometheus metrics, run as a whole process on simulated
// hosts and guests, checked by Debian's own promtool, and served by the real
// node_exporter from the file the metrics unit's command writes.
#include "driver.h"
#include "files.h"
#include "helpers.h"
#include "status.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace qvtest;

namespace {

sim::RunResult metrics(const sim::Machine& m)
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    return m.run({"--prometheus"}, o);
}

// What `promtool check metrics` says of a text (nothing when it is clean),
// with its exit status.
std::string promtoolComplaints(const sim::Machine& m, const std::string& text)
{
    const std::string file = m.sysPath("../metrics.prom");
    sim::writeFile(file, text);
    const sim::RunResult r = m.shell("promtool check metrics < " + file + " 2>&1");
    return r.out + (r.status ? "(exit " + std::to_string(r.status) + ")" : "");
}

// The samples of one family, as "labels value" lines.
std::string samples(const std::string& text, const std::string& family)
{
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line))
        if (line.compare(0, family.size(), family) == 0 &&
            (line[family.size()] == ' ' || line[family.size()] == '{'))
            out += line.substr(family.size()) + "\n";
    return out;
}

// Each family's HELP and TYPE, once each and before its samples: "" when
// so, else what is wrong.
std::string familiesOnce(const std::string& text)
{
    std::istringstream in(text);
    std::map<std::string, int> helps;
    std::string line, problems;
    while (std::getline(in, line)) {
        if (line.compare(0, 7, "# HELP ") == 0)
            ++helps[line.substr(7, line.find(' ', 7) - 7)];
        else if (line[0] != '#' && !helps.count(line.substr(0, line.find_first_of("{ "))))
            problems += "no HELP before " + line + "\n";
    }
    for (const auto& [family, count] : helps)
        if (count != 1)
            problems += family + " has " + std::to_string(count) + " HELP lines\n";
    return problems;
}

// The problem lines the JSON document lists, which the metrics' problems
// add up to.
std::size_t problemLines(const sim::Machine& m)
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    const nlohmann::json doc = nlohmann::json::parse(m.run({"--json"}, o).out);
    std::size_t n = 0;
    for (const auto& fix : doc["fixes"])
        n += fix["problems"].size();
    return n;
}

// The kinds of a family with a sample above 0, and the sum of all its
// samples.
std::string nonZero(const std::string& text, const std::string& family, uint64_t& sum)
{
    std::istringstream in(samples(text, family));
    std::string line, out;
    sum = 0;
    while (std::getline(in, line)) {
        const uint64_t value = std::stoull(line.substr(line.rfind(' ') + 1));
        sum += value;
        if (value)
            out += line + "\n";
    }
    return out;
}

TEST(Metrics, EveryMachineInTheExpositionFormat)
{
    // A host that firmware left awake, without records, and with ACS
    // redirecting on its switch.
    sim::Topology t = sim::switchedHost(1, 2, {0x0001, 0x0002});
    for (const char* bus : {"0000:03:00.0", "0000:04:00.0"}) {
        t.find(bus)->command = 0x0006;
        t.find(bus)->powerState = 0;
    }
    t.find("0000:03:00.0")->iommuGroup = 3;
    t.find("0000:04:00.0")->iommuGroup = 4;
    t.find("0000:04:00.0")->linkWidth = 8;
    t.find("0000:03:00.0")->linkSpeed = 1;
    // The second GPU's port can do 8GT/s of the GPU's own 16GT/s.
    t.find("0000:02:10.0")->linkMaxSpeed = t.find("0000:04:00.0")->linkSpeed = 3;
    sim::Machine host(std::move(t), sim::Side::Host);
    sim::RunResult r = metrics(host);
    EXPECT_EQ(0, r.status) << "the verdict is in the metrics";
    EXPECT_EQ("", r.err);
    EXPECT_EQ("", familiesOnce(r.out)) << r.out;
    EXPECT_EQ("{cpu_flag=\"0\",side=\"host\",side_signal=\"none\",version=\"2.0.1\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_build_info"));
    EXPECT_EQ(" 0\n", samples(r.out, "qvgpu_vm_p2p_ready"));
    // What the report lists to fix, by kind; what it warns of, by kind.
    uint64_t sum = 0;
    EXPECT_EQ("{kind=\"acs_redirects\"} 1\n{kind=\"record_missing\"} 1\n",
              nonZero(r.out, "qvgpu_vm_p2p_problems", sum));
    EXPECT_EQ(problemLines(host), sum);
    EXPECT_EQ("{kind=\"link_narrow\"} 1\n", nonZero(r.out, "qvgpu_vm_p2p_warnings", sum));
    EXPECT_EQ(" 2\n", samples(r.out, "qvgpu_vm_p2p_gpus"));
    const std::string hostInfo =
            "{device_id=\"0x0001\",pci_address=\"0000:03:00.0\",side=\"host\"} 1\n"
            "{device_id=\"0x0002\",pci_address=\"0000:04:00.0\",side=\"host\"} 1\n";
    const std::string hostProducts = "{pci_address=\"0000:03:00.0\",product=\"KA-C1\"} 1\n"
                                     "{pci_address=\"0000:04:00.0\",product=\"RE-A3\"} 1\n";
    EXPECT_EQ(hostInfo, samples(r.out, "qvgpu_vm_p2p_gpu_info"));
    EXPECT_EQ(hostProducts, samples(r.out, "qvgpu_vm_p2p_gpu_product_info"));
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 0\n{pci_address=\"0000:04:00.0\"} 0\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_record_valid"));
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 0\n{pci_address=\"0000:04:00.0\"} 0\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_in_use"));
    EXPECT_EQ("{pci_address=\"0000:02:08.0\"} 1\n{pci_address=\"0000:02:10.0\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_port_acs_redirect"));
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 16\n{pci_address=\"0000:04:00.0\"} 8\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_link_width"));
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 16\n{pci_address=\"0000:04:00.0\"} 16\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_link_width_max"));
    // The first trained at 2.5GT/s of the 16GT/s both ends can do; the
    // second runs at the 8GT/s its port allows, below its own 16GT/s.
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 2500000000\n{pci_address=\"0000:04:00.0\"} 8000000000\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_link_transfers_per_second"));
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 16000000000\n{pci_address=\"0000:04:00.0\"} 8000000000\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_link_transfers_per_second_max"));
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 16000000000\n{pci_address=\"0000:04:00.0\"} 16000000000\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_link_capability_transfers_per_second"));
    EXPECT_EQ(" 0\n", samples(r.out, "qvgpu_vm_p2p_isolation_breaches"));
    for (const char* guestOnly : {"qvgpu_vm_p2p_gpu_store_valid", "qvgpu_vm_p2p_gpu_driver_configured"})
        EXPECT_EQ(std::string::npos, r.out.find(guestOnly)) << guestOnly;
    EXPECT_EQ("", promtoolComplaints(host, r.out));

    // Ready, once the tool has run; then guests holding the GPUs, one
    // guest, then two that reach each other.
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    r = metrics(host);
    // ACS is off, until the kernel restores a port: a warning, until the
    // kernel's command line keeps it off.
    EXPECT_EQ("{kind=\"link_narrow\"} 1\n{kind=\"isolation_split\"} 1\n{kind=\"acs_not_kept\"} 1\n",
              nonZero(r.out, "qvgpu_vm_p2p_warnings", sum));
    keepAcsOffByKernel(host);
    r = metrics(host);
    EXPECT_EQ(" 1\n", samples(r.out, "qvgpu_vm_p2p_ready"));
    EXPECT_EQ("", nonZero(r.out, "qvgpu_vm_p2p_problems", sum));
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 1\n{pci_address=\"0000:04:00.0\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_record_valid"));
    EXPECT_EQ("{pci_address=\"0000:02:08.0\"} 0\n{pci_address=\"0000:02:10.0\"} 0\n",
              samples(r.out, "qvgpu_vm_p2p_port_acs_redirect"));
    EXPECT_EQ("", promtoolComplaints(host, r.out));
    r = withGuests(host, {{"guest=vm1", {3, 4}}}, "--prometheus");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("{pci_address=\"0000:03:00.0\"} 1\n{pci_address=\"0000:04:00.0\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_in_use"));
    // A guest's GPU is left alone: its series keep their labels, and its
    // product is what this boot's store recorded.
    EXPECT_EQ(hostInfo, samples(r.out, "qvgpu_vm_p2p_gpu_info"));
    EXPECT_EQ(hostProducts, samples(r.out, "qvgpu_vm_p2p_gpu_product_info"));
    EXPECT_EQ(" 0\n", samples(r.out, "qvgpu_vm_p2p_isolation_breaches"));
    // The split groups with one guest: a warning (and the narrow link).
    EXPECT_EQ("{kind=\"link_narrow\"} 1\n{kind=\"isolation_split\"} 1\n",
              nonZero(r.out, "qvgpu_vm_p2p_warnings", sum));
    r = withGuests(host, {{"guest=vm1", {3}}, {"vm2", {4}, true}}, "--prometheus");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(" 1\n", samples(r.out, "qvgpu_vm_p2p_isolation_breaches"));
    EXPECT_EQ(" 0\n", samples(r.out, "qvgpu_vm_p2p_ready"));
    EXPECT_EQ("", promtoolComplaints(host, r.out));
    // Without this boot's store, a guest's GPU has no product sample.
    sim::writeFile(host.sysPath("../run/qvgpu-vm-p2p/stored"), "");
    r = withGuests(host, {{"guest=vm1", {3}}}, "--prometheus");
    EXPECT_EQ(hostInfo, samples(r.out, "qvgpu_vm_p2p_gpu_info"));
    EXPECT_EQ("{pci_address=\"0000:04:00.0\",product=\"RE-A3\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_product_info"));

    // A machine without the maker's GPUs counts none.
    sim::Topology none;
    none.rootPort("0000:00:01.0");
    sim::Machine bare(std::move(none), sim::Side::Host);
    r = metrics(bare);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(" 0\n", samples(r.out, "qvgpu_vm_p2p_gpus"));
    EXPECT_EQ("{kind=\"no_gpu\"} 1\n", nonZero(r.out, "qvgpu_vm_p2p_problems", sum));
    EXPECT_EQ("", promtoolComplaints(bare, r.out));

    // A guest before its save, after it, then with its driver configured:
    // the store files and the driver decide; the host's own families are
    // not there.
    HostAndGuest m(sim::switchedHost(1, 2, {0x0210}));
    r = metrics(m.guest);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(" 0\n", samples(r.out, "qvgpu_vm_p2p_ready"));
    EXPECT_EQ("{pci_address=\"0000:01:00.0\"} 0\n{pci_address=\"0000:02:00.0\"} 0\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_store_valid"));
    ASSERT_EQ(0, m.guest.run({"--save-data"}).status);
    r = metrics(m.guest);
    EXPECT_EQ(" 0\n", samples(r.out, "qvgpu_vm_p2p_ready"));
    EXPECT_EQ("{pci_address=\"0000:01:00.0\"} 0\n{pci_address=\"0000:02:00.0\"} 0\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_driver_configured"));
    sim::Driver driver(m.guest);
    driver.load();
    ASSERT_EQ(0, m.guest.run({"--config-address"}).status);
    r = metrics(m.guest);
    EXPECT_EQ(" 1\n", samples(r.out, "qvgpu_vm_p2p_ready"));
    EXPECT_EQ("{pci_address=\"0000:01:00.0\"} 1\n{pci_address=\"0000:02:00.0\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_driver_configured"));
    EXPECT_EQ("{device_id=\"0x0210\",pci_address=\"0000:01:00.0\",side=\"guest\"} 1\n"
              "{device_id=\"0x0210\",pci_address=\"0000:02:00.0\",side=\"guest\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_info"));
    EXPECT_EQ("{pci_address=\"0000:01:00.0\"} 1\n{pci_address=\"0000:02:00.0\"} 1\n",
              samples(r.out, "qvgpu_vm_p2p_gpu_store_valid"));
    for (const char* hostOnly : {"qvgpu_vm_p2p_gpu_in_use", "qvgpu_vm_p2p_gpu_link_width",
                                 "qvgpu_vm_p2p_gpu_link_transfers_per_second"})
        EXPECT_EQ(std::string::npos, r.out.find(hostOnly)) << hostOnly;
    EXPECT_EQ("", samples(r.out, "qvgpu_vm_p2p_isolation_breaches")) << "not judged in a guest";
    EXPECT_EQ("", promtoolComplaints(m.guest, r.out));
}

TEST(Metrics, LabelsFromSysfsAreEscapedAndAReportThatCannotRunExitsTwo)
{
    sim::Topology t = sim::switchedHost(1, 1, {0x0001});
    t.find("0000:03:00.0")->deviceText = "0x0001\"\\\xff\n";
    sim::Machine host(std::move(t), sim::Side::Host);
    sim::RunResult r = metrics(host);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("device_id=\"0x0001\\\"\\\\\\\\xff\""))
        << samples(r.out, "qvgpu_vm_p2p_gpu_info");
    EXPECT_EQ("", promtoolComplaints(host, r.out));

    sim::removeTree(host.sysPath("bus/pci/devices"));
    r = metrics(host);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
}

// A free port on the loopback interface, as the kernel picks one.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(a.sin_port);
}

// The body of GET /metrics, "" while nothing answers.
std::string scrape(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t got;
            while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
                reply.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    const auto body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

TEST(Metrics, NodeExporterServesTheFileTheUnitsCommandWrites)
{
    sim::Machine host(sim::switchedHost(1, 2, {0x0001}), sim::Side::Host);
    ASSERT_EQ(0, host.run({"--disable-acs", "--store-data"}).status);
    const std::string dir = host.sysPath("../textfile");
    sim::makeDirs(dir);
    const std::string status = sim::Machine::statusPath();
    const std::string command = "PATH=" + status.substr(0, status.rfind('/')) + ":$PATH " +
                                QVGPU_METRICS_COMMAND + " " + dir;
    sim::RunResult r = host.shell(command);
    ASSERT_EQ(0, r.status) << r.out << r.err;
    const std::string file = sim::readFile(dir + "/qvgpu-vm-p2p.prom");
    struct stat st;
    ASSERT_EQ(0, ::stat((dir + "/qvgpu-vm-p2p.prom").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777) << "node_exporter reads it as its own user";

    const int port = freePort();
    const pid_t exporter = ::fork();
    if (exporter == 0) {
        const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
        const std::string textfile = "--collector.textfile.directory=" + dir;
        ::execl("/usr/bin/prometheus-node-exporter", "prometheus-node-exporter", listen.c_str(),
                "--collector.disable-defaults", "--collector.textfile", textfile.c_str(),
                "--log.level=error", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string served;
    for (int i = 0; i < 200 && served.empty(); ++i) {   // until it listens, at most 20 s
        served = scrape(port);
        if (served.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(exporter, SIGTERM);
    ::waitpid(exporter, nullptr, 0);
    ASSERT_NE("", served) << "node_exporter never answered on port " << port;
    // Every sample of the file, as node_exporter serves it (its values as
    // Go prints a float: 16000000000 as 1.6e+10).
    std::istringstream lines(file);
    std::string line;
    int samplesSeen = 0;
    while (std::getline(lines, line))
        if (line[0] != '#') {
            ++samplesSeen;
            const std::string series = line.substr(0, line.rfind(' ') + 1);
            const auto at = served.find("\n" + series);
            ASSERT_NE(std::string::npos, at) << line;
            const std::string value = served.substr(at + 1 + series.size(),
                                                    served.find('\n', at + 1) - at - 1 - series.size());
            EXPECT_EQ(std::stod(line.substr(series.size())), std::stod(value)) << line;
        }
    // Version, verdict and GPU count, every kind of problem and warning,
    // two GPUs of nine families and their two switch ports; no IOMMU here,
    // so no isolation sample.
    EXPECT_EQ(3 + PROBLEM_KINDS + WARNING_KINDS + 2 * 9 + 2, samplesSeen);
    EXPECT_NE(std::string::npos, served.find("\nnode_textfile_scrape_error 0\n")) << served;
    EXPECT_NE(std::string::npos, served.find("\nqvgpu_vm_p2p_ready 1\n"));

    // A report that cannot run: the command fails, the last whole file
    // stays, and no temporary is left behind.
    sim::removeTree(host.sysPath("bus/pci/devices"));
    r = host.shell(command);
    EXPECT_NE(0, r.status);
    EXPECT_EQ(file, sim::readFile(dir + "/qvgpu-vm-p2p.prom"));
    EXPECT_EQ("qvgpu-vm-p2p.prom\n", host.shell("ls -A " + dir).out);

    // A run stopped midway leaves no temporary file either: a report that
    // hangs stands in, and TERM goes to all of the run, as systemd sends it
    // to a unit's processes when its time is up.  TERM is sent once the
    // report runs: one sent while dash forks it can be lost in the child,
    // and this report would then hang for its whole minute.
    const std::string hanging = host.sysPath("../hanging");
    sim::makeDirs(hanging);
    sim::writeFile(hanging + "/qvgpu-vm-p2p-status",
                   "#!/bin/sh\n: > " + hanging + "/running\nexec sleep 60\n");
    ::chmod((hanging + "/qvgpu-vm-p2p-status").c_str(), 0755);
    r = host.shell("PATH=" + hanging + ":$PATH setsid " + QVGPU_METRICS_COMMAND + " " + dir +
                   " & command=$!; "
                   "while [ ! -e " + hanging + "/running ]; do sleep 0.05; done; "
                   "kill -TERM -$command; wait $command; echo $?; ls -A " + dir);
    EXPECT_EQ("143\nqvgpu-vm-p2p.prom\n", r.out) << r.err;
}

} // namespace
