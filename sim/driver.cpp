#include "driver.h"

#include "files.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sim {

namespace {

const unsigned DRIVER_MAJOR = 237;

std::string nodePath(const Machine& guest, std::size_t index)
{
    return guest.devPath("morvanti" + std::to_string(index));
}

} // namespace

Driver::Driver(const Machine& guest) : guest_(guest)
{
    for (const std::string& bdf : guest.topology().gpus())
        if (!guest.topology().find(bdf)->offline)
            gpus_.push_back(bdf);
    for (std::size_t i = 0; i < gpus_.size(); ++i) {
        Instance instance;
        instance.bdf = gpus_[i];
        instance.minorText = std::to_string(i);
        instances_.push_back(std::move(instance));
    }
}

Driver::~Driver()
{
    unload();
}

void Driver::setMinorText(const std::string& bdf, std::optional<std::string> text)
{
    for (auto& instance : instances_)
        if (instance.bdf == bdf)
            instance.minorText = std::move(text);
}

void Driver::load()
{
    if (loaded_)
        return;
    for (auto& instance : instances_) {
        const std::string dir = guest_.devicePath(instance.bdf);
        if (instance.minorText)
            writeFile(dir + "/minor", *instance.minorText + "\n");
        const std::string debug = dir + "/itr_debug";
        if (::mkfifo(debug.c_str(), 0200) != 0)
            throw std::runtime_error("driver stand-in: cannot create " + debug);
        instance.fd = ::open(debug.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        instance.keepOpen = ::open(debug.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (instance.fd < 0 || instance.keepOpen < 0)
            throw std::runtime_error("driver stand-in: cannot open " + debug);
    }
    if (::pipe2(wakeup_, O_CLOEXEC) != 0)
        throw std::runtime_error("driver stand-in: pipe");
    server_ = std::thread([this] { serve(); });
    makeDirs(guest_.sysPath("bus/pci/drivers/morvanti"));
    loaded_ = true;
    // The nodes come last: the last one tells that every GPU is taken up.
    for (std::size_t i = 0; i < instances_.size(); ++i) {
        const std::string node = nodePath(guest_, i);
        if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(DRIVER_MAJOR, i)) != 0)
            throw std::runtime_error("driver stand-in: cannot create " + node);
    }
}

void Driver::unload()
{
    if (!loaded_)
        return;
    for (std::size_t i = 0; i < instances_.size(); ++i)
        ::unlink(nodePath(guest_, i).c_str());
    removeTree(guest_.sysPath("bus/pci/drivers/morvanti"));
    (void)!::write(wakeup_[1], "x", 1);
    server_.join();
    ::close(wakeup_[0]);
    ::close(wakeup_[1]);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& instance : instances_) {
        const std::string dir = guest_.devicePath(instance.bdf);
        ::unlink((dir + "/itr_debug").c_str());
        ::unlink((dir + "/minor").c_str());
        ::close(instance.fd);
        ::close(instance.keepOpen);
        instance.fd = instance.keepOpen = -1;
        instance.partial.clear();
        instance.table.clear();   // a reloaded driver starts knowing nothing
    }
    loaded_ = false;
}

void Driver::serve()
{
    std::vector<pollfd> fds;
    fds.push_back({wakeup_[0], POLLIN, 0});
    for (const auto& instance : instances_)
        fds.push_back({instance.fd, POLLIN, 0});
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            return;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            // Read under the lock, so that settle() sees nothing in flight.
            std::lock_guard<std::mutex> lock(mutex_);
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                take(instances_[i - 1], buf, static_cast<std::size_t>(n));
        }
    }
}

void Driver::take(Instance& instance, const char* bytes, std::size_t n)
{
    instance.partial.append(bytes, n);
    std::size_t end;
    while ((end = instance.partial.find('\n')) != std::string::npos) {
        const std::string line = instance.partial.substr(0, end + 1);
        instance.partial.erase(0, end + 1);
        instance.received.push_back(line);
        log_.push_back(instance.bdf + ": " + line);
        // "pt_p2p_cfg <minor> <host address in hexadecimal>"
        const std::string word = "pt_p2p_cfg ";
        if (line.compare(0, word.size(), word) != 0)
            continue;
        const std::string rest = line.substr(word.size(), line.size() - word.size() - 1);
        const auto space = rest.find(' ');
        if (space == std::string::npos || space == 0 || space + 1 == rest.size())
            continue;
        const std::string hex = rest.substr(space + 1);
        if (hex.find_first_not_of("0123456789abcdef") != std::string::npos || hex.size() > 16)
            continue;
        instance.table[rest.substr(0, space)] = std::stoull(hex, nullptr, 16);
    }
}

std::vector<std::string> Driver::received(const std::string& bdf) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& instance : instances_)
        if (instance.bdf == bdf)
            return instance.received;
    return {};
}

std::map<std::string, uint64_t> Driver::table(const std::string& bdf) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& instance : instances_)
        if (instance.bdf == bdf)
            return instance.table;
    return {};
}

std::vector<std::string> Driver::log() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::size_t Driver::totalReceived() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& instance : instances_)
        n += instance.received.size();
    return n;
}

void Driver::settle() const
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bool empty = true;
            for (const auto& instance : instances_) {
                int pending = 0;
                if (instance.fd >= 0 && ::ioctl(instance.fd, FIONREAD, &pending) == 0 && pending > 0)
                    empty = false;
            }
            if (empty)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace sim
