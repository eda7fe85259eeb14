// The guest's daemon: it watches /dev, and tells the GPU driver every GPU's
// address again whenever the driver comes back, whole or for one GPU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

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
// given) counts the creations of any of the GPU driver's nodes, and
// `driverNodesGone` (when given) their removals.  Records
// that do not fit the buffer end the walk.
int countCreatedNodes(const uint8_t* buffer, std::size_t length, const std::string& awaitedName,
                      bool* watchGone = nullptr, int* driverNodes = nullptr,
                      int* driverNodesGone = nullptr);
