#include "modes.h"

#include "bar_window.h"
#include "config_space.h"
#include "device_ka.h"
#include "device_lu.h"
#include "device_re.h"
#include "messages.h"
#include "pci_device.h"
#include "platform.h"
#include "record.h"
#include "utils.h"
#include "writers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace fs = std::filesystem;

DeviceList buildDeviceList(const std::vector<QvBoard*>& boards)
{
    DeviceList devices;
    for (const QvBoard* board : boards) {
        const DeviceTableEntry* entry = findDeviceTableEntry(board->deviceId);
        if (!entry)
            continue;
        switch (entry->group) {
        case DeviceGroup::KA: devices.push_back(std::make_unique<QvDeviceKA>(board->busId)); break;
        case DeviceGroup::RE: devices.push_back(std::make_unique<QvDeviceRE>(board->busId)); break;
        case DeviceGroup::LU: devices.push_back(std::make_unique<QvDeviceLU>(board->busId)); break;
        }
        devices.back()->sysfs = board->sysfs;
        devices.back()->barsLost = board->barsLost;
        devices.back()->productName =
            getDeviceProductName(stringToUint32_t(board->deviceId), board->numberedForm,
                                 board->variantBit, board->modelCode, board->subModelCode);
    }
    return devices;
}

namespace {

// A mapping refused because a driver holds the memory (the mode's message says other).
void explainRefusedMapping(const QvDevice& device, const char* mode)
{
    const std::string driver = driverHoldingBar(device.sysfs, device.memoryMapError);
    if (driver.empty())
        return;
    colouredLine(Colour::Red, "Error: %s is held by the driver '%s' and the kernel will not map "
                 "its memory: run '%s' before that driver loads.",
                 device.busAddress.c_str(), driver.c_str(), mode);
}

// A record written but not read back: decoding off or not in D0, as config tells.
void reportRecordNotKept(const QvDevice& device)
{
    const std::string why = asleepReason(device.sysfs.config());
    colouredLine(Colour::Red, "Error: the device memory of %s did not keep its record%s%s%s!",
                 device.busAddress.c_str(), why.empty() ? "" : " (", why.c_str(),
                 why.empty() ? "" : ")");
}

// A run that left a GPU without its record must not look like a success to
// the operator, a script or a service manager.
int reportFailedGpus(const char* what, int failed, std::size_t total)
{
    colouredLine(Colour::Red, "Error: %s failed for %d of %zu GPUs!", what, failed, total);
    return -1;
}

// A GPU's driver instance, told a command line per write to its debug attribute (no
// shell), kept open; after a failed write the next command opens it afresh.
class DriverAttribute {
public:
    explicit DriverAttribute(const std::string& target) : path_(PciDevice(target).path("/itr_debug")) {}
    bool tell(const std::string& line)
    {
        if (!fd_.isOpen()) {
            fd_.reset(::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
            if (!fd_.isOpen()) {
                std::fprintf(stderr, "Cannot open %s: %s\n", path_.c_str(), std::strerror(errno));
                return false;
            }
        }
        const ssize_t n = ::write(fd_.get(), line.data(), line.size());
        if (n != static_cast<ssize_t>(line.size())) {
            std::fprintf(stderr, "Cannot write %s: %s\n", path_.c_str(),
                         n < 0 ? std::strerror(errno) : "Short write");
            fd_.reset();
            return false;
        }
        return true;
    }

private:
    std::string path_;
    UniqueFd fd_;
};

// The record of a configuration the driver took whole, for the report: only
// when every GPU's driver instance is the one it was before the commands.
void keepConfiguration(const std::vector<ConfiguredGpu>& configured)
{
    for (const ConfiguredGpu& gpu : configured) {
        uint64_t ino = 0;
        if (!PciDevice(gpu.bus).driverInstance(ino) || !stillTold(gpu, ino))
            return;
    }
    if (!writeConfiguration(configured))
        colouredLine(Colour::Yellow, "Warning: cannot keep the record of this configuration in "
                     "%s: %s", CONFIGURATION_RECORD, std::strerror(errno));
}

} // namespace

int runStoreData(const DeviceList& devices, std::size_t leftAlone)
{
    if (isVirtualMachine()) {
        colouredLine(Colour::Yellow, "Warning: '--store-data' only works in host machine!");
        return -1;
    }
    int failed = 0;
    std::vector<StoredGpu> stored;
    std::vector<std::string> notStored;
    for (const auto& device : devices) {
        // No record from a device ID or base never read: peer traffic would
        // go to a wrong address.  The failing step has said why.
        PeerAddressRecord record;
        bool kept = false;
        if (device->barsLost || !device->initialDevice() ||
            !readDeviceBaseBar0(device->sysfs, record.bar0Base)) {
            ++failed;
        } else {
            record.magic = recordMagic(device->deviceId);
            uint8_t bytes[PEER_RECORD_SIZE];
            encodeRecord(record, bytes);
            if (!device->writeMemory(PEER_RECORD_ADDRESS, PEER_RECORD_SIZE, bytes, kept)) {
                explainRefusedMapping(*device, "--store-data");
                ++failed;
            } else if (!kept) {
                reportRecordNotKept(*device);
                ++failed;
            }
        }
        if (kept)
            stored.push_back({device->busAddress, device->deviceId, record.bar0Base,
                              device->productName});
        else
            notStored.push_back(device->busAddress);
    }
    // What was written and read back: the host's record of this boot's stores.
    const bool recorded = devices.empty() || recordStored(stored, notStored);
    if (!recorded)
        colouredLine(Colour::Red, "Error: Cannot write %s: %s", STORED_RECORD,
                     std::strerror(errno));
    if (failed > 0)
        return reportFailedGpus("store data", failed, devices.size());
    if (!recorded)
        return -1;
    // No success is claimed for a run that left every GPU to its guest.
    if (devices.empty() && leftAlone > 0)
        return 0;
    successLines("store data");
    return 0;
}

bool keepStoreFile(const PciDevice& gpu, const uint8_t bytes[PEER_RECORD_SIZE],
                   std::vector<SavedGpu>& saved)
{
    const std::optional<uint64_t> presence = gpu.presence();
    if (!replaceFile(storeFilePath(gpu.bus()), bytes, PEER_RECORD_SIZE))
        return false;
    if (presence)
        saved.push_back({gpu.bus(), *presence});
    return true;
}

bool enterSaved(const std::vector<SavedGpu>& saved)
{
    if (recordSaved(saved))
        return true;
    colouredLine(Colour::Red, "Error: Cannot write %s: %s", SAVED_RECORD, std::strerror(errno));
    return false;
}

int runSaveData(const DeviceList& devices)
{
    if (!isVirtualMachine()) {
        colouredLine(Colour::Yellow, "Warning: '--save-data' only works in virtual machine!.");
        return -1;
    }
    std::error_code ec;
    fs::create_directories(GUEST_CONFIG_DIR, ec);
    if (ec || !fs::is_directory(GUEST_CONFIG_DIR, ec)) {
        const std::error_code why = ec ? ec : std::make_error_code(std::errc::not_a_directory);
        colouredLine(Colour::Red, "Error: Cannot create %s: %s", GUEST_CONFIG_DIR,
                     why.message().c_str());
        return -1;
    }
    // A save killed before its rename left a temporary copy (a dot file).
    removeStaleTemporaries(GUEST_CONFIG_DIR);
    int failed = 0;
    std::vector<SavedGpu> saved;
    for (const auto& device : devices) {
        uint8_t bytes[PEER_RECORD_SIZE] = {};
        // Memory that does not decode reads as all ones: no record either.
        bool read = !device->barsLost && device->initialDevice();
        if (read && !device->readMemory(PEER_RECORD_ADDRESS, PEER_RECORD_SIZE, bytes)) {
            explainRefusedMapping(*device, "--save-data");
            read = false;
        }
        if (!read || !recordValidFor(bytes, sizeof bytes, device->deviceId)) {
            colouredLine(Colour::Red, "Error: invalid data, please '--store-data' on the host "
                         "first!");
            return -1;
        }
        if (!keepStoreFile(device->sysfs, bytes, saved)) {
            colouredLine(Colour::Red, "Error: failed to write configuration file!");
            ++failed;
        }
    }
    // Each file counts only for the GPU it was saved from, while it is there.
    const bool recorded = enterSaved(saved);
    if (failed > 0)
        return reportFailedGpus("save data", failed, devices.size());
    if (!recorded)
        return -1;
    successLines("save data");
    return 0;
}

bool ptP2PConfigAddress(std::set<std::string> busIds)
{
    // Alone, a GPU keyed "x" is the driver's to take or refuse.
    const ConfigOutcome outcome = configureDriver(busIds);
    return outcome == ConfigOutcome::Done || outcome == ConfigOutcome::MinorUnread;
}

ConfigOutcome configureDriver(const std::set<std::string>& busIds, std::set<std::string> targets,
                              const std::vector<ConfiguredGpu>* record)
{
    // Every file is checked before the first command: a failed run told nothing.
    std::map<std::string, uint64_t> addresses;
    std::vector<ConfiguredGpu> configured;
    bool minorsRead = true;
    for (const std::string& bus : busIds) {
        const StoreFile file = readStoreFile(bus);
        // A file saved from a device no longer there is no file of this GPU.
        if (file.state == StoreFile::Missing || file.state == StoreFile::CannotOpen ||
            file.state == StoreFile::Stale) {
            colouredLine(Colour::Yellow, "Warning: no configuration file found for %s!",
                         file.path.c_str());
            return ConfigOutcome::FilesRefused;
        }
        const PciDevice device(bus);
        uint32_t deviceId = 0;
        if (!device.deviceId(deviceId)) {
            labelledLine(Colour::Red, "Error:", "cannot read the device ID of %s!", bus.c_str());
            return ConfigOutcome::FilesRefused;
        }
        if (!file.validFor(deviceId)) {
            labelledLine(Colour::Red, "Error:", "invalid configuration file!");
            return ConfigOutcome::FilesRefused;
        }
        // A minor not readable yet goes out as "x", the driver's to take or refuse.
        const std::optional<std::string> read = device.minorText();
        minorsRead = minorsRead && read.has_value();
        const std::string minor = read.value_or("x");
        addresses[minor] = file.record().bar0Base;
        // Read before the commands and after: a reload between is not this one.
        ConfiguredGpu gpu{bus, minor, file.record().bar0Base, 0};
        device.driverInstance(gpu.ino);
        // Every GPU knows every GPU's minor and base: one changed, all are told.
        if (record && std::none_of(record->begin(), record->end(), [&](const ConfiguredGpu& c) {
                return describes(c, gpu.bus, gpu.minor, gpu.base);
            }))
            targets.clear();
        configured.push_back(gpu);
    }
    // A command not handed over is reported, the rest still tried; the whole fails.
    bool allTold = true;
    char address[20];
    for (const std::string& target : busIds) {
        if (!targets.empty() && !targets.count(target))
            continue;
        DriverAttribute driver(target);
        for (const auto& [minor, bar0Base] : addresses) {
            std::snprintf(address, sizeof address, "%llx", static_cast<unsigned long long>(bar0Base));
            allTold = driver.tell("pt_p2p_cfg " + minor + " " + address + "\n") && allTold;
        }
    }
    if (!allTold)
        return ConfigOutcome::DriverRefused;
    if (!minorsRead)
        return ConfigOutcome::MinorUnread;
    keepConfiguration(configured);
    return ConfigOutcome::Done;
}

int runConfigAddress(const std::set<std::string>& busIds)
{
    if (!isVirtualMachine()) {
        colouredLine(Colour::Yellow, "Warning: '--config-address only' works in virtual machine!");
        return -1;
    }
    if (!getDriverLoaded()) {
        colouredLine(Colour::Yellow, "Warning: please load the driver before '--config-address'!");
        return -1;
    }
    if (!ptP2PConfigAddress(busIds))
        return CONFIG_FAILED;
    successLines("configuration");
    return 0;
}
