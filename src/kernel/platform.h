// Owners for the operating-system resources both programs touch: file
// descriptors and memory mappings, and files read without ever blocking.
// Each owner releases its resource on every path and cannot be copied, so no
// error path can leak a descriptor or a mapping.  Nothing here writes a file
// or starts a process: that is the tool's alone (writers.h).
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
    // Maps `length` bytes of `fd` from file offset `offset` (a multiple of
    // the page size).  ok() tells whether the system accepted the mapping.
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

// The size of an open file, or -1 when the system cannot tell.
off_t fileSize(int fd);

// Why a file could not be read, for the callers that decide by it.
enum class FileError { None, Missing, NotRegular, CannotOpen, CannotRead };

// Opens `path` for reading without ever blocking: a FIFO, socket or device
// in its place is closed again and refused (errno EINVAL), so no stray file
// can stop a run in open() or read().  `why` receives the reason of a
// failure as "no file <path>", "<path> is not a regular file" or "cannot
// open <path>: <reason>", and `error` its kind.
UniqueFd openRegularFile(const std::string& path, std::string* why = nullptr,
                         FileError* error = nullptr);
// The same for `path` relative to the directory open as `dirFd`, so that a
// directory that may be replaced meanwhile (a process's /proc/<pid>) is
// looked at through one open of it.
UniqueFd openRegularFileAt(int dirFd, const std::string& path, std::string* why = nullptr,
                           FileError* error = nullptr);
// Reads at most `limit` bytes of a regular file opened as above; false, with
// the reason in `why` and its kind in `error`, when it cannot be opened or
// read.
bool readRegularFile(const std::string& path, std::size_t limit, std::string& bytes,
                     std::string* why = nullptr, FileError* error = nullptr);
bool readRegularFileAt(int dirFd, const std::string& path, std::size_t limit, std::string& bytes,
                       std::string* why = nullptr, FileError* error = nullptr);

// Reads up to `length` bytes of an open file from `offset` into `into`:
// as many as the file holds there (fewer at its end), or -1, with errno,
// when the read failed.
long readAt(int fd, std::size_t offset, std::size_t length, void* into);

// True when the shell would find the command `name`, without starting
// one: the search the shell makes, over the directories of the command
// search path (or the system's default path when none is set).
bool onCommandPath(const char* name);

// Bytes below 0x20 and from 0x7f up as "\xNN", so that no text read from
// the system (sysfs, a process's name) can move a terminal's cursor or
// break a line.
std::string printable(const std::string& text);
