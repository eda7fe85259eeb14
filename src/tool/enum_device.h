// Finding the maker's GPUs and waking them, one board record per GPU.
#pragma once

#include "device_table.h"
#include "holders.h"
#include "pci_device.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The time a device moved from D3hot to D0 may take before it answers.
constexpr uint64_t D0_RECOVERY_MICROSECONDS = 10000;

class EnumDevice {
public:
    EnumDevice() = default;
    EnumDevice(const EnumDevice&) = delete;
    EnumDevice& operator=(const EnumDevice&) = delete;

    // Wakes the maker's devices and keeps those that answer.  A GPU a guest
    // holds is left alone, said, not woken, no board (its address kept, for
    // the ports above).  An unlistable sysfs throws filesystem_error.
    void initPciDevice();
    // Only these are woken or written; false, said, for one not here.
    bool limitTo(const std::vector<std::string>& gpus);
    const std::set<std::string>& leftAlone() const { return leftAlone_; }
    std::set<std::string> getAllBusIdSet();
    // One new board per bus address, owned here.
    std::vector<QvBoard*> getAllBoards();
    std::string getProductName(std::string bus);

    std::vector<std::unique_ptr<QvBoard>> boards;
    std::set<std::string> busIdSet;

private:
    // Each GPU as sysfs showed it after its wake; those whose BARs it lost.
    std::map<std::string, PciDevice> woken_;
    std::set<std::string> barsLost_;
    std::set<std::string> leftAlone_;
    std::set<std::string> limit_;
};

