#include "files.h"

#include "platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

UniqueFd openOrFail(const std::string& path, int flags)
{
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
    if (!fd.isOpen())
        fail("Cannot open", path);
    return fd;
}

} // namespace

void makeDirs(const std::string& path)
{
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw std::runtime_error("Cannot create " + path + ": " + ec.message());
}

void writeFile(const std::string& path, const std::string& content)
{
    const UniqueFd f = openOrFail(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (::write(f.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        fail("Cannot write", path);
}

void copyExecutable(const std::string& from, const std::string& to)
{
    writeFile(to, readFile(from));
    if (::chmod(to.c_str(), 0755) != 0)
        fail("Cannot chmod", to);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot open " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void makeSparseFile(const std::string& path, uint64_t size)
{
    const UniqueFd f = openOrFail(path, O_RDWR | O_CREAT | O_TRUNC);
    if (::ftruncate(f.get(), static_cast<off_t>(size)) != 0)
        fail("Cannot size", path);
}

void makeSymlink(const std::string& target, const std::string& linkPath)
{
    if (::symlink(target.c_str(), linkPath.c_str()) != 0)
        fail("Cannot link", linkPath);
}

void removeTree(const std::string& path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

void writeBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes)
{
    const UniqueFd f = openOrFail(path, O_WRONLY);
    if (::pwrite(f.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(bytes.size()))
        fail("Cannot write", path);
}

std::vector<uint8_t> readBytes(const std::string& path, uint64_t offset, std::size_t length)
{
    const UniqueFd f = openOrFail(path, O_RDONLY);
    std::vector<uint8_t> bytes(length);
    const ssize_t n = ::pread(f.get(), bytes.data(), length, static_cast<off_t>(offset));
    if (n < 0)
        fail("Cannot read", path);
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
}

void pokeWord(const std::string& path, uint64_t offset, uint32_t value)
{
    writeBytes(path, offset,
               {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
}

uint32_t peekWord(const std::string& path, uint64_t offset)
{
    const auto b = readBytes(path, offset, 4);
    if (b.size() != 4)
        throw std::runtime_error("Short read of " + path);
    return b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24;
}

} // namespace sim
