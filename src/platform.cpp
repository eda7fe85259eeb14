#include "platform.h"

#include <cstdio>
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

Mapping::Mapping(int fd, std::size_t length, int prot)
{
    if (fd < 0 || length == 0)
        return;
    void* addr = ::mmap(nullptr, length, prot, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED)
        return;
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
