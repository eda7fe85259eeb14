#include "record.h"

#include "pci_device.h"
#include "platform.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

const char* const GUEST_CONFIG_DIR = "/etc/qv/vm_p2p_cfg/";

namespace {

void put64(uint8_t* at, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get64(const uint8_t* at)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

// The GPU at `bus` with this minor and base is the one `told` names: minors
// as the numbers they are, and one that cannot be read names no GPU.
bool names(const ConfiguredGpu& told, const std::string& bus, std::optional<unsigned> minor,
           uint64_t base)
{
    return minor && told.bus == bus && parseDecimal(told.minor) == minor && told.base == base;
}

// When this boot began, as the kernel counts it (nothing when unknown).
std::optional<int64_t> bootTime()
{
    std::string text;
    if (!readRegularFile("/proc/stat", 1 << 16, text))
        return std::nullopt;
    const auto at = text.find("\nbtime ");
    if (at == std::string::npos)
        return std::nullopt;
    return std::strtoll(text.c_str() + at + 7, nullptr, 10);
}

// Whether the store file at `path` was saved from the device at `bus` now.
bool savedFromPresent(const std::string& bus, const std::string& path)
{
    std::vector<SavedGpu> saved;
    if (readSaved(saved)) {
        const std::optional<uint64_t> presence = PciDevice(bus).presence();
        return presence && std::any_of(saved.begin(), saved.end(), [&](const SavedGpu& g) {
                   return g.bus == bus && g.presence == *presence;
               });
    }
    struct stat st;
    const std::optional<int64_t> booted = bootTime();
    return ::stat(path.c_str(), &st) == 0 && booted && st.st_mtime >= *booted;
}

const char* const CONFIGURATION_HEADER = "qvgpu-vm-p2p configuration 2";
// Before an upgrade, until the next boot: a device number before the inode number.
const char* const CONFIGURATION_HEADER_1 = "qvgpu-vm-p2p configuration 1";
const char* const STORED_HEADER = "qvgpu-vm-p2p stored 1";
const char* const SAVED_HEADER = "qvgpu-vm-p2p saved 1";
// One line per GPU, 64 GPUs and more: far below this.
const std::size_t CONFIGURATION_MAX = 65536;

// The records' shape: whole lines, a header `header` accepts, then one GPU a line
// `parse` takes whole.  `gpus` is empty whenever the text is no record.
template <typename Gpu, typename Header, typename Parse>
bool parseLines(const std::string& text, std::vector<Gpu>& gpus, Header header, Parse parse)
{
    gpus.clear();
    std::istringstream in(text);
    std::string line;
    if (text.empty() || text.back() != '\n' || !std::getline(in, line) || !header(line, in))
        return false;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Gpu g;
        if (!parse(fields, g)) {
            gpus.clear();
            return false;
        }
        gpus.push_back(g);
    }
    return true;
}

} // namespace

uint64_t recordMagic(uint64_t deviceId)
{
    return deviceId << 32 | PEER_RECORD_MAGIC;
}

void encodeRecord(const PeerAddressRecord& record, uint8_t bytes[PEER_RECORD_SIZE])
{
    put64(bytes, record.magic);
    put64(bytes + 8, record.bar0Base);
}

PeerAddressRecord decodeRecord(const uint8_t bytes[PEER_RECORD_SIZE])
{
    PeerAddressRecord record;
    record.magic = get64(bytes);
    record.bar0Base = get64(bytes + 8);
    return record;
}

bool recordValidFor(const uint8_t* bytes, std::size_t length, uint64_t deviceId)
{
    return length >= PEER_RECORD_SIZE && decodeRecord(bytes).magic == recordMagic(deviceId);
}

std::string storeFilePath(const std::string& bus)
{
    return GUEST_CONFIG_DIR + bus;
}

StoreFile readStoreFile(const std::string& bus)
{
    StoreFile file;
    file.path = storeFilePath(bus);
    FileError error = FileError::None;
    if (readRegularFile(file.path, PEER_RECORD_SIZE, file.bytes, nullptr, &error)) {
        file.state = savedFromPresent(bus, file.path) ? StoreFile::Read : StoreFile::Stale;
        return file;
    }
    switch (error) {
    case FileError::None:
    case FileError::Missing: file.state = StoreFile::Missing; break;
    case FileError::CannotOpen: file.state = StoreFile::CannotOpen; break;
    case FileError::NotRegular: file.state = StoreFile::NotRegular; break;
    case FileError::CannotRead: file.state = StoreFile::CannotRead; break;
    }
    return file;
}

bool StoreFile::validFor(uint64_t deviceId) const
{
    return state == Read &&
           recordValidFor(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), deviceId);
}

PeerAddressRecord StoreFile::record() const
{
    uint8_t raw[PEER_RECORD_SIZE] = {};
    for (std::size_t i = 0; i < PEER_RECORD_SIZE && i < bytes.size(); ++i)
        raw[i] = static_cast<uint8_t>(bytes[i]);
    return decodeRecord(raw);
}

const char* const CONFIGURATION_DIR = "/run/qvgpu-vm-p2p";
const char* const CONFIGURATION_RECORD = "/run/qvgpu-vm-p2p/configured";
const char* const STORED_RECORD = "/run/qvgpu-vm-p2p/stored";
const char* const SAVED_RECORD = "/run/qvgpu-vm-p2p/saved";

