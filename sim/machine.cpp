#include "machine.h"

#include "files.h"
#include "mounts.h"

#include <filesystem>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#ifndef QVGPU_TOOL_PATH
#error "QVGPU_TOOL_PATH must name the built tool"
#endif

namespace fs = std::filesystem;

namespace sim {

std::string Machine::toolPath()
{
    return QVGPU_TOOL_PATH;
}

std::string Machine::statusPath()
{
    return QVGPU_STATUS_PATH;
}

Machine::Machine(Topology topology, Side side) : topology_(std::move(topology)), side_(side)
{
    enterPrivateMountNamespace();
    char tmpl[] = "/tmp/qvsim.XXXXXX";
    if (!::mkdtemp(tmpl))
        fail("Cannot create a directory for the simulated machine");
    root_ = tmpl;
    if (::mount("qvsim", root_.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        ::rmdir(root_.c_str());
        fail("Cannot mount a tmpfs for the simulated machine");
    }
    // Shared, so that what the driver stand-in mounts in it later (its
    // attributes) reaches the tools already running on the machine.
    if (::mount(nullptr, root_.c_str(), nullptr, MS_SHARED, nullptr) != 0) {
        ::umount2(root_.c_str(), MNT_DETACH);
        ::rmdir(root_.c_str());
        fail("Cannot share the simulated machine's mounts");
    }
    try {
        materialize(topology_, root_ + "/sys");
        makeDirs(root_ + "/dev");
        makeDirs(root_ + "/run");
        const std::string null = root_ + "/dev/null";
        if (::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            fail("Cannot create " + null);
        ::chmod(null.c_str(), 0666);
        showKernelAndFirmware();
        installSoftReset();
        for (const char* dir : {"/etc", "/.etc-upper", "/.etc-work"})
            makeDirs(root_ + dir);
        // The machine starts without the real machine's /etc/qv, whatever a
        // developer left there: a whiteout hides it in the overlay.
        const std::string whiteout = root_ + "/.etc-upper/qv";
        if (::mknod(whiteout.c_str(), S_IFCHR | 0600, makedev(0, 0)) != 0)
            fail("Cannot create " + whiteout);
        const std::string options = "lowerdir=/proc/self/fd/" + std::to_string(realEtc()) +
                                    ",upperdir=" + root_ + "/.etc-upper,workdir=" +
                                    root_ + "/.etc-work";
        if (::mount("overlay", (root_ + "/etc").c_str(), "overlay", 0, options.c_str()) != 0)
            fail("Cannot mount an overlay over /etc for the simulated machine");
    } catch (...) {
        ::umount2(root_.c_str(), MNT_DETACH);
        ::rmdir(root_.c_str());
        throw;
    }
}

Machine::~Machine()
{
    ::umount2((root_ + "/etc").c_str(), MNT_DETACH);
    ::umount2(root_.c_str(), MNT_DETACH);
    ::rmdir(root_.c_str());
}

std::string Machine::sysPath(const std::string& pathUnderSys) const
{
    return root_ + "/sys/" + pathUnderSys;
}

std::string Machine::devicePath(const std::string& bdf) const
{
    return fs::canonical(sysPath("bus/pci/devices/" + bdf)).string();
}

std::string Machine::etcPath(const std::string& pathUnderEtc) const
{
    return root_ + "/etc/" + pathUnderEtc;
}

std::string Machine::devPath(const std::string& pathUnderDev) const
{
    return root_ + "/dev/" + pathUnderDev;
}

std::vector<uint8_t> Machine::config(const std::string& bdf) const
{
    return readBytes(devicePath(bdf) + "/config", 0, 4096);
}

uint16_t Machine::config16(const std::string& bdf, uint32_t offset) const
{
    const auto b = readBytes(devicePath(bdf) + "/config", offset, 2);
    if (b.size() != 2)
        throw std::runtime_error("short configuration space of " + bdf);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

} // namespace sim
