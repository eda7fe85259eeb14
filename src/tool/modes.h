// The modes: the host's store, the guest's save, and telling the GPU driver.
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

// A device object of its series per known board, in order; no hardware.
DeviceList buildDeviceList(const std::vector<QvBoard*>& boards);

// GPUs guests hold (`leftAlone`) have no device object: not stored, not failed.
int runStoreData(const DeviceList& devices, std::size_t leftAlone = 0);
int runSaveData(const DeviceList& devices);
// A GPU's record kept as its store file and entered in `saved` (false when
// it cannot be); then `saved` in this boot's record of saves (false, said).
bool keepStoreFile(const PciDevice& gpu, const uint8_t bytes[PEER_RECORD_SIZE],
                   std::vector<SavedGpu>& saved);
bool enterSaved(const std::vector<SavedGpu>& saved);

// Every store file checked, then every GPU's driver told every base.  False, nothing
// told, for a bad file; false for a command not handed over (the rest still are).  The
// outcome says which refused, or that a minor went as "x" (attributes still coming).
bool ptP2PConfigAddress(std::set<std::string> busIds);
enum class ConfigOutcome { Done, FilesRefused, DriverRefused, MinorUnread };
// With `targets`, only those are told, unless a GPU no longer matches `record`.
ConfigOutcome configureDriver(const std::set<std::string>& busIds,
                              std::set<std::string> targets = {},
                              const std::vector<ConfiguredGpu>* record = nullptr);
// -1 when this machine refuses the mode, CONFIG_FAILED (said), or 0.
constexpr int CONFIG_FAILED = 1;
int runConfigAddress(const std::set<std::string>& busIds);
