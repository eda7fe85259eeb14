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

// A device object of its series per board the device table knows, in
// board order.  Touches no hardware.
DeviceList buildDeviceList(const std::vector<QvBoard*>& boards);

// GPUs that guests hold (`leftAlone`) have no device object: neither stored
// nor failed.
int runStoreData(const DeviceList& devices, std::size_t leftAlone = 0);
int runSaveData(const DeviceList& devices);
// A GPU's record kept as its store file and entered in `saved`, false when
// the file cannot be written; then `saved` in this boot's record of saves,
// false, said, when it cannot be.
bool keepStoreFile(const PciDevice& gpu, const uint8_t bytes[PEER_RECORD_SIZE],
                   std::vector<SavedGpu>& saved);
bool enterSaved(const std::vector<SavedGpu>& saved);

// Every GPU's store file checked, then every GPU's driver instance told
// every GPU's host BAR0 base.  False, nothing told, when a file is missing
// or invalid; false too when a command could not be handed over (the others
// still are).  The outcome says which side refused, or that a minor not
// readable yet went out as "x" (a driver still making its attributes).
bool ptP2PConfigAddress(std::set<std::string> busIds);
enum class ConfigOutcome { Done, FilesRefused, DriverRefused, MinorUnread };
// With `targets`, only those GPUs are told (every base still), unless one
// GPU's minor or base is not what `record`, the last configuration, names.
ConfigOutcome configureDriver(const std::set<std::string>& busIds,
                              std::set<std::string> targets = {},
                              const std::vector<ConfiguredGpu>* record = nullptr);
// -1 when this machine refuses the mode, CONFIG_FAILED when the
// configuration failed (its messages are printed), 0 on success.
constexpr int CONFIG_FAILED = 1;
int runConfigAddress(const std::set<std::string>& busIds);
