#include "bar_window.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

std::string driverHoldingBar(const PciDevice& device, int mapError)
{
    return mapError == EINVAL ? device.driverName() : "";
}

BarWindow BarWindow::readOnly(const PciDevice& device, int bar, uint64_t offset, uint64_t length,
                              uint64_t minimumSize)
{
    BarWindow window;
    window.owned_ = openRegularFile(device.resourcePath(bar), &window.why_);
    if (!window.owned_.isOpen()) {
        window.refusal_ = BarRefusal::CannotOpen;
        return window;
    }
    window.map(device, bar, window.owned_.get(), offset, length, PROT_READ, minimumSize);
    return window;
}

BarWindow::BarWindow(const PciDevice& device, int bar, int fd, uint64_t offset, uint64_t length,
                     int prot)
{
    map(device, bar, fd, offset, length, prot);
}

void BarWindow::map(const PciDevice& device, int bar, int fd, uint64_t offset, uint64_t length,
                    int prot, uint64_t minimumSize)
{
    const auto refuse = [&](BarRefusal refusal, std::string why) {
        refusal_ = refusal;
        why_ = std::move(why);
    };
    // A file shorter than the mapping would kill us with a bus error.
    const off_t size = fileSize(fd);
    if (length == 0 || size < 0 ||
        static_cast<uint64_t>(size) < std::max(offset + length, minimumSize))
        return refuse(BarRefusal::TooSmall, "BAR" + std::to_string(bar) + " is too small");
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    first_ = offset / page * page;
    mapping_ = Mapping(fd, static_cast<std::size_t>(offset + length - first_), prot,
                       static_cast<off_t>(first_));
    if (mapping_.ok())
        return;
    error_ = mapping_.error();
    const std::string driver = driverHoldingBar(device, error_);
    if (error_ == EPERM)
        refuse(BarRefusal::LockedDown, "the kernel is locked down");
    else if (!driver.empty())
        refuse(BarRefusal::HeldByDriver, "BAR" + std::to_string(bar) + " is held by the driver '" +
                                             driver + "'");
    else
        refuse(BarRefusal::CannotMap,
               "cannot map " + device.resourcePath(bar) + ": " + std::strerror(error_));
}

uint32_t BarWindow::load32(uint64_t offset) const
{
    return *reinterpret_cast<const volatile uint32_t*>(at(offset));
}

void BarWindow::copyOut(uint64_t offset, void* to, std::size_t length) const
{
    const volatile unsigned char* from = at(offset);
    auto* bytes = static_cast<unsigned char*>(to);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = from[i];
}
