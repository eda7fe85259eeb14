#include "machine.h"

#include "files.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef QVGPU_TOOL_PATH
#error "QVGPU_TOOL_PATH must name the built tool"
#endif

namespace fs = std::filesystem;

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

const char* const HOST_CPUINFO =
    "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Simulated CPU\n"
    "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 "
    "clflush mmx fxsr sse sse2 ss ht syscall nx pdpe1gb rdtscp lm constant_tsc vmx\n\n";
const char* const GUEST_CPUINFO =
    "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Simulated CPU\n"
    "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 "
    "clflush mmx fxsr sse sse2 ss syscall nx pdpe1gb rdtscp lm constant_tsc hypervisor\n\n";

// The firmware of a server as a maker ships it, and QEMU's (with SeaBIOS)
// as a guest sees it: sys_vendor, product_name, product_version,
// board_vendor, bios_vendor, chassis_vendor.
const char* const HOST_DMI[] = {"Supermicro", "SYS-421GE-TNRT", "0123456789", "Supermicro",
                                "American Megatrends International, LLC.", "Supermicro"};
const char* const GUEST_DMI[] = {"QEMU", "Standard PC (Q35 + ICH9, 2009)", "pc-q35-7.2", "",
                                 "SeaBIOS", "QEMU"};
const char* const DMI_NAMES[] = {"sys_vendor", "product_name", "product_version", "board_vendor",
                                 "bios_vendor", "chassis_vendor"};

// An SMBIOS table as firmware hands it to the kernel: the BIOS information
// (type 0, with its BIOS Characteristics Extension Byte 2, whose bit 4
// marks a virtual machine), then the end of the table.
std::string smbiosTable(bool virtualMachine)
{
    std::string t(0x18, '\0');
    t[0] = 0;                                   // type 0
    t[1] = 0x18;                                // its formatted length
    t[4] = 1;                                   // vendor: string 1
    t[5] = 2;                                   // version: string 2
    t[8] = 3;                                   // release date: string 3
    t[0x12] = 0x01;                             // ACPI
    t[0x13] = static_cast<char>(virtualMachine ? 0x14 : 0x04);
    t += std::string("BIOS\0" "1.0\0" "01/01/2024\0", 20) + '\0';
    t += std::string("\x7f\x04\xff\xfe\0\0", 6);   // type 127, end of table
    return t;
}

long long nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void childFail(const char* what)
{
    const char* reason = std::strerror(errno);
    (void)!::write(2, "simulated machine: ", 19);
    (void)!::write(2, what, std::strlen(what));
    (void)!::write(2, ": ", 2);
    (void)!::write(2, reason, std::strlen(reason));
    (void)!::write(2, "\n", 1);
    _exit(125);
}

// The machine's parts and the fixed paths the tool finds them on.
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

} // namespace

// The machine's real /etc, held from before any simulated machine was shown
// on the fixed paths: every machine's overlay is built on it.
int realEtc = -1;

