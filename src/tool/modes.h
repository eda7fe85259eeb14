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

// Watches /dev, configures, then configures again each time the last GPU's
// device node is created there (trying again for a while when the driver
// refuses); when another of the driver's nodes is created, tells again each
// GPU bound again since the last configuration.  Returns -1 only: when it cannot start, or
// when it can watch no more.
int runDaemon(const std::set<std::string>& busIds, int32_t gpuCount);

// The daemon's calls into inotify.  They can be replaced, so that failures
// the kernel cannot be made to produce on demand can be tried.
struct InotifyCalls {
    int (*init)(int flags);
    int (*addWatch)(int fd, const char* path, uint32_t mask);
    long (*read)(int fd, void* buffer, std::size_t length);
};
extern InotifyCalls inotifyCalls;

// How many records of an inotify event buffer call for a configuration: the
// creation of a node whose name contains `awaitedName`, and a queue
// overflow, which may have swallowed such a creation.  `watchGone` (when
// given) tells whether the kernel removed the watch, and `driverNodes` (when
// given) counts the creations of any of the GPU driver's nodes.  Records
// that do not fit the buffer end the walk.
int countCreatedNodes(const uint8_t* buffer, std::size_t length, const std::string& awaitedName,
                      bool* watchGone = nullptr, int* driverNodes = nullptr);
