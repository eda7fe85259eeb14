#include "pci_device.h"

#include "platform.h"
#include "utils.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// A sysfs attribute holds at most one page; a configuration space at most
// 4096 bytes.  Whatever lies beyond is not the kernel's and is not read.
const std::size_t ATTRIBUTE_MAX = 4096;
const std::size_t CONFIG_SPACE_MAX = 4096;

} // namespace

PciDevice::PciDevice(std::string bus) : bus_(std::move(bus)) {}

std::string PciDevice::path(const char* attribute) const
{
    return devicePath(bus_, attribute);
}

const std::vector<uint8_t>& PciDevice::config() const
{
    if (!configTried_) {
        configTried_ = true;
        std::string bytes;
        if (readRegularFile(path("/config"), CONFIG_SPACE_MAX, bytes, &configError_))
            config_.assign(bytes.begin(), bytes.end());
    }
    return config_;
}

const std::string& PciDevice::configError() const
{
    config();
    return configError_;
}

bool PciDevice::text(const char* attribute, std::string& bytes) const
{
    return readRegularFile(path(attribute), ATTRIBUTE_MAX, bytes);
}

std::string PciDevice::word(const char* attribute, const char* placeholder) const
{
    return readFirstWord(path(attribute), placeholder);
}

std::string PciDevice::line(const char* attribute, const char* placeholder) const
{
    std::string bytes, line;
    if (!text(attribute, bytes) || !std::getline(std::istringstream(bytes), line))
        return placeholder;
    return line;
}

std::string PciDevice::linkName(const char* attribute) const
{
    std::error_code ec;
    return fs::read_symlink(path(attribute), ec).filename().string();
}

bool PciDevice::exists(const char* attribute) const
{
    std::error_code ec;
    return fs::exists(path(attribute), ec);
}
