// Owners of descriptors and mappings, released on every path and never
// copied, so that no error path leaks one; and files read without ever
// blocking.  Nothing here writes a file or starts a process (writers.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A shared mapping of (part of) an open file, unmapped on destruction.
class Mapping {
public:
    // `offset` a multiple of the page size; ok() when the system accepted it.
    Mapping(int fd, std::size_t length, int prot, off_t offset = 0);
    Mapping() = default;   // nothing mapped
    ~Mapping();
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    bool ok() const { return addr_ != nullptr; }
    // Why the system refused the mapping (errno), 0 when it was not asked.
    int error() const { return error_; }
    unsigned char* data() const { return static_cast<unsigned char*>(addr_); }
    std::size_t size() const { return length_; }

    // Registers are read and written as single 32-bit accesses.
    uint32_t load32(std::size_t offset) const
    {
        return *reinterpret_cast<const volatile uint32_t*>(data() + offset);
    }
    void store32(std::size_t offset, uint32_t value) const
    {
        *reinterpret_cast<volatile uint32_t*>(data() + offset) = value;
    }

private:
    void* addr_ = nullptr;
    std::size_t length_ = 0;
    int error_ = 0;
};

off_t fileSize(int fd);   // -1 when the system cannot tell

enum class FileError { None, Missing, NotRegular, CannotOpen, CannotRead };

// Opens `path` for reading without ever blocking: a FIFO, socket or device
// in its place is refused (errno EINVAL), so no stray file can stop a run.
// `why` receives "no file <path>", "<path> is not a regular file" or "cannot
// open <path>: <reason>".  The "At" forms look at a directory that may be
// replaced meanwhile (a process's /proc/<pid>) through one open of it.  The
// reads take at most `limit` bytes.
UniqueFd openRegularFile(const std::string& path, std::string* why = nullptr,
                         FileError* error = nullptr);
UniqueFd openRegularFileAt(int dirFd, const std::string& path, std::string* why = nullptr,
                           FileError* error = nullptr);
bool readRegularFile(const std::string& path, std::size_t limit, std::string& bytes,
                     std::string* why = nullptr, FileError* error = nullptr);
bool readRegularFileAt(int dirFd, const std::string& path, std::size_t limit, std::string& bytes,
                       std::string* why = nullptr, FileError* error = nullptr);

// Reads up to `length` bytes from `offset`: how many the file holds there,
// or -1 (errno set).
long readAt(int fd, std::size_t offset, std::size_t length, void* into);

// Whether the shell would find the command `name`, found without a shell.
bool onCommandPath(const char* name);

// Bytes below 0x20 and from 0x7f up as "\xNN", so that no text read from
// the system can move a terminal's cursor or break a line.
std::string printable(const std::string& text);
