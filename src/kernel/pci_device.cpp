#include "pci_device.h"

#include "config_space.h"
#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

const char* const PCI_DEVICES_DIR = "/sys/bus/pci/devices/";
const char* const INVALID_HEX = "Invalid hexadecimal string";
const char* const GPU_DRIVER_NAME = "morvanti";

namespace {

const char* const PCI_DRIVERS_DIR = "/sys/bus/pci/drivers/";

// An attribute holds one page at most, a configuration space 4096 bytes.
const std::size_t ATTRIBUTE_MAX = 4096;
const std::size_t CONFIG_SPACE_MAX = 4096;

// A root bus directory: "pci" followed by domain:bus.
bool isRootBusDir(const std::string& name)
{
    return name.compare(0, 3, "pci") == 0 && isBusAddress(name.substr(3) + ":00.0");
}

} // namespace

std::string devicePath(const std::string& bus, const char* attribute)
{
    return PCI_DEVICES_DIR + bus + attribute;
}

std::string driverPath(const char* driver, const char* entry)
{
    return PCI_DRIVERS_DIR + std::string(driver) + entry;
}

std::string gpuNodePath(const std::string& number)
{
    return "/dev/" + std::string(GPU_DRIVER_NAME) + number;
}

bool gpuDriverLoaded()
{
    std::error_code ec;
    return fs::is_directory(driverPath(GPU_DRIVER_NAME), ec);
}

std::string gpuDriverModule()
{
    std::error_code ec;
    const std::string module =
        fs::read_symlink(driverPath(GPU_DRIVER_NAME, "/module"), ec).filename().string();
    return module.empty() ? GPU_DRIVER_NAME : module;
}

bool isBusAddress(const std::string& text)
{
    // domain (4 to 8 hex digits) ':' bus (2) ':' device (2) '.' function (0 to 7)
    const std::size_t n = text.size();
    if (n < 12 || n > 16 || text[n - 8] != ':' || text[n - 5] != ':' || text[n - 2] != '.' ||
        text[n - 1] < '0' || text[n - 1] > '7')
        return false;
    for (std::size_t i = 0; i < n - 2; ++i)
        if (i != n - 8 && i != n - 5 && !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

std::string fullBusAddress(const std::string& text)
{
    const std::string bus = std::count(text.begin(), text.end(), ':') == 1 ? "0000:" + text : text;
    return isBusAddress(bus) ? bus : "";
}

std::vector<std::string> busChainFromPath(const std::string& canonicalPath, std::string* rootBus)
{
    const std::string root = "/sys/devices/";
    if (canonicalPath.compare(0, root.size(), root) != 0)
        return {};
    // A host bridge that is a platform device (many ARM64 servers) may stand
    // before the first root bus (/sys/devices/platform/<bridge>/pci0000:00/):
    // whatever does is not PCI, and is passed over.
    std::vector<std::string> chain;
    bool underRootBus = false;
    std::size_t start = root.size();
    while (start <= canonicalPath.size()) {
        std::size_t end = canonicalPath.find('/', start);
        if (end == std::string::npos)
            end = canonicalPath.size();
        const std::string piece = canonicalPath.substr(start, end - start);
        start = end + 1;
        if (isRootBusDir(piece)) {
            if (rootBus && !underRootBus)
                *rootBus = piece;
            underRootBus = true;
        } else if (underRootBus && isBusAddress(piece)) {
            chain.push_back(piece);
        } else if (underRootBus) {
            return {};
        }
    }
    return chain;
}

bool parseHex(const std::string& text, unsigned bits, uint64_t& value)
{
    std::istringstream stream(text);
    uint32_t narrow = 0;
    uint64_t wide = 0;
    if (bits <= 32 ? !(stream >> std::hex >> narrow) : !(stream >> std::hex >> wide))
        return false;
    value = bits <= 32 ? narrow : wide;
    return true;
}

std::optional<unsigned> parseDecimal(const std::string& text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return static_cast<unsigned>(std::stoul(text));
}

std::string PciDevice::resourcePath(int bar) const
{
    return path(("/resource" + std::to_string(bar)).c_str());
}

const std::vector<uint8_t>& PciDevice::config() const
{
    if (!configTried_) {
        configTried_ = true;
        const std::string file = path("/config");
        const UniqueFd fd = openRegularFile(file, &configError_);
        configUnopened_ = !fd.isOpen();
        if (fd.isOpen()) {
            // sysfs gives the file the space's size; without one, reads find the end.
            const off_t size = fileSize(fd.get());
            const std::size_t limit = size > 0 && static_cast<std::size_t>(size) < CONFIG_SPACE_MAX
                                          ? static_cast<std::size_t>(size)
                                          : CONFIG_SPACE_MAX;
            int readErrno = 0;
            const auto read = [&](std::size_t offset, std::size_t length, uint8_t* into) {
                const long got = readAt(fd.get(), offset, length, into);
                if (got < 0)
                    readErrno = errno;
                return got;
            };
            if (!readConfigSpace(limit, read, config_))
                configError_ = "cannot read " + file + ": " + std::strerror(readErrno);
        }
    }
    return config_;
}

const std::string& PciDevice::configError() const
{
    config();
    return configError_;
}

bool PciDevice::configUnopened() const
{
    config();
    return configUnopened_;
}

void PciDevice::forgetConfig()
{
    configTried_ = false;
    configUnopened_ = false;
    config_.clear();
    configError_.clear();
}

const std::string& PciDevice::deviceIdText() const
{
    if (!deviceIdTried_) {
        deviceIdTried_ = true;
        deviceId_ = word("/device").value_or("");
    }
    return deviceId_;
}

bool PciDevice::deviceId(uint32_t& id) const
{
    uint64_t value = 0;
    if (!parseHex(deviceIdText(), 32, value))
        return false;
    id = static_cast<uint32_t>(value);
    return true;
}

bool PciDevice::hexAttribute(const char* attribute, uint64_t& value) const
{
    const std::optional<std::string> text = word(attribute);
    return text && parseHex(*text, 16, value) && value <= 0xFFFF;
}


std::optional<int> PciDevice::numaNode() const
{
    // The kernel prints -1 for a device without NUMA information.
    const std::optional<std::string> text = numaNodeText();
    const std::optional<unsigned> node = text && text->size() <= 6 ? parseDecimal(*text) : std::nullopt;
    return node ? std::optional<int>(static_cast<int>(*node)) : std::nullopt;
}

bool PciDevice::hasIommu() const
{
    std::error_code ec;
    return fs::exists(path("/iommu"), ec);
}

std::optional<PciDevice::Resource> PciDevice::bar0Resource() const
{
    const std::string first = line("/resource").value_or("");
    unsigned long long start = 0, last = 0, flags = 0;
    if (std::sscanf(first.c_str(), "%llx %llx %llx", &start, &last, &flags) < 2 || last <= start)
        return std::nullopt;
    constexpr unsigned long long MEM_64 = 0x00100000;   // the kernel's IORESOURCE_MEM_64
    return Resource{start, last - start + 1, (flags & MEM_64) != 0};
}

std::vector<std::string> PciDevice::iommuGroupDevices() const
{
    std::vector<std::string> buses;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path("/iommu_group/devices"), ec))
        if (isBusAddress(entry.path().filename().string()))
            buses.push_back(entry.path().filename().string());
    std::sort(buses.begin(), buses.end());
    return buses;
}

