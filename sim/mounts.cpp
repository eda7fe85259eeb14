#include "mounts.h"

#include "machine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>

namespace sim {

void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

namespace {
int realEtcFd = -1;
} // namespace

int realEtc()
{
    return realEtcFd;
}

void enterPrivateMountNamespace()
{
    static bool entered = false;
    if (entered)
        return;
    if (::unshare(CLONE_NEWNS) != 0)
        fail("Cannot make a private mount namespace for the simulated machine (run as root)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("Cannot make the mount namespace private");
    realEtcFd = ::open("/etc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (realEtcFd < 0)
        fail("Cannot open /etc");
    entered = true;
}

Machine::Inside::Inside(const Machine& machine)
{
    enterPrivateMountNamespace();
    const FixedPaths paths(machine.root_);
    const int bound = paths.bind();
    if (bound != FixedPaths::COUNT) {
        const int saved = errno;
        FixedPaths::unbind(bound);
        errno = saved;
        fail(std::string("Cannot show the simulated machine on ") + FixedPaths::TARGETS[bound]);
    }
}

Machine::Inside::~Inside()
{
    FixedPaths::unbind(FixedPaths::COUNT);
}

} // namespace sim
