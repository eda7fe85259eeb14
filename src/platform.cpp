#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

Mapping::Mapping(int fd, std::size_t length, int prot, off_t offset)
{
    if (fd < 0 || length == 0)
        return;
    void* addr = ::mmap(nullptr, length, prot, MAP_SHARED, fd, offset);
    if (addr == MAP_FAILED) {
        error_ = errno;
        return;
    }
    addr_ = addr;
    length_ = length;
}

Mapping::~Mapping()
{
    if (addr_)
        ::munmap(addr_, length_);
}

off_t fileSize(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return -1;
    return st.st_size;
}

UniqueFd openRegularFile(const std::string& path, std::string* why, FileError* error)
{
    return openRegularFileAt(AT_FDCWD, path, why, error);
}

UniqueFd openRegularFileAt(int dirFd, const std::string& path, std::string* why, FileError* error)
{
    FileError kind = FileError::None;
    UniqueFd fd(::openat(dirFd, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isOpen()) {
        kind = errno == ENOENT ? FileError::Missing : FileError::CannotOpen;
        if (why)
            *why = kind == FileError::Missing ? "no file " + path
                                              : "cannot open " + path + ": " + std::strerror(errno);
    } else {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            kind = FileError::NotRegular;
            if (why)
                *why = path + " is not a regular file";
            fd.reset();
            errno = EINVAL;
        }
    }
    if (error)
        *error = kind;
    return fd;
}

bool readRegularFile(const std::string& path, std::size_t limit, std::string& bytes,
                     std::string* why, FileError* error)
{
    return readRegularFileAt(AT_FDCWD, path, limit, bytes, why, error);
}

bool readRegularFileAt(int dirFd, const std::string& path, std::size_t limit, std::string& bytes,
                       std::string* why, FileError* error)
{
    bytes.clear();
    UniqueFd fd = openRegularFileAt(dirFd, path, why, error);
    if (!fd.isOpen())
        return false;
    bytes.resize(limit);
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd.get(), &bytes[got], limit - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (why)
                *why = "cannot read " + path + ": " + std::strerror(errno);
            if (error)
                *error = FileError::CannotRead;
            bytes.clear();
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return true;
}

CommandPipe::CommandPipe(const char* command)
{
    flushBeforeChild();
    stream_ = ::popen(command, "r");
}

CommandPipe::~CommandPipe()
{
    close();
}

int CommandPipe::close()
{
    if (!stream_)
        return 0;
    int rc = ::pclose(stream_);
    stream_ = nullptr;
    return rc;
}

void flushBeforeChild()
{
    std::fflush(stdout);
    std::fflush(stderr);
}

namespace {

const char* const TEMPORARY_SUFFIX = ".tmp";

// Flushes a directory's entries to disk, so that a rename in it survives a
// power loss.
bool syncDirectory(const std::string& directory)
{
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.isOpen() && ::fsync(dir.get()) == 0;
}

} // namespace

bool isTemporaryName(const std::string& name)
{
    // "." + the file's name + "." + a process ID + ".tmp"
    const std::size_t suffix = std::strlen(TEMPORARY_SUFFIX);
    if (name.size() <= 1 + suffix || name[0] != '.' ||
        name.compare(name.size() - suffix, suffix, TEMPORARY_SUFFIX) != 0)
        return false;
    const std::string middle = name.substr(1, name.size() - 1 - suffix);
    const std::size_t dot = middle.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == middle.size())
        return false;
    return middle.find_first_not_of("0123456789", dot + 1) == std::string::npos;
}

void removeStaleTemporaries(const std::string& directory)
{
    DIR* dir = ::opendir(directory.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        if (isTemporaryName(entry->d_name))
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

bool replaceFile(const std::string& path, const void* data, std::size_t length)
{
    const auto slash = path.rfind('/');
    const std::string directory = path.substr(0, slash + 1);
    const std::string temporary = directory + "." + path.substr(slash + 1) + "." +
                                  std::to_string(::getpid()) + TEMPORARY_SUFFIX;
    // Root's alone: the guest's records hold host-physical addresses.
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (!fd.isOpen())
        return false;
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < length) {
        const ssize_t n = ::write(fd.get(), bytes + done, length - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = false;
    }
    ok = ok && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        return false;
    }
    // The file is whole under its name already; the sync only makes the new
    // name durable, so a directory that cannot be synced fails nothing.
    syncDirectory(directory.empty() ? "." : directory);
    return true;
}
