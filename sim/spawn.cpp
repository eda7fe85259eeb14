// Running programs on the simulated machine: each in a child that shows
// the machine on the fixed paths, in a mount namespace of its own.
#include "machine.h"

#include "files.h"
#include "mounts.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace sim {

namespace {

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

} // namespace

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
    // does the tool where a GPU has files to hold (an IOMMU group's, or
    // pciback's sysfs files): run by root, each sees the machine's processes
    // alone, in a PID namespace of its own, not those of whatever machine
    // runs the tests.
    const auto grouped = [&] {
        for (const Device* d : topology_.all()) {
            std::error_code ec;
            const auto driver =
                std::filesystem::read_symlink(sysPath("bus/pci/devices/" + d->bdf + "/driver"), ec);
            if (d->isGpu && (d->iommuGroup >= 0 || driver.filename() == "pciback"))
                return true;
        }
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

} // namespace sim
