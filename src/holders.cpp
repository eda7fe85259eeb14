#include "holders.h"

#include "platform.h"

#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool isNumber(const char* name)
{
    if (!*name)
        return false;
    for (; *name; ++name)
        if (!std::isdigit(static_cast<unsigned char>(*name)))
            return false;
    return true;
}

// The ones of `files` that the process's descriptors point at.
std::vector<const std::string*> heldFiles(int procFd, const char* pid,
                                          const std::set<std::string>& files)
{
    std::vector<const std::string*> held;
    const std::string fdDir = std::string(pid) + "/fd";
    const int dirFd = ::openat(procFd, fdDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return held;   // gone, or not ours to see
    Dir dir(::fdopendir(dirFd));
    if (!dir) {
        ::close(dirFd);
        return held;
    }
    char target[256];
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!isNumber(entry->d_name))
            continue;
        const ssize_t n = ::readlinkat(dirFd, entry->d_name, target, sizeof target - 1);
        // Every file sought lies under /dev/vfio/: the rest is passed over
        // without a look-up.
        if (n < 10 || std::string(target, 10) != "/dev/vfio/")
            continue;
        const auto found = files.find(std::string(target, static_cast<std::size_t>(n)));
        if (found != files.end())
            held.push_back(&*found);
    }
    return held;
}

std::vector<std::string> argumentsOf(const std::string& pid)
{
    std::string bytes;
    // The command line is only read of a process found holding a GPU.
    readRegularFile("/proc/" + pid + "/cmdline", 65536, bytes);
    std::vector<std::string> argv;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos)
            end = bytes.size();
        argv.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return argv;
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
        std::size_t at = 0;
        while (at < value.size()) {
            if (value[at] == ',') {
                if (at + 1 < value.size() && value[at + 1] == ',') {
                    name += ',';
                    at += 2;
                    continue;
                }
                break;
            }
            name += value[at++];
        }
        if (name.compare(0, 6, "guest=") == 0)
            return name.substr(6);
        return name.find('=') == std::string::npos ? name : "";
    }
    return "";
}

std::map<std::string, ProcessFacts> findHolders(const std::set<std::string>& files)
{
    std::map<std::string, ProcessFacts> holders;
    if (files.empty())
        return holders;
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return holders;
    UniqueFd procOwner(procFd);
    const int listFd = ::dup(procFd);
    Dir proc(listFd < 0 ? nullptr : ::fdopendir(listFd));
    if (!proc) {
        if (listFd >= 0)
            ::close(listFd);
        return holders;
    }
    while (const dirent* entry = ::readdir(proc.get())) {
        if (!isNumber(entry->d_name))
            continue;
        const std::vector<const std::string*> held = heldFiles(procFd, entry->d_name, files);
        if (held.empty())
            continue;
        ProcessFacts process;
        process.pid = std::atoi(entry->d_name);
        std::string comm;
        readRegularFile(std::string("/proc/") + entry->d_name + "/comm", 64, comm);
        process.name = comm.substr(0, comm.find('\n'));
        if (process.name.compare(0, 4, "qemu") == 0)
            process.guest = qemuGuestName(argumentsOf(entry->d_name));
        for (const std::string* file : held)
            holders.emplace(*file, process);
    }
    return holders;
}
