// The peer address record, carrying a host BAR0 base through device memory into the
// guest's store files; and /run's records of this boot.  Written by tool/writers alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bits 63..48 the maker's vendor ID, 47..32 the GPU's device ID, 31..0 fixed.
constexpr uint64_t PEER_RECORD_MAGIC = 0x1F7A0000AABBCCDDull;
constexpr int32_t PEER_RECORD_ADDRESS = 0x100000;   // in device memory (BAR0)
constexpr std::size_t PEER_RECORD_SIZE = 16;
// The guest's store files, one per GPU, named by bus address.
extern const char* const GUEST_CONFIG_DIR;   // "/etc/qv/vm_p2p_cfg/"

struct PeerAddressRecord {
    uint64_t magic = 0;
    uint64_t bar0Base = 0;
};

uint64_t recordMagic(uint64_t deviceId);

// The 16 bytes in device memory and store files: little-endian, magic first.
void encodeRecord(const PeerAddressRecord& record, uint8_t bytes[PEER_RECORD_SIZE]);
PeerAddressRecord decodeRecord(const uint8_t bytes[PEER_RECORD_SIZE]);

// All 16 bytes, with the magic of the GPU's device ID (the address unjudged).
bool recordValidFor(const uint8_t* bytes, std::size_t length, uint64_t deviceId);

// A GPU's store file: its first 16 bytes, only from a regular file.
struct StoreFile {
    enum State {
        Read,          // `bytes` holds what it gave, at most 16 bytes
        Missing,       // there is no such file
        CannotOpen,    // it is there but cannot be opened
        NotRegular,    // a FIFO, a directory, a device...
        CannotRead,    // it opened but reading failed
        Stale,         // saved from a device no longer at its address
    };
    State state = Missing;
    std::string path;
    std::string bytes;

    bool validFor(uint64_t deviceId) const;
    PeerAddressRecord record() const;   // of a file that is valid
};
std::string storeFilePath(const std::string& bus);   // GUEST_CONFIG_DIR + bus address
// A file counts only for the GPU it was saved from, while there (this boot's saves
// name its presence); without that record, any file saved this boot.
StoreFile readStoreFile(const std::string& bus);

// The guest's saves this boot: the boot's ID, then each GPU saved, with its presence.
extern const char* const SAVED_RECORD;   // CONFIGURATION_DIR + "/saved"
struct SavedGpu {
    std::string bus;
    uint64_t presence = 0;
};
std::string formatSaved(const std::string& bootId, const std::vector<SavedGpu>& gpus);
bool parseSaved(const std::string& text, std::string& bootId, std::vector<SavedGpu>& gpus);
bool readSaved(std::vector<SavedGpu>& gpus);   // false too for another boot's
std::string bootId();   // the kernel's, "" when unreadable

// The last configuration the driver took whole, with each instance; /run forgets it.
extern const char* const CONFIGURATION_DIR;      // "/run/qvgpu-vm-p2p"
extern const char* const CONFIGURATION_RECORD;   // CONFIGURATION_DIR + "/configured"
struct ConfiguredGpu {
    std::string bus;
    std::string minor;        // the source key it was given under
    uint64_t base = 0;        // the host BAR0 base it was given
    uint64_t ino = 0;         // its driver instance (PciDevice::driverInstance)
};
// The questions the tool, its daemon and the report ask of that record,
// answered here alone.  Is `instance` still the one told `told`?
bool stillTold(const ConfiguredGpu& told, uint64_t instance);
// Does `told` still describe the GPU at `bus` (minor and base, as numbers)?  If not, all are told.
bool describes(const ConfiguredGpu& told, const std::string& bus, const std::string& minor,
               uint64_t base);
// Did this driver instance take the configuration of its minor and base?
bool tookConfiguration(const std::vector<ConfiguredGpu>& record, const std::string& bus,
                       std::optional<unsigned> minor, uint64_t base, uint64_t instance);

std::string formatConfiguration(const std::vector<ConfiguredGpu>& gpus);
bool parseConfiguration(const std::string& text, std::vector<ConfiguredGpu>& gpus);
bool readConfiguration(std::vector<ConfiguredGpu>& gpus);

// The host's stores this boot (written and read back), for the GPUs the report leaves.
extern const char* const STORED_RECORD;   // CONFIGURATION_DIR + "/stored"
struct StoredGpu {
    std::string bus;
    uint32_t deviceId = 0;
    uint64_t base = 0;
    std::string product;   // "" when unknown
};
std::string formatStored(const std::vector<StoredGpu>& gpus);
bool parseStored(const std::string& text, std::vector<StoredGpu>& gpus);
bool readStored(std::vector<StoredGpu>& gpus, std::string* why = nullptr);
