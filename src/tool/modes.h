// The operating modes: the host store and the guest save of the peer address
// records, handing the addresses to the GPU kernel driver, and the daemon
// that does it again whenever the driver comes back.
#pragma once

#include "device.h"
#include "enum_device.h"
#include "record.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

using DeviceList = std::vector<std::unique_ptr<QvDevice>>;

// One device object per board whose device ID the device table knows, of
// the series class it names, in board order.  Touches no hardware.
DeviceList buildDeviceList(const std::vector<QvBoard*>& boards);

// The store writes each device's record; GPUs that guests hold (`leftAlone`
// of them) have no device object and are neither stored nor failed.
int runStoreData(const DeviceList& devices, std::size_t leftAlone = 0);
int runSaveData(const DeviceList& devices);
// Keeps a GPU's record as its store file, and enters the GPU in `saved`
// for this boot's record of saves (recordSaved, writers.h); false when the
// file cannot be written.
bool keepStoreFile(const PciDevice& gpu, const uint8_t bytes[PEER_RECORD_SIZE],
                   std::vector<SavedGpu>& saved);
// Enters them in this boot's record of saves; false, after an error line,
// when it cannot be written.
bool enterSaved(const std::vector<SavedGpu>& saved);

// Reads and checks every GPU's store file, then tells every GPU's driver
// instance every GPU's host BAR0 base.  False, with nothing told to any GPU,
// when a file is missing or invalid; false too when a command could not be
// handed to a GPU's driver (the others are still told).
bool ptP2PConfigAddress(std::set<std::string> busIds);
// The same, telling which side refused: the store files (nothing was told
// to any GPU) or the driver (a command could not be handed over); or that
// every command was handed over while some GPU's minor could not be read
// yet, so that it went out as "x" (a driver still creating its attributes).
enum class ConfigOutcome { Done, FilesRefused, DriverRefused, MinorUnread };
// With `targets`, only those GPUs are told (every GPU's base still); and
// every GPU is, after all, when one GPU's minor or base is not the one
// `record` (the last configuration's) names.
ConfigOutcome configureDriver(const std::set<std::string>& busIds,
                              std::set<std::string> targets = {},
                              const std::vector<ConfiguredGpu>* record = nullptr);
// -1 when this machine refuses the mode, CONFIG_FAILED when the
// configuration failed (its messages are printed), 0 on success.
constexpr int CONFIG_FAILED = 1;
int runConfigAddress(const std::set<std::string>& busIds);
