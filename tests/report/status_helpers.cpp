#include "status_helpers.h"

#include "files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qvtest {

sim::RunResult status(const sim::Machine& m, std::vector<std::string> args)
{
    sim::RunOptions o;
    o.program = sim::Machine::statusPath();
    return m.run(args, o);
}

std::string verdictOf(const std::string& out)
{
    const auto at = out.find("\nVerdict: ");
    return at == std::string::npos ? "(no verdict in)\n" + out : out.substr(at + 1);
}

std::string squeezed(const std::string& line)
{
    std::string out;
    for (char c : line)
        if (c != ' ' || out.empty() || out.back() != ' ')
            out += c;
    return out;
}

std::string gpuLine(const std::string& out, const std::string& bus)
{
    const auto start = out.find("  " + bus + "  ");
    if (start == std::string::npos)
        return "(no line for " + bus + ")";
    const auto lineStart = out.rfind('\n', start) + 1;
    const std::string name = squeezed(out.substr(lineStart, start - lineStart)).substr(1);
    const std::string line = out.substr(start + 2, out.find('\n', start) - start - 2);
    const auto memory = out.find("\n  " + name + " ", out.find("\nDevice memory"));
    if (memory == std::string::npos)
        return "(no memory line for " + bus + ")";
    const auto from = memory + 3 + name.size();
    return squeezed(line) + " |" + squeezed(out.substr(from, out.find('\n', from) - from));
}


sim::Topology twoSwitches()
{
    return sim::switchedHost(2, 2, {0x0001, 0x0002});
}

int tracedStatus(const sim::Machine& m, sim::RunResult& r)
{
    const std::string trace = m.sysPath("../status.trace");
    sim::RunOptions traced;
    traced.program = sim::Machine::statusPath();
    // LeakSanitizer cannot run under ptrace; the sanitizer build checks for
    // leaks in every other run of the report.
    traced.wrapper = {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-qq",
                      "-e", "trace=execve,fork,vfork,clone,clone3,open,openat,mmap", "-o", trace};
    r = m.run({}, traced);
    int processes = 0, resourceMaps = 0;
    std::istringstream calls(sim::readFile(trace));
    for (std::string call; std::getline(calls, call);) {
        if (call.find("execve(") != std::string::npos || call.find("fork(") != std::string::npos ||
            call.find("clone") != std::string::npos)
            ++processes;
        if (call.find("open") != std::string::npos) {
            EXPECT_EQ(std::string::npos, call.find("O_WRONLY")) << call;
            EXPECT_EQ(std::string::npos, call.find("O_RDWR")) << call;
            EXPECT_EQ(std::string::npos, call.find("O_CREAT")) << call;
        }
        if (call.find("mmap(") != std::string::npos && call.find("MAP_SHARED") != std::string::npos) {
            ++resourceMaps;
            EXPECT_NE(std::string::npos, call.find(", PROT_READ, MAP_SHARED,")) << call;
        }
    }
    EXPECT_EQ(1, processes);
    return resourceMaps;
}

sim::Topology everyLink()
{
    sim::Topology t;
    sim::Device& up = t.rootPort("0000:00:01.0").port("0000:01:00.0", sim::PortType::SwitchUpstream, false);
    up.port("0000:02:08.0", sim::PortType::SwitchDownstream).gpu("0000:03:00.0", 0x0002, 0x38bff0000000ull);
    up.port("0000:02:10.0", sim::PortType::SwitchDownstream).gpu("0000:04:00.0", 0x0002, 0x38bfe0000000ull);
    up.port("0000:02:18.0", sim::PortType::SwitchDownstream)
        .port("0000:05:00.0", sim::PortType::SwitchUpstream, false)
        .port("0000:06:08.0", sim::PortType::SwitchDownstream)
        .gpu("0000:07:00.0", 0x0002, 0x38bfd0000000ull);
    t.rootPort("0000:40:01.0").gpu("0000:41:00.0", 0x0002, 0x38bfc0000000ull);
    t.rootPort("0000:80:01.0").gpu("0000:81:00.0", 0x0002, 0x38bfb0000000ull);
    for (const std::string& gpu : t.gpus()) {
        t.find(gpu)->numaNode = gpu < "0000:80" ? 0 : 1;
        t.find(gpu)->iommuGroup = std::stoi(gpu.substr(5, 2), nullptr, 16);
    }
    // A numbered form, named from two registers.
    t.find("0000:07:00.0")->registers[0x78F8] = 0x1234;
    t.find("0000:07:00.0")->registers[0x78C0] = 31u << 25 | 3;
    return t;
}

