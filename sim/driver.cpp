#include "driver.h"

#include "../rig/module/morvanti_cmd.h"

#include "files.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <linux/fuse.h>
#include <sys/mount.h>
#include <sys/uio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sim {

namespace {

// The real driver's nodes open; here the null device's numbers stand in
// for its own, so that a process can hold a node open as a device plugin
// does.
const unsigned DRIVER_MAJOR = 1;
const unsigned DRIVER_MINOR = 3;
// The largest write the kernel hands us in one request; the attribute keeps
// a page of it, as sysfs does.
const uint32_t MAX_WRITE = 64 * 1024;

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
        if (instance.bdf == bdf) {
            instance.minorText = std::move(text);
            instance.minorOverridden = true;
        }
}

void Driver::load(bool attributesLater)
{
    if (loaded_)
        return;
    if (::pipe2(wakeup_, O_CLOEXEC) != 0)
        throw std::runtime_error("driver stand-in: pipe");
    int minor = 0;
    for (auto& instance : instances_) {
        if (!instance.present)
            continue;
        instance.minor = minor++;
        // Opened now: /dev may not show the fuse device by the time the
        // attributes come.
        instance.fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (instance.fuse < 0)
            throw std::runtime_error("driver stand-in: cannot open /dev/fuse: " +
                                     std::string(std::strerror(errno)));
        if (!attributesLater)
            attach(instance);
    }
    makeDirs(guest_.sysPath("bus/pci/drivers/morvanti"));
    core_.clear();
    for (const char* file : {"bind", "unbind"}) {
        Instance control;
        control.core = file;
        control.bdf = file;
        control.fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        control.ino = nextIno_++;
        const std::string path = guest_.sysPath("bus/pci/drivers/morvanti/") + file;
        writeFile(path, "");
        const std::string options = "fd=" + std::to_string(control.fuse) +
                                    ",rootmode=100200,user_id=0,group_id=0";
        if (control.fuse < 0 || ::mount("morvanti", path.c_str(), "fuse", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                                         options.c_str()) != 0)
            throw std::runtime_error("driver stand-in: cannot mount " + path);
        control.attribute = path;
        control.mounted = true;
        core_.push_back(std::move(control));
    }
    server_ = std::thread([this] { serve(); });
    loaded_ = true;
    // The nodes come last: the last one tells that every GPU is taken up.
    for (auto& instance : instances_)
        if (instance.present) {
            const std::string node = nodePath(guest_, static_cast<std::size_t>(instance.minor));
            if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(DRIVER_MAJOR, DRIVER_MINOR)) != 0)
                throw std::runtime_error("driver stand-in: cannot create " + node);
        }
}

void Driver::createAttributes()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& instance : instances_)
            if (!instance.mounted)
                attach(instance);
    }
    (void)!::write(wakeup_[1], "a", 1);   // serve the new attributes too
}

void Driver::attach(Instance& instance)
{
    const std::string dir = guest_.devicePath(instance.bdf);
    // Bound, as the kernel links a device to the driver that probed it.
    ::unlink((dir + "/driver").c_str());
    makeSymlink("/sys/bus/pci/drivers/morvanti", dir + "/driver");
    if (!instance.minorOverridden)
        instance.minorText = std::to_string(instance.minor);
    if (instance.minorText)
        writeFile(dir + "/minor", *instance.minorText + "\n");
    // The attribute is a one-file FUSE filesystem mounted over an empty
    // file: each write(2) of the tool reaches us as one request.
    instance.attribute = dir + "/itr_debug";
    // Each probe makes its attribute anew, under an inode number of its
    // own, as sysfs numbers the attributes it makes.
    instance.ino = nextIno_++;
    writeFile(instance.attribute, "");
    const std::string options = "fd=" + std::to_string(instance.fuse) +
                                ",rootmode=100200,user_id=0,group_id=0";
    if (::mount("morvanti", instance.attribute.c_str(), "fuse", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                options.c_str()) != 0)
        throw std::runtime_error("driver stand-in: cannot mount " + instance.attribute + ": " +
                                 std::strerror(errno));
    instance.mounted = true;
}

