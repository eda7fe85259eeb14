// The peer address record: what carries a GPU's host BAR0 base from the
// host, through the GPU's own device memory, into the guest's store files;
// and the one reader of those files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bits 63..48 the maker's vendor ID, 47..32 the GPU's device ID, 31..0 fixed.
constexpr uint64_t PEER_RECORD_MAGIC = 0x1F7A0000AABBCCDDull;
// Where the record lives in device memory (BAR0 offset).
constexpr int32_t PEER_RECORD_ADDRESS = 0x100000;
constexpr std::size_t PEER_RECORD_SIZE = 16;
// The guest configuration store: one file per GPU, named by bus address.
extern const char* const GUEST_CONFIG_DIR;   // "/etc/qv/vm_p2p_cfg/"

struct PeerAddressRecord {
    uint64_t magic = 0;
    uint64_t bar0Base = 0;
};

uint64_t recordMagic(uint64_t deviceId);

// The 16 bytes as they lie in device memory and in a store file: both
// fields little-endian, magic first.
void encodeRecord(const PeerAddressRecord& record, uint8_t bytes[PEER_RECORD_SIZE]);
PeerAddressRecord decodeRecord(const uint8_t bytes[PEER_RECORD_SIZE]);

// A record is valid for a GPU when all 16 bytes are there and its magic is
// that of the GPU's device ID; the address itself is never judged.
bool recordValidFor(const uint8_t* bytes, std::size_t length, uint64_t deviceId);

// A GPU's store file as the driver configuration and the report both read
// it: its first 16 bytes, opened the way every file is (a FIFO or another
// file that is not a regular one is refused, never waited on).
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

    // A record of the GPU with this device ID: read, and valid for it.
    bool validFor(uint64_t deviceId) const;
    PeerAddressRecord record() const;   // of a file that is valid
};
std::string storeFilePath(const std::string& bus);   // GUEST_CONFIG_DIR + bus address
// A file counts only for the GPU it was saved from, and only while that GPU
// is at its address: this boot's record of saves must name the GPU's
// presence (PciDevice::presence) now.  Without such a record (files saved
// before an upgrade brought it), a file saved this boot counts.
StoreFile readStoreFile(const std::string& bus);

// What the guest's saves wrote this boot: the boot's ID (presences start
// again at each boot), then one line per GPU whose store file they wrote,
// with its presence then; kept under /run.
extern const char* const SAVED_RECORD;   // CONFIGURATION_DIR + "/saved"
struct SavedGpu {
    std::string bus;
    uint64_t presence = 0;
};
std::string formatSaved(const std::string& bootId, const std::vector<SavedGpu>& gpus);
// False for a text that is no such record, which then says nothing.
bool parseSaved(const std::string& text, std::string& bootId, std::vector<SavedGpu>& gpus);
// This boot's record, or false when there is none (or it is another boot's).
// The save writes it (recordSaved, writers.h).
bool readSaved(std::vector<SavedGpu>& gpus);
// The kernel's ID of this boot ("" when unreadable).
std::string bootId();

// The last configuration the GPU driver took whole, one line per GPU with
// its driver instance then, under /run so that a reboot forgets it: a
// driver reloaded since, or a GPU rebound, has not been configured.
extern const char* const CONFIGURATION_DIR;      // "/run/qvgpu-vm-p2p"
extern const char* const CONFIGURATION_RECORD;   // CONFIGURATION_DIR + "/configured"
struct ConfiguredGpu {
    std::string bus;
    std::string minor;        // the source key it was given under
    uint64_t base = 0;        // the host BAR0 base it was given
    uint64_t ino = 0;         // its driver instance (PciDevice::driverInstance)
};
// The questions the tool, its daemon and the report ask of that record,
// each answered here alone.  Is `instance` still the driver instance that
// was told `told`?  (The daemon's rebind look; the tool before it keeps a
// record.)
bool stillTold(const ConfiguredGpu& told, uint64_t instance);
// Does `told` still describe the GPU at `bus` as it would be told now, by
// its minor and its base?  When it does not, every GPU must be told again.
// Minors are compared as the numbers they are; one that cannot be read
// describes no GPU.
bool describes(const ConfiguredGpu& told, const std::string& bus, const std::string& minor,
               uint64_t base);
// Did the driver instance `instance` of the GPU at `bus` take the
// configuration of its minor and store base?  The report's question.
bool tookConfiguration(const std::vector<ConfiguredGpu>& record, const std::string& bus,
                       std::optional<unsigned> minor, uint64_t base, uint64_t instance);

std::string formatConfiguration(const std::vector<ConfiguredGpu>& gpus);
// False for a text that is no such record, which then says nothing.
bool parseConfiguration(const std::string& text, std::vector<ConfiguredGpu>& gpus);
// False when there is none, or it is not one.  The tool writes it
// (writeConfiguration, writers.h).
bool readConfiguration(std::vector<ConfiguredGpu>& gpus);

// What the host's store wrote this boot: one line per GPU whose record it
// wrote and read back, with the GPU's bus address, device ID, BAR0 base and
// product name, kept under /run so that a boot starts without it.  The
// report judges the records of the GPUs it leaves alone by it.
extern const char* const STORED_RECORD;   // CONFIGURATION_DIR + "/stored"
struct StoredGpu {
    std::string bus;
    uint32_t deviceId = 0;
    uint64_t base = 0;
    std::string product;   // "" when unknown
};
std::string formatStored(const std::vector<StoredGpu>& gpus);
// False for a text that is no such record, which then says nothing.
bool parseStored(const std::string& text, std::vector<StoredGpu>& gpus);
// False, with the reason in `why`, when there is none or it is not one.
// The store writes it (recordStored, writers.h).
bool readStored(std::vector<StoredGpu>& gpus, std::string* why = nullptr);