void enterPrivateMountNamespace()
{
    static bool entered = false;
    if (entered)
        return;
    if (::unshare(CLONE_NEWNS) != 0)
        fail("Cannot make a private mount namespace for the simulated machine (run as root)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("Cannot make the mount namespace private");
    realEtc = ::open("/etc", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (realEtc < 0)
        fail("Cannot open /etc");
    entered = true;
}

// ---------------------------------------------------------------- Process

Process::Process(pid_t pid, int outFd, int errFd) : pid_(pid), outFd_(outFd), errFd_(errFd) {}

Process::Process(Process&& other) noexcept
    : pid_(other.pid_), outFd_(other.outFd_), errFd_(other.errFd_),
      out_(std::move(other.out_)), err_(std::move(other.err_))
{
    other.pid_ = -1;
    other.outFd_ = other.errFd_ = -1;
}

Process::~Process()
{
    if (pid_ > 0)
        collect(SIGKILL);
}

bool Process::pump(int timeoutMs)
{
    pollfd fds[2];
    int n = 0;
    if (outFd_ >= 0)
        fds[n++] = {outFd_, POLLIN, 0};
    if (errFd_ >= 0)
        fds[n++] = {errFd_, POLLIN, 0};
    if (n == 0)
        return false;
    const int ready = ::poll(fds, n, timeoutMs);
    if (ready <= 0)
        return ready == 0 || errno == EINTR;
    for (int i = 0; i < n; ++i) {
        if (!fds[i].revents)
            continue;
        char buf[4096];
        const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
        const bool isOut = fds[i].fd == outFd_;
        if (got > 0) {
            (isOut ? out_ : err_).append(buf, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            ::close(fds[i].fd);
            (isOut ? outFd_ : errFd_) = -1;
        }
    }
    return true;
}

bool Process::waitForOutput(const std::string& needle, int timeoutMs)
{
    const long long deadline = nowMs() + timeoutMs;
    while (out_.find(needle) == std::string::npos) {
        const long long left = deadline - nowMs();
        if (left <= 0 || !pump(static_cast<int>(left)))
            return out_.find(needle) != std::string::npos;
    }
    return true;
}

bool Process::waitForInotifyWatch(int timeoutMs) const
{
    // /proc/<pid>/fdinfo of an inotify descriptor lists one "inotify wd:"
    // line per watch.
    const std::string fdinfo = "/proc/" + std::to_string(pid_) + "/fdinfo";
    const long long deadline = nowMs() + timeoutMs;
    do {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(fdinfo, ec)) {
            std::string text;
            try {
                text = readFile(entry.path().string());
            } catch (const std::exception&) {
                continue;
            }
            if (text.find("inotify wd:") != std::string::npos)
                return true;
        }
        ::usleep(2000);
    } while (nowMs() < deadline);
    return false;
}

RunResult Process::finish(int signal)
{
    RunResult result = collect(signal);
    for (const char* marker : {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer",
                               "runtime error:"})
        if (result.err.find(marker) != std::string::npos)
            throw std::runtime_error("sanitizer report from the tool:\n" + result.err);
    return result;
}

RunResult Process::collect(int signal)
{
    RunResult result;
    if (pid_ <= 0)
        return result;
    if (signal)
        ::kill(pid_, signal);
    // A tool that does not end on its own within a minute is a failure of
    // the test, not a reason to hang the suite.
    const long long deadline = nowMs() + 60000;
    while (outFd_ >= 0 || errFd_ >= 0) {
        const long long left = deadline - nowMs();
        if (left <= 0) {
            ::kill(pid_, SIGKILL);
            break;
        }
        pump(static_cast<int>(left));
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (outFd_ >= 0)
        ::close(outFd_);
    if (errFd_ >= 0)
        ::close(errFd_);
    outFd_ = errFd_ = -1;
    result.out = out_;
    result.err = err_;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// ---------------------------------------------------------------- Machine

std::string Machine::toolPath()
{
    return QVGPU_TOOL_PATH;
}

std::string Machine::statusPath()
{
    return QVGPU_STATUS_PATH;
}

void Machine::bindDriver(const std::string& bdf, const std::string& driver) const
{
    makeDirs(root_ + "/sys/bus/pci/drivers/" + driver);
    const std::string link = devicePath(bdf) + "/driver";
    ::unlink(link.c_str());
    makeSymlink("/sys/bus/pci/drivers/" + driver, link);
}

void Machine::setKernelPower(const std::string& bdf, const std::string& runtimeStatus,
                             const std::string& powerState) const
{
    const std::string dir = devicePath(bdf);
    makeDirs(dir + "/power");
    writeFile(dir + "/power/runtime_status", runtimeStatus + "\n");
    writeFile(dir + "/power_state", powerState + "\n");
}

void Machine::hideHypervisorFlag() const
{
    writeFile(root_ + "/cpuinfo", HOST_CPUINFO);
}

void Machine::setDmi(const std::string& field, const std::string& text) const
{
    const std::string path = root_ + "/sys/class/dmi/id/" + field;
    if (text.empty())
        ::unlink(path.c_str());
    else
        writeFile(path, text + "\n");
}

void Machine::setSmbiosVirtualMachine(bool set) const
{
    writeFile(root_ + "/sys/firmware/dmi/tables/DMI", smbiosTable(set));
}

void Machine::setLockdown(const std::string& mode) const
{
    std::string text;
    for (const char* m : {"none", "integrity", "confidentiality"})
        text += (text.empty() ? "" : " ") + (m == mode ? "[" + mode + "]" : std::string(m));
    makeDirs(root_ + "/sys/kernel/security");
    writeFile(root_ + "/sys/kernel/security/lockdown", text + "\n");
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
        writeFile(root_ + "/cpuinfo", side == Side::Guest ? GUEST_CPUINFO : HOST_CPUINFO);
        setKernelCommandLine("BOOT_IMAGE=/boot/vmlinuz-6.1.0-28-amd64 root=/dev/sda1 ro quiet");
        installSoftReset();
        makeDirs(root_ + "/sys/class/dmi/id");
        makeDirs(root_ + "/sys/firmware/dmi/tables");
        for (int f = 0; f < 6; ++f)
            setDmi(DMI_NAMES[f], (side == Side::Guest ? GUEST_DMI : HOST_DMI)[f]);
        setSmbiosVirtualMachine(false);
        for (const char* dir : {"/etc", "/.etc-upper", "/.etc-work"})
            makeDirs(root_ + dir);
        // The machine starts without the real machine's /etc/qv, whatever a
        // developer left there: a whiteout hides it in the overlay.
        const std::string whiteout = root_ + "/.etc-upper/qv";
        if (::mknod(whiteout.c_str(), S_IFCHR | 0600, makedev(0, 0)) != 0)
            fail("Cannot create " + whiteout);
        const std::string options = "lowerdir=/proc/self/fd/" + std::to_string(realEtc) +
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

void Machine::setKernelCommandLine(const std::string& text) const
{
    writeFile(root_ + "/cmdline", text + "\n");
}

void Machine::installSoftReset()
{
    bool needed = false;
    for (const Device* d : topology_.all())
        needed = needed || !d->noSoftReset;
    if (!needed)
        return;
    // Configuration spaces here are plain files that setpci writes, with
    // nobody behind them to reset: the machine's own setpci, first on every
    // run's search path, plays the device.  A device in D3hot whose
    // No_Soft_Reset is clear, moved to D0, resets: its command register
    // reads 0 and BAR0 reads as at power-on (its type bits alone, 64-bit
    // prefetchable), as the PCI power management rules have it.  The write
    // itself goes on down the search path, through whatever a test put
    // there; the reset is the hardware's and goes straight to the real
    // setpci.
    std::string real;
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin", "/usr/local/bin"})
        if (::access((std::string(dir) + "/setpci").c_str(), X_OK) == 0) {
            real = std::string(dir) + "/setpci";
            break;
        }
    if (real.empty())
        fail("Cannot find setpci for the simulated machine");
    softResetBin_ = root_ + "/sim-bin";
    makeDirs(softResetBin_);
    const std::string script = softResetBin_ + "/setpci";
    writeFile(script,
              "#!/bin/sh\n"
              "before=$(" + real + " -s \"$2\" CAP_PM+4.w 2>/dev/null)\n"
              "PATH=${PATH#*:} setpci \"$@\"; status=$?\n"
              "after=$(" + real + " -s \"$2\" CAP_PM+4.w 2>/dev/null)\n"
              "if [ -n \"$before\" ] && [ $((0x$before & 0xb)) -eq 3 ] && "
              "[ $((0x$after & 3)) -eq 0 ]; then\n"
              "    " + real + " -s \"$2\" COMMAND=0 BASE_ADDRESS_0=0000000c BASE_ADDRESS_1=0\n"
              "fi\n"
              "exit $status\n");
    ::chmod(script.c_str(), 0755);
}

Process Machine::spawn(const std::vector<std::string>& argv, const RunOptions& options,
                       const std::string& executable) const
{
    // Everything the child needs is prepared before fork: after it, only
    // system calls.
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string pathVariable =
        "PATH=" + (softResetBin_.empty() ? options.path : softResetBin_ + ":" + options.path);
    char* env[] = {&pathVariable[0], nullptr};
    const FixedPaths paths(root_);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        fail("pipe");
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        fail("pipe");
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(devNull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (::unshare(CLONE_NEWNS) != 0)
            childFail("unshare");
        // Nothing mounted here reaches back; the machine's own later mounts
        // still reach here.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0)
            childFail("private mounts");
        const int bound = paths.bind();
        if (bound != FixedPaths::COUNT)
            childFail(FixedPaths::TARGETS[bound]);
        if (::chdir("/") != 0)
            childFail("chdir");
        if (options.uid != 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(options.uid) != 0 ||
                ::setuid(options.uid) != 0)
                childFail("setuid");
        }
        ::execve(executable.empty() ? args[0] : executable.c_str(), args.data(), env);
        childFail(args[0]);
    }
    const int forkErrno = errno;
    ::close(devNull);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        errno = forkErrno;
        fail("fork");
    }
    return Process(pid, outPipe[0], errPipe[0]);
}

Process Machine::start(const std::vector<std::string>& args, const RunOptions& options) const
{
    const std::string program = options.program.empty() ? toolPath() : options.program;
    std::vector<std::string> argv;
    // The report looks through every process for the GPUs' holders, and so
    // does the tool where a GPU has VFIO files to hold (an IOMMU group): run
    // by root, each sees the machine's processes alone, in a PID namespace
    // of its own, not those of whatever machine runs the tests.
    const auto grouped = [&] {
        for (const Device* d : topology_.all())
            if (d->isGpu && d->iommuGroup >= 0)
                return true;
        return false;
    };
    if ((program == statusPath() || (program == toolPath() && grouped())) && options.uid == 0 &&
        options.ownProcesses)
        argv = ownProcesses();
    argv.insert(argv.end(), options.wrapper.begin(), options.wrapper.end());
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    if (options.uid == 0 || !options.wrapper.empty())
        return spawn(argv, options);
    // Another user may not be able to enter the directories above the build
    // (a checkout under /root, a private temporary directory): it runs a
    // copy inside the machine's own tree, under the program's usual name.
    const std::string copy = root_ + "/" + program.substr(program.rfind('/') + 1);
    if (::access(copy.c_str(), X_OK) != 0)
        copyExecutable(program, copy);
    return spawn(argv, options, copy);
}

std::vector<std::string> Machine::ownProcesses() const
{
    return {"/usr/bin/unshare", "--pid", "--fork", "--kill-child", "/bin/sh", "-c",
            "mount -t proc proc /proc && mount --bind " + root_ + "/cpuinfo /proc/cpuinfo && "
            "mount --bind " + root_ + "/cmdline /proc/cmdline && "
            "exec \"$@\"",
            "sh"};
}

RunResult Machine::run(const std::vector<std::string>& args, const RunOptions& options) const
{
    return start(args, options).finish();
}

RunResult Machine::shell(const std::string& commandLine) const
{
    return spawn({"/bin/sh", "-c", commandLine}, {}).finish();
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