void truncateConfig(const sim::Machine& m, const std::string& bdf, off_t size)
{
    ASSERT_EQ(0, ::truncate((m.devicePath(bdf) + "/config").c_str(), size));
}

sim::Topology nestedAndVmd()
{
    sim::Topology t;
    sim::Device& outer =
        t.rootPort("0000:00:01.0").port("0000:01:00.0", sim::PortType::SwitchUpstream, false);
    sim::Device& inner = outer.port("0000:02:08.0", sim::PortType::SwitchDownstream)
                             .port("0000:03:00.0", sim::PortType::SwitchUpstream, false);
    inner.port("0000:04:08.0", sim::PortType::SwitchDownstream).gpu("0000:05:00.0", 0x0001, 0x38bff0000000ull);
    inner.port("0000:04:10.0", sim::PortType::SwitchDownstream).gpu("0000:06:00.0", 0x0001, 0x38bfe0000000ull);
    outer.port("0000:02:10.0", sim::PortType::SwitchDownstream).gpu("0000:07:00.0", 0x0001, 0x38bfd0000000ull);
    sim::Device& vmd = t.add(sim::makeOther("0000:00:0e.0", 0x8086, 0x467f));
    vmd.childBusDir = "pci10000:00";
    vmd.add(sim::makePort("10000:00:01.0", sim::PortType::RootPort, false))
        .gpu("10000:01:00.0", 0x0001, 0x38bfc0000000ull);
    vmd.add(sim::makePort("10000:00:02.0", sim::PortType::RootPort, false))
        .gpu("10000:02:00.0", 0x0001, 0x38bfb0000000ull);
    // Only the inner switch redirects.
    t.find("0000:02:08.0")->acsControl = 0;
    t.find("0000:02:10.0")->acsControl = 0;
    return t;
}

std::string fixesOf(const sim::Machine& m)
{
    const sim::RunResult r = status(m, {"--json"});
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    if (doc.is_discarded() || !doc.contains("fixes"))
        return "no report (exit " + std::to_string(r.status) + "): " + r.out + r.err;
    std::string out = "exit " + std::to_string(r.status) + "\n";
    const std::regex bus("[0-9a-f]{4,}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]");
    for (const auto& fix : doc["fixes"]) {
        for (std::size_t p = 0; p < fix["problems"].size(); ++p) {
            out += (p ? " | " : "") + fix["kind"][p].get<std::string>();
            const std::string text = fix["problems"][p];
            std::size_t taken = 0;   // the end of the last reason: buses in it are its words
            for (std::sregex_iterator it(text.begin(), text.end(), bus), end; it != end; ++it) {
                if (static_cast<std::size_t>(it->position()) < taken)
                    continue;
                out += " " + it->str();
                // The reason that comes with it, a fact's words and not the verdict's.
                const std::size_t at = it->position() + it->length();
                std::size_t close = at + 1;
                int depth = 0;
                if (text.compare(at, 2, " (") != 0)
                    continue;
                do
                    depth += text[close] == '(' ? 1 : text[close] == ')' ? -1 : 0;
                while (depth > 0 && ++close < text.size());
                out += text.substr(at, close - at + 1);
                taken = close;
            }
        }
        if (!fix["command"].is_null())
            out += " => " + fix["command"].get<std::string>();
        if (!fix["where"].is_null())
            out += " (" + fix["where"].get<std::string>() + ")";
        out += "\n";
    }
    return out;
}

} // namespace qvtest