void Driver::detach(Instance& instance)
{
    if (!instance.mounted)
        return;
    instance.mounted = false;
    if (instance.view >= 0) {
        ::umount2(instance.attribute.c_str(), MNT_DETACH);
        ::close(instance.view);
        instance.view = -1;
    }
    ::umount2(instance.attribute.c_str(), MNT_DETACH);
    ::unlink(instance.attribute.c_str());
}

void Driver::showAgain()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& instance : instances_) {
            if (!instance.mounted || instance.view >= 0)
                continue;
            instance.view = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
            const std::string options = "fd=" + std::to_string(instance.view) +
                                        ",rootmode=100200,user_id=0,group_id=0";
            if (instance.view < 0 ||
                ::mount("morvanti", instance.attribute.c_str(), "fuse",
                        MS_NOSUID | MS_NODEV | MS_NOEXEC, options.c_str()) != 0)
                throw std::runtime_error("driver stand-in: cannot show " + instance.attribute +
                                         " again: " + std::strerror(errno));
        }
    }
    (void)!::write(wakeup_[1], "a", 1);
}

void Driver::bindAgain(const std::string& bdf)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < instances_.size(); ++i) {
            Instance& instance = instances_[i];
            if (instance.bdf != bdf)
                continue;
            const std::string node = nodePath(guest_, static_cast<std::size_t>(instance.minor));
            ::unlink(node.c_str());
            detach(instance);
            ::unlink((guest_.devicePath(bdf) + "/minor").c_str());
            ::unlink((guest_.devicePath(bdf) + "/driver").c_str());
            instance.table.clear();
            // A FUSE connection serves one mount in its life: the new
            // instance gets a new one, as a probe makes its attributes anew.
            ::close(instance.fuse);
            instance.fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
            if (instance.fuse < 0)
                throw std::runtime_error("driver stand-in: cannot open /dev/fuse");
            attach(instance);
            if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(DRIVER_MAJOR, DRIVER_MINOR)) != 0)
                throw std::runtime_error("driver stand-in: cannot create " + node);
        }
    }
    (void)!::write(wakeup_[1], "a", 1);
}

void Driver::removeAttribute(const std::string& bdf)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& instance : instances_)
        if (instance.bdf == bdf)
            detach(instance);
}

void Driver::unbind(const std::string& bdf)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& instance : instances_)
        if (instance.bdf == bdf) {
            detach(instance);
            ::unlink((guest_.devicePath(bdf) + "/minor").c_str());
            ::unlink((guest_.devicePath(bdf) + "/driver").c_str());
            instance.table.clear();
        }
}

void Driver::unload()
{
    if (!loaded_)
        return;
    for (auto& instance : instances_)
        if (instance.minor >= 0)
            ::unlink(nodePath(guest_, static_cast<std::size_t>(instance.minor)).c_str());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& instance : instances_)
            detach(instance);
        for (auto& control : core_) {
            ::umount2(control.attribute.c_str(), MNT_DETACH);
            control.mounted = false;
        }
    }
    removeTree(guest_.sysPath("bus/pci/drivers/morvanti"));
    (void)!::write(wakeup_[1], "x", 1);
    server_.join();
    ::close(wakeup_[0]);
    ::close(wakeup_[1]);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& instance : instances_) {
        if (instance.present) {
            ::unlink((guest_.devicePath(instance.bdf) + "/minor").c_str());
            ::unlink((guest_.devicePath(instance.bdf) + "/driver").c_str());
        }
        if (instance.fuse >= 0)
            ::close(instance.fuse);
        instance.fuse = -1;
        instance.minor = -1;
        instance.table.clear();   // a reloaded driver starts knowing nothing
    }
    for (auto& control : core_)
        ::close(control.fuse);
    core_.clear();
    loaded_ = false;
}

