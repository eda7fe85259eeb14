#include "holders.h"

#include "pci_device.h"
#include "platform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool isNumber(const char* name)
{
    return *name && std::strspn(name, "0123456789") == std::strlen(name);
}

// How one process's descriptors could be looked at.
enum class Look { Seen, Unseen, Gone };

// The ones of `files` that the process (its /proc directory `pidFd`) holds open.
Look heldFiles(int pidFd, const std::set<std::string>& files,
               std::vector<const std::string*>& held)
{
    const int dirFd = ::openat(pidFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno == ENOENT || errno == ESRCH ? Look::Gone : Look::Unseen;
    Dir dir(::fdopendir(dirFd));
    if (!dir) {
        ::close(dirFd);
        return Look::Unseen;
    }
    char target[256];
    static const std::string driverNodes = gpuNodePath();
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!isNumber(entry->d_name))
            continue;
        const ssize_t n = ::readlinkat(dirFd, entry->d_name, target, sizeof target - 1);
        // The links answer only a reader that may trace the process.
        if (n < 0 && (errno == EACCES || errno == EPERM))
            return Look::Unseen;
        // Only /dev/vfio/, /sys/ and the driver's nodes are looked up.
        if (n < 5 || (std::strncmp(target, "/dev/vfio/", 10) != 0 && std::strncmp(target, "/sys/", 5) != 0 &&
                      std::strncmp(target, driverNodes.c_str(), driverNodes.size()) != 0))
            continue;
        const auto found = files.find(std::string(target, static_cast<std::size_t>(n)));
        if (found != files.end())
            held.push_back(&*found);
    }
    return Look::Seen;
}

// The ones of `files` that the process maps (at the end of a maps line).
Look mappedFiles(int pidFd, const std::set<std::string>& files,
                 std::vector<const std::string*>& held)
{
    const UniqueFd maps(::openat(pidFd, "maps", O_RDONLY | O_CLOEXEC));
    if (!maps.isOpen())
        return errno == ENOENT || errno == ESRCH ? Look::Gone : Look::Unseen;
    // Read in pieces, whatever the size of the process's map.
    std::string line;
    char chunk[65536];
    for (ssize_t n; (n = ::read(maps.get(), chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Look::Unseen;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] != '\n') {
                line += chunk[i];
                continue;
            }
            const std::size_t at = line.find(" /sys/");
            const auto found = at == std::string::npos ? files.end() : files.find(line.substr(at + 1));
            if (found != files.end())
                held.push_back(&*found);
            line.clear();
        }
    }
    return Look::Seen;
}

std::vector<std::string> argumentsOf(int pidFd)
{
    std::string bytes;
    // The command line is only read of a process found holding a GPU.
    readRegularFileAt(pidFd, "cmdline", 65536, bytes);
    std::vector<std::string> argv;
    std::istringstream in(bytes);
    for (std::string argument; std::getline(in, argument, '\0');)
        argv.push_back(argument);
    return argv;
}

// Whether this process has CAP_SYS_PTRACE (bit 19) in its effective set.
bool ptraceCapability()
{
    std::string status;
    readRegularFile("/proc/self/status", 16384, status);
    const std::size_t at = status.find("\nCapEff:");
    if (at == std::string::npos)
        return false;
    const unsigned long long effective = std::strtoull(status.c_str() + at + 9, nullptr, 16);
    return effective >> 19 & 1;
}

// The options of the proc file system mounted on /proc.
std::string procMountOptions()
{
    std::string mounts;
    readRegularFile("/proc/self/mountinfo", 1 << 20, mounts);
    std::string options;
    std::istringstream lines(mounts);
    for (std::string line; std::getline(lines, line);) {
        // id parent major:minor root mountpoint options ... - type source super-options
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        const std::size_t dash = line.find(" - proc ");
        if (point != "/proc" || dash == std::string::npos)
            continue;
        std::istringstream rest(line.substr(dash + 8));
        std::string source;
        rest >> source >> options;   // the last mount on /proc is the one seen
    }
    return options;
}

// How a GPU is passed through, and the files whose holder holds it.
Passthrough passthroughOf(const PciDevice& device, std::vector<std::string>& files)
{
    const std::string group = device.iommuGroup();
    bool groupFile = false;
    if (!group.empty())
        for (const char* prefix : {"/dev/vfio/", "/dev/vfio/noiommu-"}) {
            files.push_back(prefix + group);
            struct stat st;
            groupFile = groupFile || ::stat(files.back().c_str(), &st) == 0;
        }
    const std::vector<std::string> devices = device.vfioDevices();
    for (const std::string& name : devices)
        files.push_back("/dev/vfio/devices/" + name);
    const std::string driver = device.driverName();
    if (driver == "pciback") {
        // QEMU's Xen passthrough uses its sysfs files: config written, BARs mapped.
        const std::string dir = device.canonicalPath();
        if (!dir.empty()) {
            files.push_back(dir + "/config");
            for (int bar = 0; bar < 6; ++bar)
                for (const char* suffix : {"", "_wc"})
                    files.push_back(dir + "/resource" + std::to_string(bar) + suffix);
        }
        return Passthrough::Pciback;
    }
    if (driver == "vfio-pci" || !devices.empty() ||
        (driver.find("vfio") != std::string::npos && groupFile))
        return Passthrough::Vfio;
    return Passthrough::None;
}

} // namespace

