// The mounts a simulated machine stands on: the private mount namespace,
// the real /etc its overlay is built on, and its parts bound on the fixed
// paths the tool finds them on.
#pragma once

#include <string>
#include <sys/mount.h>

namespace sim {

// Throws std::runtime_error with `what` and the reason errno gives.
[[noreturn]] void fail(const std::string& what);

// The machine's real /etc, held from before any simulated machine was shown
// on the fixed paths: every machine's overlay is built on it.
int realEtc();

// A machine's parts and the fixed paths the tool finds them on.
struct FixedPaths {
    static constexpr int COUNT = 6;
    static constexpr const char* TARGETS[COUNT] = {"/sys", "/dev", "/etc", "/run", "/proc/cpuinfo",
                                                   "/proc/cmdline"};
    std::string sources[COUNT];

    explicit FixedPaths(const std::string& root)
        : sources{root + "/sys", root + "/dev", root + "/etc", root + "/run", root + "/cpuinfo",
                  root + "/cmdline"}
    {
    }
    // Binds the parts in order; how many were bound (COUNT when all were).
    // Makes only system calls, so a freshly forked child may use it.
    int bind() const
    {
        int i = 0;
        while (i < COUNT &&
               ::mount(sources[i].c_str(), TARGETS[i], nullptr, MS_BIND | MS_REC, nullptr) == 0)
            ++i;
        return i;
    }
    static void unbind(int bound)
    {
        while (--bound >= 0)
            ::umount2(TARGETS[bound], MNT_DETACH);
    }
};

} // namespace sim
