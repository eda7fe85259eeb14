// The guest's daemon: it watches /dev, and tells the driver the addresses
// again whenever it comes back, whole or for one GPU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

// Configures, then again at each creation of the last GPU's node (retrying
// a while); another node tells each GPU rebound since.  Returns -1 only when
// it cannot start or watch.
int runDaemon(const std::set<std::string>& busIds, int32_t gpuCount);

// inotify's calls, replaceable to try failures the kernel will not make.
struct InotifyCalls {
    int (*init)(int flags);
    int (*addWatch)(int fd, const char* path, uint32_t mask);
    long (*read)(int fd, void* buffer, std::size_t length);
};
extern InotifyCalls inotifyCalls;

// How many events call for a configuration: a node created whose name holds
// `awaitedName`, or an overflow; and, when asked, whether the watch went, and
// how many driver nodes came and went.  A record cut short ends the walk.
int countCreatedNodes(const uint8_t* buffer, std::size_t length, const std::string& awaitedName,
                      bool* watchGone = nullptr, int* driverNodes = nullptr,
                      int* driverNodesGone = nullptr);
