// A stand-in for the GPU kernel driver "morvanti" in a simulated guest.  It
// offers what the tool relies on from the real driver, and nothing more:
//   - /sys/bus/pci/drivers/morvanti exists exactly while it is loaded;
//   - each GPU has a "minor" attribute (distinct numbers from 0 in bus order);
//   - each GPU's "itr_debug" takes command lines, and the GPU's driver
//     instance keeps the table of (minor -> host address) it has been told;
//   - loading creates /dev/morvanti0 .. morvanti<N-1> in that order,
//     unloading removes them.
#pragma once

#include "machine.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class Driver {
public:
    explicit Driver(const Machine& guest);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    void load();
    void unload();
    bool loaded() const { return loaded_; }

    // The text the driver shows in a GPU's "minor" attribute from the next
    // load on (nullopt: no attribute at all).
    void setMinorText(const std::string& bdf, std::optional<std::string> text);

    // GPUs the driver takes up, in bus order.
    const std::vector<std::string>& gpus() const { return gpus_; }
    // Every command line a GPU has received, in order, and what its driver
    // instance knows now (forgotten when the driver is unloaded).
    std::vector<std::string> received(const std::string& bdf) const;
    std::map<std::string, uint64_t> table(const std::string& bdf) const;
    std::size_t totalReceived() const;
    // Every command line of every GPU in the order they arrived: "bdf: line".
    std::vector<std::string> log() const;
    // Waits until every byte written so far has been taken in.
    void settle() const;

private:
    struct Instance {
        std::string bdf;
        std::optional<std::string> minorText;
        int fd = -1;           // the debug attribute, read end
        int keepOpen = -1;     // a write end we hold, so readers never see end of file
        std::string partial;   // bytes of a line not ended yet
        std::vector<std::string> received;
        std::map<std::string, uint64_t> table;
    };
    void serve();
    void take(Instance& instance, const char* bytes, std::size_t n);

    const Machine& guest_;
    std::vector<std::string> gpus_;
    std::vector<Instance> instances_;
    std::vector<std::string> log_;
    bool loaded_ = false;
    std::thread server_;
    int wakeup_[2] = {-1, -1};
    mutable std::mutex mutex_;
};

} // namespace sim
