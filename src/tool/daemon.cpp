#include "daemon.h"

#include "bar_window.h"
#include "device_table.h"
#include "holders.h"
#include "messages.h"
#include "modes.h"
#include "pci_device.h"
#include "platform.h"
#include "record.h"
#include "utils.h"

#include <cstdio>
#include <map>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/inotify.h>
#include <unistd.h>

int countCreatedNodes(const uint8_t* buffer, std::size_t length, const std::string& awaitedName,
                      bool* watchGone, int* driverNodes, int* driverNodesGone)
{
    int count = 0;
    for (std::size_t at = 0; length - at >= sizeof(inotify_event);) {
        inotify_event header;
        std::memcpy(&header, buffer + at, sizeof header);
        const std::size_t nameAt = at + sizeof header;
        if (header.len > length - nameAt)
            break;
        if (header.mask & IN_Q_OVERFLOW)
            ++count;
        if ((header.mask & IN_IGNORED) && watchGone)
            *watchGone = true;
        if (header.len > 0 && (header.mask & (IN_CREATE | IN_DELETE))) {
            const char* name = reinterpret_cast<const char*>(buffer + nameAt);
            const std::string text(name, strnlen(name, header.len));
            const bool driverNode = text.compare(0, std::strlen(GPU_DRIVER_NAME), GPU_DRIVER_NAME) == 0;
            if ((header.mask & IN_CREATE) && text.find(awaitedName) != std::string::npos)
                ++count;
            int* counted = header.mask & IN_CREATE ? driverNodes : driverNodesGone;
            if (driverNode && counted)
                ++*counted;
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

// A driver that just made its last node may refuse commands until its attributes
// exist: tried again for about 30 s (a minor sent as "x" too); bad files are not.
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
    // A second for the driver to finish taking the GPUs up.
    deviceEnvironment().pause(1000000);
    configureUntilTaken(busIds);
}

// A GPU rebound while the driver stays (error recovery) has a new instance knowing no
// peer; its node coming back is the only sign: each GPU the record does not name is told
// again.  No record: nothing to repeat; no GPU kept: the whole driver is coming back.
void tellRebound(const std::set<std::string>& busIds)
{
    std::vector<ConfiguredGpu> record;
    if (!readConfiguration(record) || record.size() != busIds.size())
        return;
    std::set<std::string> rebound;
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

// A bus address to the GPU driver's "/bind" or "/unbind"; false, said.
bool tellDriverCore(const char* entry, const std::string& bus)
{
    const std::string path = driverPath(GPU_DRIVER_NAME, entry);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.isOpen() && ::write(fd.get(), bus.data(), bus.size()) == static_cast<ssize_t>(bus.size()))
        return true;
    colouredLine(Colour::Red, "Error: Cannot write %s to %s: %s", bus.c_str(), path.c_str(),
                 std::strerror(errno));
    return false;
}

// Whether something (a device plugin) holds the node an unbind would pull.
bool nodeInUse(const PciDevice& gpu, std::string& why)
{
    const std::optional<unsigned> minor = gpu.minor();
    if (!minor) {
        why = "its minor number cannot be read";
        return true;
    }
    const std::string node = gpuNodePath(std::to_string(*minor));
    const HolderScan scan = findHolders({node});
    if (!scan.holders.empty()) {
        const ProcessFacts& p = scan.holders.begin()->second;
        why = node + " is open (" + printable(p.name) + ", pid " + std::to_string(p.pid) + ")";
        return true;
    }
    if (!scan.complete())
        colouredLine(Colour::Yellow, "Warning: not every process could be seen; one may hold %s "
                     "open.", node.c_str());
    return false;
}

// A GPU that appeared gets its store file from its device memory, unbound
// for the read (the kernel maps no BAR a driver holds).  False, said, if none.
bool saveAppeared(const std::string& bus, std::vector<SavedGpu>& saved)
{
    const PciDevice gpu(bus);
    uint32_t deviceId = 0;
    if (!gpu.deviceId(deviceId)) {
        labelledLine(Colour::Red, "Error:", "cannot read the device ID of %s!", bus.c_str());
        return false;
    }
    if (readStoreFile(bus).validFor(deviceId))
        return true;   // saved already, while it is there
    const bool bound = gpu.driverName() == GPU_DRIVER_NAME;
    std::string why;
    if (bound && nodeInUse(gpu, why)) {
        colouredLine(Colour::Yellow, "Warning: [%s]: added, and not configured: %s; its record is "
                     "saved only while the driver does not hold it", bus.c_str(), why.c_str());
        return false;
    }
    if (bound && !tellDriverCore("/unbind", bus))
        return false;
    // Woken as discovery wakes a GPU, so that its memory decodes.
    uint8_t bytes[PEER_RECORD_SIZE] = {};
    enablePciDevice(bus);
    const BarWindow window = BarWindow::readOnly(gpu, 0, PEER_RECORD_ADDRESS, PEER_RECORD_SIZE);
    if (window.ok())
        window.copyOut(PEER_RECORD_ADDRESS, bytes, PEER_RECORD_SIZE);
    const bool valid = window.ok() && recordValidFor(bytes, sizeof bytes, deviceId);
    const bool kept = valid && keepStoreFile(gpu, bytes, saved);
    if (!window.ok())
        colouredLine(Colour::Red, "Error: [%s]: added, and not configured: its device memory "
                     "cannot be read (%s)", bus.c_str(), window.why().c_str());
    else if (!valid)
        colouredLine(Colour::Red, "Error: [%s]: added, and not configured: no valid record in its "
                     "device memory ('--store-data' on the host before it is added)", bus.c_str());
    else if (!kept)
        colouredLine(Colour::Red, "Error: failed to write configuration file!");
    if (bound)
        tellDriverCore("/bind", bus);
    return kept;
}

// The maker's GPUs there now, by presence (a GPU added at an address is
// another GPU); one whose presence cannot be read went away.
using Present = std::map<std::string, uint64_t>;
Present presentGpus()
{
    Present now;
    for (const std::string& bus : findMakerDevices())
        if (const std::optional<uint64_t> presence = PciDevice(bus).presence())
            now[bus] = *presence;
    return now;
}

// A GPU that appeared is saved and told; one that went leaves those told
// (the others keep its entry, harmless).  False when nothing changed.
bool followGpus(Present& known, std::set<std::string>& told, bool& appeared)
{
    const Present now = presentGpus();
    if (now == known)
        return false;
    std::vector<SavedGpu> saved;
    appeared = false;
    for (const auto& [bus, presence] : known)
        if (!now.count(bus) || now.at(bus) != presence)
            told.erase(bus);
    for (const auto& [bus, presence] : now)
        if (!known.count(bus) || known.at(bus) != presence) {
            appeared = true;
            if (saveAppeared(bus, saved))
                told.insert(bus);
        }
    if (!saved.empty())
        enterSaved(saved);
    known = now;
    return true;
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
    // Known: the GPUs given, as they are once the watch is on; one added since
    // is one that appeared, at the next event.
    Present known;
    for (const auto& [bus, presence] : presentGpus())
        if (busIds.count(bus))
            known[bus] = presence;
    // Watching already, a last node made now waits in the queue.  A driver
    // loaded before may still be taking GPUs up: the same retries as after a load.
    if (getDriverLoaded())
        configureUntilTaken(busIds);
    // Nodes come from 0 up: the last means the driver has every GPU.
    std::string awaitedName = GPU_DRIVER_NAME + std::to_string(gpuCount - 1);
    std::set<std::string> told = busIds;
    alignas(inotify_event) uint8_t events[32768];
    for (;;) {
        const long got = inotifyCalls.read(inotify.get(), events, sizeof events);
        if (got < 0) {
            // A failed run, so that a service manager starts it again.
            std::fprintf(stderr, "Error reading inotify events\n");
            ::inotify_rm_watch(inotify.get(), watch);
            return -1;
        }
        bool watchGone = false;
        int created = 0, gone = 0;
        const int triggers = countCreatedNodes(events, static_cast<std::size_t>(got), awaitedName,
                                               &watchGone, &created, &gone);
        bool appeared = false;
        if ((created > 0 || gone > 0) && followGpus(known, told, appeared)) {
            // Every GPU learns every peer, the new one too; a GPU gone changes
            // nothing, unless nodes came with it (the driver loaded again).
            awaitedName = GPU_DRIVER_NAME + std::to_string(known.size() - 1);
            if ((appeared || created > 0) && !told.empty())
                configureAfterLoad(told);
        } else {
            for (int i = 0; i < triggers; ++i)
                configureAfterLoad(told);
            if (triggers == 0 && created > 0)
                tellRebound(told);
        }
        if (watchGone) {
            std::fprintf(stderr, "Error: the watch on /dev directory was removed\n");
            return -1;
        }
    }
}