bool stillTold(const ConfiguredGpu& told, uint64_t instance)
{
    return told.ino != 0 && told.ino == instance;
}

bool describes(const ConfiguredGpu& told, const std::string& bus, const std::string& minor,
               uint64_t base)
{
    return names(told, bus, parseDecimal(minor), base);
}

bool tookConfiguration(const std::vector<ConfiguredGpu>& record, const std::string& bus,
                       std::optional<unsigned> minor, uint64_t base, uint64_t instance)
{
    return std::any_of(record.begin(), record.end(), [&](const ConfiguredGpu& told) {
        return names(told, bus, minor, base) && stillTold(told, instance);
    });
}

std::string formatConfiguration(const std::vector<ConfiguredGpu>& gpus)
{
    std::string text = std::string(CONFIGURATION_HEADER) + "\n";
    char line[160];
    for (const ConfiguredGpu& g : gpus) {
        std::snprintf(line, sizeof line, " %" PRIx64 " %" PRIu64 "\n", g.base, g.ino);
        text += g.bus + " " + g.minor + line;
    }
    return text;
}

bool parseConfiguration(const std::string& text, std::vector<ConfiguredGpu>& gpus)
{
    bool withDevice = false;
    const auto header = [&](const std::string& line, std::istream&) {
        withDevice = line == CONFIGURATION_HEADER_1;
        return line == CONFIGURATION_HEADER || withDevice;
    };
    return parseLines(text, gpus, header, [&](std::istringstream& fields, ConfiguredGpu& g) {
        std::string rest;
        uint64_t device = 0;
        return (fields >> g.bus >> g.minor >> std::hex >> g.base >> std::dec) &&
               (!withDevice || (fields >> device)) && (fields >> g.ino) && !(fields >> rest);
    });
}

bool readConfiguration(std::vector<ConfiguredGpu>& gpus)
{
    std::string text;
    gpus.clear();
    return readRegularFile(CONFIGURATION_RECORD, CONFIGURATION_MAX, text) &&
           parseConfiguration(text, gpus);
}

std::string formatStored(const std::vector<StoredGpu>& gpus)
{
    std::string text = std::string(STORED_HEADER) + "\n";
    char numbers[64];
    for (const StoredGpu& g : gpus) {
        std::snprintf(numbers, sizeof numbers, " 0x%04" PRIx32 " 0x%" PRIx64, g.deviceId, g.base);
        text += g.bus + numbers + (g.product.empty() ? "" : " " + g.product) + "\n";
    }
    return text;
}

bool parseStored(const std::string& text, std::vector<StoredGpu>& gpus)
{
    const auto header = [](const std::string& line, std::istream&) { return line == STORED_HEADER; };
    return parseLines(text, gpus, header, [](std::istringstream& fields, StoredGpu& g) {
        std::string id, base;
        uint64_t value = 0;
        if (!(fields >> g.bus >> id >> base) || !isBusAddress(g.bus) || !parseHex(id, 32, value) ||
            value > 0xFFFF || !parseHex(base, 64, g.base))
            return false;
        g.deviceId = static_cast<uint32_t>(value);
        // The product name is the rest of the line, spaces and all.
        std::getline(fields >> std::ws, g.product);
        return true;
    });
}

bool readStored(std::vector<StoredGpu>& gpus, std::string* why)
{
    std::string text;
    gpus.clear();
    if (!readRegularFile(STORED_RECORD, CONFIGURATION_MAX, text, why))
        return false;
    if (parseStored(text, gpus))
        return true;
    if (why)
        *why = std::string(STORED_RECORD) + " is not a record of stores";
    return false;
}

std::string bootId()
{
    std::string text;
    if (!readRegularFile("/proc/sys/kernel/random/boot_id", 64, text))
        return "";
    return text.substr(0, text.find('\n'));
}

std::string formatSaved(const std::string& boot, const std::vector<SavedGpu>& gpus)
{
    std::string text = std::string(SAVED_HEADER) + "\nboot " + boot + "\n";
    for (const SavedGpu& g : gpus)
        text += g.bus + " " + std::to_string(g.presence) + "\n";
    return text;
}

bool parseSaved(const std::string& text, std::string& boot, std::vector<SavedGpu>& gpus)
{
    const auto header = [&](const std::string& line, std::istream& in) {
        std::string second;
        if (line != SAVED_HEADER || !std::getline(in, second) || second.compare(0, 5, "boot ") != 0)
            return false;
        boot = second.substr(5);
        return true;
    };
    return parseLines(text, gpus, header, [](std::istringstream& fields, SavedGpu& g) {
        std::string rest;
        return (fields >> g.bus >> g.presence) && isBusAddress(g.bus) && !(fields >> rest);
    });
}

bool readSaved(std::vector<SavedGpu>& gpus)
{
    std::string text, boot;
    gpus.clear();
    if (!readRegularFile(SAVED_RECORD, CONFIGURATION_MAX, text) || !parseSaved(text, boot, gpus) ||
        boot.empty() || boot != bootId()) {
        gpus.clear();
        return false;
    }
    return true;
}