std::string qemuGuestName(const std::vector<std::string>& argv)
{
    for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
        if (argv[i] != "-name" && argv[i] != "--name")
            continue;
        const std::string& value = argv[i + 1];
        // The name is the first of its comma-separated parts, bare or as
        // "guest=".  A doubled comma stands for a comma in the name.
        std::string name;
        for (std::size_t at = 0; at < value.size(); ++at) {
            if (value[at] == ',' && (at + 1 == value.size() || value[at + 1] != ','))
                break;
            name += value[at];
            at += value[at] == ',';
        }
        if (name.compare(0, 6, "guest=") == 0)
            return name.substr(6);
        return name.find('=') == std::string::npos ? name : "";
    }
    return "";
}

bool procHidesOthers(const std::string& mountOptions, bool ptraceCapability)
{
    std::istringstream options(mountOptions);
    std::string option;
    while (std::getline(options, option, ','))
        if (option == "hidepid=2" || option == "hidepid=invisible" || option == "hidepid=4" ||
            option == "hidepid=ptraceable")
            return !ptraceCapability;
    return false;
}

HolderScan findHolders(const std::set<std::string>& files, bool maps)
{
    HolderScan scan;
    if (files.empty())
        return scan;
    scan.hidden = procHidesOthers(procMountOptions(), ptraceCapability());
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0) {
        scan.hidden = true;
        return scan;
    }
    UniqueFd procOwner(procFd);
    const int listFd = ::dup(procFd);
    Dir proc(listFd < 0 ? nullptr : ::fdopendir(listFd));
    if (!proc) {
        if (listFd >= 0)
            ::close(listFd);
        scan.hidden = true;
        return scan;
    }
    while (const dirent* entry = ::readdir(proc.get())) {
        if (!isNumber(entry->d_name))
            continue;
        // One open of its directory for all reads: a reused pid lends no name.
        UniqueFd pidFd(::openat(procFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!pidFd.isOpen()) {
            if (errno != ENOENT && errno != ESRCH)
                ++scan.unseen;
            continue;
        }
        std::vector<const std::string*> held;
        Look look = heldFiles(pidFd.get(), files, held);
        if (maps && look == Look::Seen)
            look = mappedFiles(pidFd.get(), files, held);
        if (look == Look::Unseen)
            ++scan.unseen;
        if (held.empty())
            continue;
        ProcessFacts process;
        process.pid = std::atoi(entry->d_name);
        std::string comm;
        readRegularFileAt(pidFd.get(), "comm", 64, comm);
        process.name = comm.substr(0, comm.find('\n'));
        if (process.name.compare(0, 4, "qemu") == 0)
            process.guest = qemuGuestName(argumentsOf(pidFd.get()));
        for (const std::string* file : held)
            scan.holders.emplace(*file, process);
    }
    return scan;
}

GpuHolders findGpuHolders(const std::vector<std::string>& buses)
{
    std::vector<std::vector<std::string>> filesOf(buses.size());
    std::vector<Passthrough> through(buses.size(), Passthrough::None);
    std::set<std::string> files;
    bool pciback = false;
    for (std::size_t i = 0; i < buses.size(); ++i) {
        through[i] = passthroughOf(PciDevice(buses[i]), filesOf[i]);
        pciback = pciback || through[i] == Passthrough::Pciback;
        files.insert(filesOf[i].begin(), filesOf[i].end());
    }
    const HolderScan scan = findHolders(files, pciback);
    // A PCI backend names its devices only in xenstore, not read here: while
    // one runs, every GPU bound to pciback may be its.
    const bool backends = pciback && xenPciBackendsRunning();
    GpuHolders holders;
    holders.unseen = scan.unseen;
    holders.hidden = scan.hidden;
    for (std::size_t i = 0; i < buses.size(); ++i) {
        GpuHold& gpu = holders.gpus[buses[i]];
        gpu.through = through[i];
        for (const std::string& file : filesOf[i]) {
            const auto holder = scan.holders.find(file);
            if (holder != scan.holders.end()) {
                gpu.holder = Holder::Process;
                gpu.process = holder->second;
                break;
            }
        }
        if (gpu.holder == Holder::Process || gpu.through == Passthrough::None)
            continue;
        // vfio-pci enables a device while a user (of any namespace) has it
        // open; pciback while a domU's pcifront has decoding on.  A process may
        // hold its files without that: only a look that saw all rules it out.
        const bool xen = gpu.through == Passthrough::Pciback;
        const std::optional<unsigned> enabled = PciDevice(buses[i]).enableCount();
        if ((enabled && *enabled > 0) || (xen && backends))
            gpu.holder = xen ? Holder::XenGuest : Holder::Unseen;
        else
            gpu.holder = enabled && scan.complete() ? Holder::Free : Holder::Undecided;
    }
    return holders;
}
