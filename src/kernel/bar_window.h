// A window onto one of a PCI device's memory BARs: its resource file and a
// mapping of the bytes wanted, owned together and released on every path.
// This is the one way both programs read a GPU's registers and device
// memory.  Anyone may open a window read-only; a window that also writes
// is opened only by the tool's device layer (device.h), from the
// descriptors it opened for writing, so nothing the report reaches can
// write a BAR.
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

// The driver whose claim made the kernel refuse to map one of a device's
// BARs with `mapError`: a kernel built with strict devmem (Debian's, like
// most distributions') answers EINVAL for a BAR that a driver has claimed.
// "" when the refusal has another cause.
std::string driverHoldingBar(const PciDevice& device, int mapError);

class BarWindow {
public:
    // Opens BAR `bar`'s resource file read-only, without ever blocking, and
    // maps the `length` bytes at BAR offset `offset`.  The file must hold
    // them, and be at least `minimumSize` bytes long.
    static BarWindow readOnly(const PciDevice& device, int bar, uint64_t offset, uint64_t length,
                              uint64_t minimumSize = 0);

    BarWindow(BarWindow&&) = default;
    BarWindow(const BarWindow&) = delete;
    BarWindow& operator=(const BarWindow&) = delete;

    bool ok() const { return refusal_ == BarRefusal::None; }
    BarRefusal refusal() const { return refusal_; }
    // The system's reason for a refused mapping (errno), 0 otherwise.
    int error() const { return error_; }
    // Why there is no window, in words: "cannot open <path>: <reason>",
    // "the kernel is locked down", "BAR2 is held by the driver 'morvanti'",
    // "<path> is too small", "cannot map <path>: <reason>".
    const std::string& why() const { return why_; }

    // A 32-bit word, loaded from the device once, at BAR offset `offset`
    // (inside the window, a multiple of 4).
    uint32_t load32(uint64_t offset) const;
    // `length` bytes from BAR offset `offset` on, each loaded from the
    // device, never taken from what the compiler remembers.
    void copyOut(uint64_t offset, void* to, std::size_t length) const;

protected:
    // A window on a resource file already open as `fd` (not taken over),
    // mapped with the protection `prot`.
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