KernelPower PciDevice::kernelPowerState() const
{
    static const struct {
        const char* text;
        KernelPower state;
    } STATES[] = {{"D0", KernelPower::D0},       {"D1", KernelPower::D1},
                  {"D2", KernelPower::D2},       {"D3hot", KernelPower::D3hot},
                  {"D3cold", KernelPower::D3cold}};
    const std::string text = word("/power_state").value_or("");
    for (const auto& s : STATES)
        if (text == s.text)
            return s.state;
    return KernelPower::Unknown;
}

RuntimeStatus PciDevice::runtimeStatus() const
{
    const std::optional<std::string> text = word("/power/runtime_status");
    if (!text)
        return RuntimeStatus::Unknown;
    if (*text == "active")
        return RuntimeStatus::Active;
    return *text == "suspended" ? RuntimeStatus::Suspended : RuntimeStatus::Other;
}

bool PciDevice::driverInstance(uint64_t& ino) const
{
    struct stat st;
    if (::stat(path("/itr_debug").c_str(), &st) != 0)
        return false;
    ino = st.st_ino;
    return true;
}

std::optional<uint64_t> PciDevice::presence() const
{
    struct stat st;
    if (::stat(path("").c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return static_cast<uint64_t>(st.st_ino);
}


std::vector<std::string> PciDevice::vfioDevices() const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path("/vfio-dev"), ec))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string PciDevice::canonicalPath() const
{
    std::error_code ec;
    const fs::path canonical = fs::canonical(path(""), ec);
    return ec ? "" : canonical.string();
}

bool xenPciBackendsRunning()
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/bus/xen-backend/devices", ec))
        if (entry.path().filename().string().compare(0, 4, "pci-") == 0)
            return true;
    return false;
}

PciPath PciDevice::pathToRoot() const
{
    PciPath result;
    const std::string canonical = canonicalPath();
    if (canonical.empty())
        return result;
    std::vector<std::string> chain = busChainFromPath(canonical, &result.rootBus);
    // The chain ends at the device itself; anything else is no PCI path.
    result.known = !chain.empty() && chain.back() == bus_;
    if (result.known)
        result.ports.assign(chain.begin(), chain.end() - 1);
    return result;
}

bool PciDevice::text(const char* attribute, std::string& bytes) const
{
    return readRegularFile(path(attribute), ATTRIBUTE_MAX, bytes);
}

std::optional<std::string> PciDevice::word(const char* attribute) const
{
    std::string bytes, first;
    if (!text(attribute, bytes) || !(std::istringstream(bytes) >> first))
        return std::nullopt;
    return first;
}

std::optional<unsigned> PciDevice::decimal(const char* attribute) const
{
    const std::optional<std::string> text = word(attribute);
    return text ? parseDecimal(*text) : std::nullopt;
}

std::optional<std::string> PciDevice::line(const char* attribute) const
{
    std::string bytes, first;
    if (!text(attribute, bytes) || !std::getline(std::istringstream(bytes), first))
        return std::nullopt;
    return first;
}

std::string PciDevice::linkName(const char* attribute) const
{
    std::error_code ec;
    return fs::read_symlink(path(attribute), ec).filename().string();
}
