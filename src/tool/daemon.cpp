#include "daemon.h"

#include "messages.h"
#include "modes.h"
#include "pci_device.h"
#include "platform.h"
#include "record.h"
#include "utils.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <sys/inotify.h>
#include <unistd.h>

int countCreatedNodes(const uint8_t* buffer, std::size_t length, const std::string& awaitedName,
                      bool* watchGone, int* driverNodes)
{
    int count = 0;
    std::size_t at = 0;
    while (length - at >= sizeof(inotify_event)) {
        inotify_event header;
        std::memcpy(&header, buffer + at, sizeof header);
        const std::size_t nameAt = at + sizeof header;
        if (header.len > length - nameAt)
            break;
        if (header.mask & IN_Q_OVERFLOW)
            ++count;
        if ((header.mask & IN_IGNORED) && watchGone)
            *watchGone = true;
        if (header.len > 0 && (header.mask & IN_CREATE)) {
            const char* name = reinterpret_cast<const char*>(buffer + nameAt);
            const std::string text(name, strnlen(name, header.len));
            if (text.find(awaitedName) != std::string::npos)
                ++count;
            if (driverNodes && text.compare(0, std::strlen(GPU_DRIVER_NAME), GPU_DRIVER_NAME) == 0)
                ++*driverNodes;
        }
        at = nameAt + header.len;
    }
    return count;
}

InotifyCalls inotifyCalls = {
    ::inotify_init1,
    ::inotify_add_watch,
    [](int fd, void* buffer, std::size_t length) -> long { return ::read(fd, buffer, length); },
};

namespace {

// A driver that has just created its last node may still be creating its
// attributes, or refuse commands until it has: the configuration is tried
// again after growing waits, about 30 s in all, before the daemon waits for
// the driver's next load.  A GPU whose minor could not be read yet went out
// as "x", which no driver can place: that is not taken either.  Files that
// are missing or invalid stay so, and are not tried again.
const int RETRY_SECONDS[] = {1, 2, 4, 8, 15};

bool taken(ConfigOutcome outcome)
{
    return outcome != ConfigOutcome::DriverRefused && outcome != ConfigOutcome::MinorUnread;
}

void configureUntilTaken(const std::set<std::string>& busIds,
                         const std::set<std::string>& targets = {},
                         const std::vector<ConfiguredGpu>* record = nullptr)
{
    ConfigOutcome outcome = configureDriver(busIds, targets, record);
    const int retries = static_cast<int>(std::size(RETRY_SECONDS));
    for (int retry = 0; !taken(outcome) && retry < retries; ++retry) {
        colouredLine(Colour::Yellow, "Warning: the driver did not take the configuration, trying "
                     "again in %d s (%d of %d)", RETRY_SECONDS[retry], retry + 1,
                     retries);
        deviceEnvironment().pause(uint64_t{1000000} * RETRY_SECONDS[retry]);
        outcome = configureDriver(busIds, targets, record);
    }
    if (outcome == ConfigOutcome::Done)
        successLines("configuration");
    else if (!taken(outcome))
        colouredLine(Colour::Red, "Error: the driver did not take the configuration; waiting for "
                     "its next load");
}

void configureAfterLoad(const std::set<std::string>& busIds)
{
    // Give the driver a second to finish taking the GPUs up; the waits go
    // through the same pause as the device layer's.
    deviceEnvironment().pause(1000000);
    configureUntilTaken(busIds);
}

// A GPU unbound and bound again while the driver stays loaded (error
// recovery, a rebind) has a new driver instance that knows no peer, and
// its node coming back is the only sign of it.  Each GPU whose instance is
// not the one the record of the last configuration names is told again.
// Without a record there has been no whole configuration to repeat; and
// when no GPU keeps its instance, the whole driver is coming back, and its
// last node will bring the whole configuration.
void tellRebound(const std::set<std::string>& busIds)
{
    std::vector<ConfiguredGpu> record;
    if (!readConfiguration(record) || record.size() != busIds.size())
        return;
    std::set<std::string> rebound;
    // Which GPUs keep the instance the record names, and which have another.
    const auto look = [&] {
        bool someKept = false;
        rebound.clear();
        for (const ConfiguredGpu& gpu : record) {
            uint64_t ino = 0;
            // A GPU not taken up (again) yet is told when its node comes.
            if (!busIds.count(gpu.bus) || !PciDevice(gpu.bus).driverInstance(ino))
                continue;
            if (stillTold(gpu, ino))
                someKept = true;
            else
                rebound.insert(gpu.bus);
        }
        return someKept;
    };
    if (!look())
        return;
    // The new instance may still be making its attributes.
    deviceEnvironment().pause(1000000);
    if (look() && !rebound.empty())
        configureUntilTaken(busIds, rebound, &record);
}

} // namespace

int runDaemon(const std::set<std::string>& busIds, int32_t gpuCount)
{
    if (!isVirtualMachine()) {
        colouredLine(Colour::Yellow, "Warning: '--daemon' only works in virtual machine!");
        return -1;
    }
    UniqueFd inotify(inotifyCalls.init(IN_CLOEXEC));
    if (!inotify.isOpen()) {
        std::fprintf(stderr, "Error initializing inotify\n");
        return -1;
    }
    const int watch = inotifyCalls.addWatch(inotify.get(), "/dev", IN_CREATE | IN_DELETE);
    if (watch < 0) {
        std::fprintf(stderr, "Error adding watch to /dev directory\n");
        return -1;
    }
    // The watch comes first: a driver still taking the GPUs up may create
    // the last node while this configuration runs, and that event must wait
    // in the queue rather than be lost.
    // A driver loaded before the daemon may still be taking the GPUs up,
    // after its last node already exists: no event will come for it, so
    // this configuration gets the same retries as one after a load.
    if (getDriverLoaded())
        configureUntilTaken(busIds);
    // The driver creates its nodes from 0 up; the last one means it has
    // taken up every GPU.
    const std::string awaitedName = GPU_DRIVER_NAME + std::to_string(gpuCount - 1);
    alignas(inotify_event) uint8_t events[32768];
    for (;;) {
        const long got = inotifyCalls.read(inotify.get(), events, sizeof events);
        if (got < 0) {
            // Nothing can be watched any more: a failed run, so that a
            // service manager starts the daemon again.
            std::fprintf(stderr, "Error reading inotify events\n");
            ::inotify_rm_watch(inotify.get(), watch);
            return -1;
        }
        bool watchGone = false;
        int created = 0;
        const int triggers = countCreatedNodes(events, static_cast<std::size_t>(got), awaitedName,
                                               &watchGone, &created);
        for (int i = 0; i < triggers; ++i)
            configureAfterLoad(busIds);
        if (triggers == 0 && created > 0)
            tellRebound(busIds);
        if (watchGone) {
            std::fprintf(stderr, "Error: the watch on /dev directory was removed\n");
            return -1;
        }
    }
}
