// A window onto a BAR: its resource file and a mapping, owned together; the one way
// both programs read a GPU's BARs.  Only the tool's device layer opens one that writes.
#pragma once

#include "pci_device.h"
#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Why a window could not be had.
enum class BarRefusal {
    None,
    CannotOpen,     // the resource file cannot be opened (why() says why)
    TooSmall,       // the file is smaller than the window, or than asked
    LockedDown,     // a locked-down kernel refuses every mapping of a BAR (EPERM)
    HeldByDriver,   // a strict-devmem kernel refuses a BAR a driver claimed (EINVAL)
    CannotMap,      // any other refusal of the mapping
};

// The driver whose claim made a strict-devmem kernel refuse a mapping (EINVAL), or "".
std::string driverHoldingBar(const PciDevice& device, int mapError);

class BarWindow {
public:
    // BAR `bar`'s resource file opened read-only without blocking, the
    // `length` bytes at `offset` mapped; the file at least `minimumSize`.
    static BarWindow readOnly(const PciDevice& device, int bar, uint64_t offset, uint64_t length,
                              uint64_t minimumSize = 0);

    BarWindow(BarWindow&&) = default;
    BarWindow(const BarWindow&) = delete;
    BarWindow& operator=(const BarWindow&) = delete;

    bool ok() const { return refusal_ == BarRefusal::None; }
    BarRefusal refusal() const { return refusal_; }
    int error() const { return error_; }   // errno of a refused mapping
    // Why there is no window, in words ("the kernel is locked down").
    const std::string& why() const { return why_; }

    // Loads from the device at BAR offsets, each made once (volatile).
    uint32_t load32(uint64_t offset) const;
    void copyOut(uint64_t offset, void* to, std::size_t length) const;

protected:
    // A window on a resource file already open as `fd` (not taken over).
    BarWindow(const PciDevice& device, int bar, int fd, uint64_t offset, uint64_t length, int prot);
    // The byte of the window at BAR offset `offset`.
    unsigned char* at(uint64_t offset) const { return mapping_.data() + (offset - first_); }

private:
    BarWindow() = default;
    void map(const PciDevice& device, int bar, int fd, uint64_t offset, uint64_t length, int prot,
             uint64_t minimumSize = 0);

    UniqueFd owned_;
    Mapping mapping_;
    uint64_t first_ = 0;            // the BAR offset the mapping starts at
    BarRefusal refusal_ = BarRefusal::None;
    int error_ = 0;
    std::string why_;
};
