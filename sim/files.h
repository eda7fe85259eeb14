// File helpers for building and inspecting the simulated machine.  They
// throw std::runtime_error naming the path and the reason: a simulated
// machine that cannot be built must fail the test that wanted it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

void makeDirs(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// A copy of an executable that every user may run.
void copyExecutable(const std::string& from, const std::string& to);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void makeSparseFile(const std::string& path, uint64_t size);
void makeSymlink(const std::string& target, const std::string& linkPath);
void removeTree(const std::string& path);

// 32-bit little-endian words and byte ranges inside a file.
void pokeWord(const std::string& path, uint64_t offset, uint32_t value);
uint32_t peekWord(const std::string& path, uint64_t offset);
std::vector<uint8_t> readBytes(const std::string& path, uint64_t offset, std::size_t length);
void writeBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);

} // namespace sim
