// Owners of descriptors and mappings, never copied, released on every path;
// and files read without blocking.  Nothing here writes or starts a process.
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

// Opens `path` to read, never blocking: anything but a regular file is refused (EINVAL).
// `why`: "no file <path>", "<path> is not a regular file" or "cannot open <path>: <reason>".
// The "At" forms look through one open of a directory (/proc/<pid>); reads take `limit`.
UniqueFd openRegularFile(const std::string& path, std::string* why = nullptr,
                         FileError* error = nullptr);
UniqueFd openRegularFileAt(int dirFd, const std::string& path, std::string* why = nullptr,
                           FileError* error = nullptr);
bool readRegularFile(const std::string& path, std::size_t limit, std::string& bytes,
                     std::string* why = nullptr, FileError* error = nullptr);
bool readRegularFileAt(int dirFd, const std::string& path, std::size_t limit, std::string& bytes,
                       std::string* why = nullptr, FileError* error = nullptr);

// Reads up to `length` bytes from `offset`: how many it got, or -1 (errno set).
long readAt(int fd, std::size_t offset, std::size_t length, void* into);

// Whether the shell would find the command `name`, found without a shell.
bool onCommandPath(const char* name);

// Bytes below 0x20 and from 0x7f up as "\xNN": no text from the system moves
// a terminal's cursor or breaks a line.
std::string printable(const std::string& text);
