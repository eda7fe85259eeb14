// Owners for the operating-system resources the tool touches: file
// descriptors, memory mappings of PCI resource files, and command pipes.
// Each owner releases its resource on every path and cannot be copied, so no
// error path can leak a descriptor, a mapping or a child process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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
    ~Mapping();
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

// A command started through the shell with its standard output on a pipe.
// The stream is closed (and the command waited for) on destruction unless
// close() has already done it.
class CommandPipe {
public:
    explicit CommandPipe(const char* command);
    ~CommandPipe();
    CommandPipe(const CommandPipe&) = delete;
    CommandPipe& operator=(const CommandPipe&) = delete;

    FILE* stream() const { return stream_; }
    // Waits for the command; the result of pclose.
    int close();

private:
    FILE* stream_ = nullptr;
};

// Our own messages are buffered on standard output; a child started through
// the shell writes straight to the shared descriptors.  Flushing first keeps
// the lines in the order in which they happened.
void flushBeforeChild();

// Replaces the file at `path` with exactly `length` bytes of `data`, readable
// and writable by its owner alone, so that
// the file is either the old one or the whole new one, never a part: the
// bytes go to a temporary file in the same directory, which is flushed to
// disk and then renamed over `path`.  False (errno set) when any step fails;
// the temporary file is then removed and `path` is left as it was.
// The new name is synced in its directory before it returns.
bool replaceFile(const std::string& path, const void* data, std::size_t length);

// True for a name that replaceFile gives its temporary files.
bool isTemporaryName(const std::string& name);
// Removes what a run killed inside replaceFile left behind in `directory`:
// the files of its temporary naming.
void removeStaleTemporaries(const std::string& directory);
