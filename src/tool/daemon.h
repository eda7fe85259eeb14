// The guest's daemon: it watches /dev, telling the driver again when it comes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

// Configures, then again whenever the last GPU's node is made (retrying a while);
// another node tells GPUs rebound since.  -1 only when it cannot start or watch.
int runDaemon(const std::set<std::string>& busIds, int32_t gpuCount);

// inotify's calls, replaceable to try failures the kernel will not make.
struct InotifyCalls {
    int (*init)(int flags);
    int (*addWatch)(int fd, const char* path, uint32_t mask);
    long (*read)(int fd, void* buffer, std::size_t length);
};
extern InotifyCalls inotifyCalls;

// How many events call for a configuration (`awaitedName` created, an overflow); when
// asked, whether the watch went and how many driver nodes came and went.
int countCreatedNodes(const uint8_t* buffer, std::size_t length, const std::string& awaitedName,
                      bool* watchGone = nullptr, int* driverNodes = nullptr,
                      int* driverNodesGone = nullptr);
