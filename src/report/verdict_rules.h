// What the verdict's rules share; and a guest's rules, apart from a host's.
#pragma once

#include "status.h"

#include <string>
#include <utility>

// Collects the problems that one command fixes.
struct FixBuilder {
    Fix fix;
    FixBuilder& add(const std::string& items, const std::string& problem, ProblemKind kind)
    {
        if (!items.empty()) {
            fix.problems.push_back(problem + items);
            fix.kinds.push_back(kind);
        }
        return *this;
    }
    void addTo(Verdict& verdict, std::string command = "", std::string where = "")
    {
        if (fix.problems.empty())
            return;
        fix.command = std::move(command);
        fix.where = std::move(where);
        verdict.fixes.push_back(std::move(fix));
        fix = Fix();
    }
};

inline void warn(Verdict& verdict, WarningKind kind, const std::string& text)
{
    verdict.warnings.push_back(text);
    verdict.warningKinds.push_back(kind);
}

// Unreadable device memory that the tool's run gets past: it wakes GPUs.
inline bool wakeGetsPast(const GpuFacts& gpu)
{
    return gpu.recordFailure == ReadFailure::Asleep;
}

inline bool heldByDriver(const GpuFacts& gpu)
{
    return gpu.recordFailure == ReadFailure::HeldByDriver;
}

// A guest's store files, then, once they are all valid, its GPU driver.
void judgeGuest(const StatusReport& report, Verdict& verdict);