void Driver::serve()
{
    std::vector<pollfd> fds;
    std::vector<Instance*> served;
    const auto watch = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        fds.assign(1, {wakeup_[0], POLLIN, 0});
        served.clear();
        for (auto* list : {&instances_, &core_})
            for (auto& instance : *list)
                if (instance.mounted)
                    for (const int fuse : {instance.fuse, instance.view})
                        if (fuse >= 0) {
                            fds.push_back({fuse, POLLIN, 0});
                            served.push_back(&instance);
                        }
    };
    watch();
    // A request holds at most one write of max_write bytes and its headers.
    std::vector<uint8_t> request(MAX_WRITE + 4096);
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents) {
            char why = 0;
            if (::read(wakeup_[0], &why, 1) != 1 || why != 'a')
                return;
            watch();
            continue;
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                fds[i].fd = -1;   // the attribute was taken away
                continue;
            }
            if (!(fds[i].revents & POLLIN))
                continue;
            const ssize_t n = ::read(fds[i].fd, request.data(), request.size());
            if (n <= 0) {
                if (errno == ENODEV)
                    fds[i].fd = -1;
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answer(*served[i - 1], fds[i].fd, request.data(), static_cast<std::size_t>(n));
            }
            // A probe or a removal changed the files served.
            if (rewatch_) {
                rewatch_ = false;
                watch();
                break;
            }
        }
    }
}

namespace {

void reply(int fuse, uint64_t unique, int error, const void* body = nullptr, std::size_t size = 0)
{
    fuse_out_header header{};
    header.len = static_cast<uint32_t>(sizeof header + (error ? 0 : size));
    header.error = -error;
    header.unique = unique;
    iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(body), error ? 0 : size}};
    (void)!::writev(fuse, parts, body && !error ? 2 : 1);
}

fuse_attr_out attributeOfTheFile(uint64_t ino)
{
    fuse_attr_out out{};
    out.attr.ino = ino;
    out.attr.mode = S_IFREG | 0200;
    out.attr.nlink = 1;
    out.attr.blksize = 4096;
    return out;
}

} // namespace

void Driver::answer(Instance& instance, int fuse, const uint8_t* request, std::size_t length)
{
    fuse_in_header in;
    if (length < sizeof in)
        return;
    std::memcpy(&in, request, sizeof in);
    const uint8_t* body = request + sizeof in;
    const std::size_t bodyLength = length - sizeof in;
    switch (in.opcode) {
    case FUSE_INIT: {
        fuse_init_in init{};
        std::memcpy(&init, body, std::min(bodyLength, sizeof init));
        fuse_init_out out{};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = std::min<uint32_t>(init.minor, FUSE_KERNEL_MINOR_VERSION);
        out.max_write = MAX_WRITE;
        reply(fuse, in.unique, 0, &out, sizeof out);
        return;
    }
    case FUSE_GETATTR:
    case FUSE_SETATTR: {   // O_TRUNC on open: there is nothing to cut
        const fuse_attr_out out = attributeOfTheFile(instance.ino);
        reply(fuse, in.unique, 0, &out, sizeof out);
        return;
    }
    case FUSE_OPEN: {
        fuse_open_out out{};
        out.open_flags = FOPEN_DIRECT_IO;   // every write(2) comes on its own
        reply(fuse, in.unique, 0, &out, sizeof out);
        return;
    }
    case FUSE_WRITE: {
        fuse_write_in write{};
        if (bodyLength < sizeof write) {
            reply(fuse, in.unique, EINVAL);
            return;
        }
        std::memcpy(&write, body, sizeof write);
        // Like sysfs, the attribute takes at most a page per write.
        const std::size_t size = std::min<std::size_t>({write.size, bodyLength - sizeof write, 4096});
        const char* bytes = reinterpret_cast<const char*>(body + sizeof write);
        int error = 0;
        if (instance.core.empty())
            error = store(instance, bytes, size);
        else
            coreStore(instance.core, std::string(bytes, size));
        fuse_write_out out{};
        out.size = static_cast<uint32_t>(size);
        reply(fuse, in.unique, error, &out, sizeof out);
        return;
    }
    case FUSE_FLUSH:
    case FUSE_RELEASE:
    case FUSE_ACCESS:
        reply(fuse, in.unique, 0);
        return;
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
    case FUSE_INTERRUPT:
        return;   // no answer is expected
    case FUSE_LOOKUP:
        reply(fuse, in.unique, ENOENT);
        return;
    default:
        reply(fuse, in.unique, ENOSYS);
        return;
    }
}

