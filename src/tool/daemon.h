// The guest's daemon: it watches /dev, and tells the GPU driver every GPU's
// address again whenever the driver comes back, whole or for one GPU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

// Configures, then again each time the last GPU's node is created in /dev
// (trying again a while when the driver refuses); another node tells again
// each GPU bound again since.  Returns -1, only when it cannot start or can
// watch no more.
int runDaemon(const std::set<std::string>& busIds, int32_t gpuCount);

// The daemon's calls into inotify, replaceable to try failures the kernel
// cannot be made to produce on demand.
struct InotifyCalls {
    int (*init)(int flags);
    int (*addWatch)(int fd, const char* path, uint32_t mask);
    long (*read)(int fd, void* buffer, std::size_t length);
};
extern InotifyCalls inotifyCalls;

// How many records of an inotify event buffer call for a configuration: a
// node created whose name contains `awaitedName`, or a queue overflow, which
// may have swallowed one.  When given: whether the kernel removed the watch,
// and how many of the GPU driver's nodes were created and removed.  A record
// that does not fit the buffer ends the walk.
int countCreatedNodes(const uint8_t* buffer, std::size_t length, const std::string& awaitedName,
                      bool* watchGone = nullptr, int* driverNodes = nullptr,
                      int* driverNodesGone = nullptr);
