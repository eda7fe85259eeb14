#include "layout_warnings.h"

#include "wording.h"

#include <algorithm>

namespace {

void warnGroups(const StatusReport& report, const std::vector<std::size_t>& chosen,
                const std::set<std::string>& laidOut, std::vector<std::string>& notes)
{
    std::set<std::string> warned;
    for (std::size_t i : chosen) {
        const GpuFacts& gpu = report.gpus[i];
        for (const GroupMember& member : gpu.group) {
            if (member.bridge || laidOut.count(member.bus) || !warned.insert(member.bus).second)
                continue;
            const auto other = std::find_if(report.gpus.begin(), report.gpus.end(),
                                            [&](const GpuFacts& g) { return g.bus == member.bus; });
            const std::string head = "Warning: IOMMU group " + printable(gpu.iommuGroup) + " of " +
                                     gpu.bus + " also holds " + member.bus;
            if (other != report.gpus.end() && other->inUse)
                notes.push_back(head + ", a GPU that " + printable(userText(other->user)) +
                                " holds: the group goes to one guest whole");
            else
                notes.push_back(head + ", which must be bound to vfio-pci too (the group goes "
                                       "to one guest whole)");
        }
    }
}

void warnAcs(const StatusReport& report, const std::vector<std::size_t>& chosen,
             std::vector<std::string>& notes)
{
    std::set<std::string> redirecting, unknown;
    for (std::size_t a = 0; a < chosen.size(); ++a)
        for (std::size_t b = a + 1; b < chosen.size(); ++b) {
            const Link& link = report.links[chosen[a]][chosen[b]];
            if (link.turnSwitch.empty())
                continue;
            if (link.redirected)
                redirecting.insert(link.turnSwitch);
            else if (link.acsUnknown)
                unknown.insert(link.turnSwitch);
        }
    for (const std::string& bus : redirecting)
        notes.push_back("Warning: ACS in the host's switch at " + bus + " redirects peer traffic "
                        "to the root complex, where the guest's switch promises a path inside it: "
                        "run " + toolCommand({DISABLE_ACS}) + " here, or keep it off at every boot "
                        "with the parameter that " + KERNEL_ACS_COMMAND + " prints (then the "
                        "switch's GPUs form one IOMMU group, for one guest)");
    for (const std::string& bus : unknown)
        notes.push_back("Warning: whether ACS in the host's switch at " + bus + " redirects peer "
                        "traffic cannot be read, and the guest's switch promises a path inside it");
}

} // namespace

void warnLayout(const StatusReport& report, const std::vector<std::size_t>& chosen,
                const std::set<std::string>& laidOut, std::vector<std::string>& notes)
{
    warnGroups(report, chosen, laidOut, notes);
    warnAcs(report, chosen, notes);
}
