#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    return std::exchange(fd_, -1);
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

Mapping::Mapping(Mapping&& other) noexcept
{
    *this = std::move(other);
}

// The old mapping goes with `other`.
Mapping& Mapping::operator=(Mapping&& other) noexcept
{
    std::swap(addr_, other.addr_);
    std::swap(length_, other.length_);
    std::swap(error_, other.error_);
    return *this;
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
    const long got = readAt(fd.get(), 0, limit, &bytes[0]);
    if (got < 0) {
        if (why)
            *why = "cannot read " + path + ": " + std::strerror(errno);
        if (error)
            *error = FileError::CannotRead;
        bytes.clear();
        return false;
    }
    bytes.resize(static_cast<std::size_t>(got));
    return true;
}

long readAt(int fd, std::size_t offset, std::size_t length, void* into)
{
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, static_cast<char*>(into) + got, length - got,
                                  static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

bool onCommandPath(const char* name)
{
    const char* path = std::getenv("PATH");
    std::string fallback;
    if (!path) {
        // The search path the shell uses when none is set.
        const std::size_t n = ::confstr(_CS_PATH, nullptr, 0);
        fallback.resize(n);
        if (n > 0)
            ::confstr(_CS_PATH, &fallback[0], n);
        fallback.resize(n ? n - 1 : 0);
        path = fallback.c_str();
    }
    const std::string list = path;
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = list.find(':', start);
        const std::string dir = list.substr(start, end == std::string::npos ? end : end - start);
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::string printable(const std::string& text)
{
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out;
}
