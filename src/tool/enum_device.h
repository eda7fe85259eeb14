// Finding the maker's GPUs on the PCI bus and waking them, and one board
// record per GPU.  The device table, the boards' codes and product names,
// which the report reads too, are the GPU layer's (device_table.h).
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

    // Walks sysfs for the maker's devices, wakes each one and keeps the bus
    // addresses of those that answer.  A GPU that a guest holds (a process
    // through VFIO, one unseen that has it open, or Xen's pciback) is left
    // alone: it is said so, and it is neither woken nor given a board, but
    // its bus address is kept, for the ports above it.  A sysfs that cannot be listed raises
    // std::filesystem::filesystem_error.
    void initPciDevice();
    // Limits the walk to these GPUs (bus addresses, the domain optional),
    // so that no other GPU is woken or written; false, after an error line,
    // when one of them is not a GPU of the maker's here.
    bool limitTo(const std::vector<std::string>& gpus);
    // The GPUs left alone: those a guest holds, named or not.
    const std::set<std::string>& leftAlone() const { return leftAlone_; }
    std::set<std::string> getAllBusIdSet();
    // Builds one new board per bus address; the boards stay owned here.
    std::vector<QvBoard*> getAllBoards();
    std::string getProductName(std::string bus);

    std::vector<std::unique_ptr<QvBoard>> boards;
    std::set<std::string> busIdSet;

private:
    // Each GPU found, as sysfs showed it after its wake, and those whose
    // BARs the wake lost for good.
    std::map<std::string, PciDevice> woken_;
    std::set<std::string> barsLost_;
    std::set<std::string> leftAlone_;
    std::set<std::string> limit_;
};