int Driver::store(Instance& instance, const char* bytes, std::size_t n)
{
    const std::string line(bytes, n);
    instance.received.push_back(line);
    log_.push_back(instance.bdf + ": " + line);
    // The one form the real driver takes, checked by the very parser of the
    // rig's stand-in module: anything else is refused.
    unsigned int minor = 0;
    u64 address = 0;
    if (morvanti_parse_cmd(bytes, n, &minor, &address) == 0) {
        instance.table[std::to_string(minor)] = address;
        return 0;
    }
    // The same command with "x" in place of the minor, read by the same
    // parser with a minor of 0 in its place.
    const std::string unknown = MORVANTI_CMD_WORD "x ";
    if (!acceptUnknownMinor_ || line.compare(0, unknown.size(), unknown) != 0)
        return EINVAL;
    const std::string known = MORVANTI_CMD_WORD "0 " + line.substr(unknown.size());
    if (morvanti_parse_cmd(known.data(), known.size(), &minor, &address) != 0)
        return EINVAL;
    instance.table["x"] = address;
    return 0;
}

void Driver::probe(Instance& instance)
{
    if (instance.minor >= 0 || !instance.present)
        return;
    // The lowest minor no GPU has.
    int minor = 0;
    while (std::any_of(instances_.begin(), instances_.end(),
                       [&](const Instance& other) { return other.minor == minor; }))
        ++minor;
    instance.minor = minor;
    ::close(instance.fuse);
    instance.fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (instance.fuse < 0)
        throw std::runtime_error("driver stand-in: cannot open /dev/fuse");
    instance.table.clear();
    attach(instance);
    const std::string node = nodePath(guest_, static_cast<std::size_t>(minor));
    if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(DRIVER_MAJOR, DRIVER_MINOR)) != 0)
        throw std::runtime_error("driver stand-in: cannot create " + node);
    rewatch_ = true;
}

void Driver::remove(Instance& instance)
{
    if (instance.minor < 0)
        return;
    ::unlink(nodePath(guest_, static_cast<std::size_t>(instance.minor)).c_str());
    detach(instance);
    ::unlink((guest_.devicePath(instance.bdf) + "/minor").c_str());
    ::unlink((guest_.devicePath(instance.bdf) + "/driver").c_str());
    instance.minor = -1;
    instance.table.clear();
    rewatch_ = true;
}

void Driver::coreStore(const std::string& file, const std::string& text)
{
    const std::string bdf = text.substr(0, text.find('\n'));
    coreWrites_.push_back(file + " " + bdf);
    for (auto& instance : instances_)
        if (instance.bdf == bdf)
            file == "bind" ? probe(instance) : remove(instance);
}

void Driver::unplug(const std::string& bdf)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& instance : instances_)
            if (instance.bdf == bdf) {
                remove(instance);
                instance.present = false;
            }
        rewatch_ = false;
    }
    if (loaded_)
        (void)!::write(wakeup_[1], "a", 1);
    guest_.unplug(bdf);
}

void Driver::plug(const std::string& bdf, const std::vector<uint8_t>& record)
{
    guest_.plug(bdf, record);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& instance : instances_)
            if (instance.bdf == bdf) {
                instance.present = true;
                if (loaded_)
                    probe(instance);
            }
        rewatch_ = false;
    }
    if (loaded_)
        (void)!::write(wakeup_[1], "a", 1);
}

std::vector<std::string> Driver::coreWrites() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return coreWrites_;
}

std::string Driver::node(const std::string& bdf) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& instance : instances_)
        if (instance.bdf == bdf && instance.minor >= 0)
            return "/dev/morvanti" + std::to_string(instance.minor);
    return "";
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
    // A request is answered under the lock before its writer goes on.
    std::lock_guard<std::mutex> lock(mutex_);
}

} // namespace sim
