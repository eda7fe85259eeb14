#include "status.h"

#include "device.h"
#include "enum_device.h"
#include "pci_device.h"
#include "platform.h"
#include "record.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char* const LOCKDOWN_FILE = "/sys/kernel/security/lockdown";

namespace {

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Reads `count` 32-bit words at `offset` of a BAR's resource file through a
// read-only mapping of just the pages that hold them.  "" when read, or why
// not; a file smaller than `minimumSize` gives `tooSmall`.
std::string readResourceWords(const PciDevice& device, int bar, uint64_t minimumSize,
                              const char* tooSmall, uint32_t offset, uint32_t count,
                              uint32_t* words)
{
    const std::string path = device.path(("/resource" + std::to_string(bar)).c_str());
    std::string why;
    UniqueFd fd = openRegularFile(path, &why);
    if (!fd.isOpen())
        return why;
    const off_t size = fileSize(fd.get());
    const uint64_t end = static_cast<uint64_t>(offset) + 4ull * count;
    if (size < 0 || static_cast<uint64_t>(size) < std::max<uint64_t>(minimumSize, end))
        return tooSmall;
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t first = offset / page * page;
    const uint64_t length = (end - first + page - 1) / page * page;
    Mapping map(fd.get(), static_cast<std::size_t>(length), PROT_READ, static_cast<off_t>(first));
    if (!map.ok()) {
        if (map.error() == EPERM)
            return "the kernel is locked down";
        const std::string driver = driverHoldingBar(device.bus(), map.error());
        if (!driver.empty())
            return "BAR" + std::to_string(bar) + " is held by the driver '" + driver + "'";
        return "cannot map " + path + ": " + std::strerror(map.error());
    }
    for (uint32_t i = 0; i < count; ++i)
        words[i] = map.load32(offset - first + 4 * i);
    return "";
}

// The size of BAR0 from the kernel's resource list, 0 when unknown.
uint64_t bar0SizeOf(const PciDevice& device)
{
    const std::string line = device.line("/resource", "");
    unsigned long long start = 0, last = 0;
    if (std::sscanf(line.c_str(), "%llx %llx", &start, &last) != 2 || last <= start)
        return 0;
    return last - start + 1;
}

void readProduct(GpuFacts& gpu, const PciDevice& device, const MachineFacts& machine)
{
    const DeviceTableEntry* entry = findDeviceTableEntry(gpu.deviceId);
    if (!entry) {
        gpu.productReason = gpu.deviceId.empty() ? "device ID unreadable" : "device ID not known";
        return;
    }
    if (!gpu.configRead) {
        gpu.productReason = gpu.configReason;
        return;
    }
    if (machine.lockdown != "none") {
        gpu.productReason = "the kernel is locked down";
        return;
    }
    const std::string asleep = asleepReason(device.config());
    if (!asleep.empty()) {
        gpu.productReason = asleep;
        return;
    }
    QvBoard board;
    board.busId = gpu.bus;
    board.deviceId = gpu.deviceId;
    uint32_t word = 0;
    std::string why;
    if (entry->group == DeviceGroup::RE)
        why = readResourceWords(device, 2, 0, "BAR2 is too small", RE_NUMBERED_FORM_REGISTER, 1,
                                &board.numberedForm);
    if (why.empty())
        why = readResourceWords(device, 2, 0, "BAR2 is too small", entry->infoRegister, 1, &word);
    if (!why.empty()) {
        gpu.productReason = why;
        return;
    }
    setBoardCodes(board, word);
    gpu.product = getDeviceProductName(stringToUint32_t(board.deviceId), board.numberedForm,
                                       board.variantBit, board.modelCode, board.subModelCode);
}

void readRecord(GpuFacts& gpu, const PciDevice& device, const MachineFacts& machine,
                uint8_t bytes[PEER_RECORD_SIZE])
{
    if (machine.lockdown != "none") {
        gpu.recordReason = "the kernel is locked down (" + machine.lockdown + ")";
        gpu.record = RecordState::Unreadable;
        return;
    }
    std::string why = asleepReason(device.config());
    uint32_t words[PEER_RECORD_SIZE / 4] = {};
    if (why.empty())
        why = readResourceWords(device, 0, DEVICE_MEMORY_WINDOW,
                                "BAR0 is smaller than the 2 MiB window", PEER_RECORD_ADDRESS,
                                PEER_RECORD_SIZE / 4, words);
    if (!why.empty()) {
        gpu.recordReason = why;
        gpu.record = RecordState::Unreadable;
        return;
    }
    for (std::size_t i = 0; i < PEER_RECORD_SIZE; ++i)
        bytes[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
    const PeerAddressRecord record = decodeRecord(bytes);
    const uint64_t deviceId = stringToUint32_t(gpu.deviceId);
    // Bits 47..32 of the magic name the device; the rest is fixed.
    const uint64_t fixedBits = ~(0xFFFFull << 32);
    if (recordValidFor(bytes, PEER_RECORD_SIZE, deviceId)) {
        gpu.record = RecordState::Valid;
        gpu.recordBase = record.bar0Base;
    } else if ((record.magic & fixedBits) == (PEER_RECORD_MAGIC & fixedBits)) {
        gpu.record = RecordState::OtherDevice;
        gpu.recordDeviceId = static_cast<uint32_t>(record.magic >> 32 & 0xFFFF);
    } else {
        gpu.record = RecordState::Absent;
    }
}

// The store file as the driver configuration will read it: its first 16
// bytes, checked against the GPU's device ID.
void readStoreFile(GpuFacts& gpu, const uint8_t memory[PEER_RECORD_SIZE])
{
    const std::string path = GUEST_CONFIG_DIR + gpu.bus;
    std::string bytes, why;
    if (!readRegularFile(path, PEER_RECORD_SIZE, bytes, &why)) {
        if (startsWith(why, "no file")) {
            gpu.store = StoreState::Missing;
            return;
        }
        gpu.store = StoreState::Invalid;
        gpu.storeReason = why == path + " is not a regular file" ? "not a regular file"
                                                                 : "unreadable";
        return;
    }
    gpu.store = StoreState::Invalid;
    if (bytes.empty()) {
        gpu.storeReason = "empty";
        return;
    }
    if (bytes.size() < PEER_RECORD_SIZE) {
        gpu.storeReason = "wrong size (" + std::to_string(bytes.size()) + " bytes)";
        return;
    }
    const auto* record = reinterpret_cast<const uint8_t*>(bytes.data());
    if (!recordValidFor(record, bytes.size(), stringToUint32_t(gpu.deviceId))) {
        gpu.storeReason = "not a record of this GPU";
        return;
    }
    gpu.storeBase = decodeRecord(record).bar0Base;
    gpu.store = gpu.record == RecordState::Valid &&
                        std::memcmp(record, memory, PEER_RECORD_SIZE) != 0
                    ? StoreState::Disagrees
                    : StoreState::Valid;
}

// Why a configuration space does not let a GPU be judged, "" when it does.
std::string configProblem(const PciDevice& device)
{
    const std::vector<uint8_t>& config = device.config();
    if (config.empty())
        return device.configError().empty() ? "its configuration space is empty"
                                             : device.configError();
    if (config.size() >= 64 && config[0] == 0xFF && config[1] == 0xFF)
        return "it does not answer (its configuration space reads all ones)";
    // Its header, or its power state, lies beyond the bytes read.
    if (asleepReason(config) == CONFIG_UNREAD)
        return "only " + std::to_string(config.size()) + " bytes of its configuration space "
               "could be read";
    return "";
}

GpuFacts readGpu(const std::string& bus, StatusReport& report)
{
    const MachineFacts& machine = report.machine;
    const PciDevice device(bus);
    GpuFacts gpu;
    gpu.bus = bus;
    gpu.deviceId = device.word("/device", "");
    gpu.handled = findDeviceTableEntry(gpu.deviceId) != nullptr;
    gpu.configReason = configProblem(device);
    gpu.configRead = gpu.configReason.empty();
    if (gpu.configRead) {
        gpu.bar0Base = decodeBar0Base(&device.config()[16]);
        gpu.link = decodeLink(device.config());
    }
    gpu.bar0Size = bar0SizeOf(device);
    gpu.numaNode = device.word("/numa_node", "x");
    gpu.localCpus = device.line("/local_cpulist", "x");
    if (device.exists("/iommu"))
        gpu.iommuGroup = device.linkName("/iommu_group");
    gpu.driver = device.linkName("/driver");
    gpu.minor = device.word("/minor", "x");
    readProduct(gpu, device, machine);

    // A GPU whose state could not be read is not touched at all: its
    // memory might not decode, and its reads would look like anything.
    uint8_t memory[PEER_RECORD_SIZE] = {};
    if (gpu.handled && gpu.configRead)
        readRecord(gpu, device, machine, memory);
    if (machine.guest && gpu.handled && gpu.configRead)
        readStoreFile(gpu, memory);

    gpu.path = pathOf(bus);
    for (const std::string& port : gpu.path.ports)
        if (report.ports.find(port) == report.ports.end()) {
            const PciDevice above(port);
            report.ports.emplace(port, decodePort(port, above.config(), above.configError()));
        }
    if (gpu.link.known && !gpu.path.ports.empty()) {
        const PciLink& other = report.ports.at(gpu.path.ports.back()).link;
        if (other.known)
            gpu.fullWidth = std::min(gpu.link.maxWidth, other.maxWidth);
    }
    return gpu;
}

std::string readLockdown()
{
    std::string text;
    readRegularFile(LOCKDOWN_FILE, 128, text);
    return parseLockdown(text);
}

// On a host: which process holds each GPU, through its VFIO group file or
// its VFIO device file.
void findUsers(StatusReport& report)
{
    std::vector<std::vector<std::string>> filesOf(report.gpus.size());
    std::set<std::string> files;
    for (std::size_t i = 0; i < report.gpus.size(); ++i) {
        const GpuFacts& gpu = report.gpus[i];
        if (!gpu.iommuGroup.empty())
            filesOf[i].push_back("/dev/vfio/" + gpu.iommuGroup);
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(devicePath(gpu.bus, "/vfio-dev"), ec))
            filesOf[i].push_back("/dev/vfio/devices/" + entry.path().filename().string());
        files.insert(filesOf[i].begin(), filesOf[i].end());
    }
    const std::map<std::string, ProcessFacts> holders = findHolders(files);
    for (std::size_t i = 0; i < report.gpus.size(); ++i)
        for (const std::string& file : filesOf[i]) {
            const auto holder = holders.find(file);
            if (holder == holders.end())
                continue;
            report.gpus[i].inUse = true;
            report.gpus[i].user = holder->second;
            break;
        }
}

const char* const DRIVER_NAME = "morvanti";

// The module to unload for the driver to let go of BAR0.
std::string driverModule()
{
    std::error_code ec;
    const std::string module =
        fs::read_symlink(std::string("/sys/bus/pci/drivers/") + DRIVER_NAME + "/module", ec)
            .filename()
            .string();
    return module.empty() ? DRIVER_NAME : module;
}

} // namespace

std::string userText(const ProcessFacts& user)
{
    return (user.guest.empty() ? user.name : user.guest) + " (" + user.name + ", pid " +
           std::to_string(user.pid) + ")";
}

std::string parseLockdown(const std::string& text)
{
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos || close == open + 1)
        return "none";
    return text.substr(open + 1, close - open - 1);
}

namespace {

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

// Items that each come with a reason, in the order found.
using Reasoned = std::vector<std::pair<std::string, std::string>>;

std::string withReasons(const Reasoned& items)
{
    std::vector<std::string> texts;
    for (const auto& [bus, reason] : items)
        texts.push_back(bus + " (" + reason + ")");
    return joined(texts);
}

const char* const STORE = "qvgpu-vm-p2p --store-data";
const char* const SAVE = "qvgpu-vm-p2p --save-data";

// Collects the problems that one command fixes.
struct FixBuilder {
    Fix fix;
    void add(const std::string& items, const std::string& problem)
    {
        if (!items.empty())
            fix.problems.push_back(problem + items);
    }
    void addTo(StatusReport& report, std::string command = "", std::string where = "")
    {
        if (fix.problems.empty())
            return;
        fix.command = std::move(command);
        fix.where = std::move(where);
        report.fixes.push_back(std::move(fix));
        fix = Fix();
    }
};

// Unreadable device memory that the tool's own run gets past: it wakes
// sleeping GPUs.
bool wakeGetsPast(const std::string& reason)
{
    return startsWith(reason, "memory decoding") || startsWith(reason, "in power state");
}

bool heldByDriver(const std::string& reason)
{
    return startsWith(reason, "BAR0 is held");
}

// What keeps the report from seeing: it is a thing to fix, never a pass.
void judgeUnseen(StatusReport& report)
{
    Reasoned silent;
    std::vector<std::string> noId, noPath;
    for (const GpuFacts& gpu : report.gpus) {
        if (gpu.deviceId.empty())
            noId.push_back(gpu.bus);
        if (!gpu.configRead)
            silent.emplace_back(gpu.bus, gpu.configReason);
        else if (!gpu.path.known)
            noPath.push_back(gpu.bus);
    }
    Reasoned unknownAcs;
    for (const auto& [bus, port] : report.ports)
        if (port.acsUnknown())
            unknownAcs.emplace_back(bus, port.unknownReason);
    FixBuilder b;
    b.add(withReasons(silent), "the state of these GPUs cannot be read: ");
    b.addTo(report);
    b.add(joined(noId), "the device ID of these devices of the maker cannot be read: ");
    b.addTo(report);
    b.add(withReasons(unknownAcs),
          "the ACS state of these ports above GPUs cannot be read, so they may redirect peer "
          "traffic: ");
    b.addTo(report);
    b.add(joined(noPath),
          "the PCI path of these GPUs is unknown, so their ports keep their ACS settings: ");
    b.addTo(report);
}

// "0000:03:00.0 (IOMMU group 3) and 0000:04:00.0 (IOMMU group 4)", with
// the guests that hold them when `users`.
std::string pairText(const StatusReport& report, const IsolationPair& pair, bool users)
{
    auto one = [&](std::size_t i) {
        const GpuFacts& g = report.gpus[i];
        return g.bus + " (IOMMU group " + g.iommuGroup +
               (users ? ", in use by " + userText(g.user) : "") + ")";
    };
    return one(pair.a) + " and " + one(pair.b);
}

bool differentUsers(const GpuFacts& a, const GpuFacts& b)
{
    return a.inUse && b.inUse && a.user.pid != b.user.pid;
}

// Two GPUs below one switch with no redirect between them reach each
// other's memory without the IOMMU, whatever groups the kernel formed.
void judgeIsolation(StatusReport& report)
{
    if (!report.machine.iommu)
        return;
    for (std::size_t i = 0; i < report.gpus.size(); ++i)
        for (std::size_t j = i + 1; j < report.gpus.size(); ++j) {
            const Link& link = report.links[i][j];
            const GpuFacts& a = report.gpus[i];
            const GpuFacts& b = report.gpus[j];
            if (link.turnSwitch.empty() || link.redirected || link.acsUnknown ||
                a.iommuGroup.empty() || b.iommuGroup.empty() || a.iommuGroup == b.iommuGroup)
                continue;
            (differentUsers(a, b) ? report.isolationBreaches : report.isolationWarnings)
                .push_back({i, j, link.turnSwitch});
        }
    std::map<std::string, std::vector<std::string>> bySwitch;
    for (const IsolationPair& pair : report.isolationWarnings)
        bySwitch[pair.switchBus].push_back(pairText(report, pair, false));
    for (const auto& [bus, pairs] : bySwitch)
        report.warnings.push_back(
            "GPUs below the switch at " + bus + " reach each other's memory without the IOMMU, "
            "although the kernel put them in different IOMMU groups: " + joined(pairs) +
            "; give all GPUs below one switch to one guest");
    FixBuilder b;
    std::vector<std::string> breaches;
    for (const IsolationPair& pair : report.isolationBreaches)
        breaches.push_back(pairText(report, pair, true) + " below the switch at " + pair.switchBus);
    b.add(joined(breaches), "GPUs in use by different guests reach each other's memory without "
                            "the IOMMU: ");
    if (!b.fix.problems.empty())
        b.fix.problems.push_back(
            "give them to one guest; or, on a host whose switches are shared between guests, do "
            "not run qvgpu-vm-p2p --disable-acs (ACS is back on after the next boot)");
    b.addTo(report);
}

void judgeHost(StatusReport& report)
{
    // A switch whose GPUs two guests hold keeps them apart by redirecting:
    // that is no thing to fix there.
    std::map<std::string, std::set<int>> usersBelow;
    for (std::size_t i = 0; i < report.gpus.size(); ++i)
        for (std::size_t j = 0; j < report.gpus.size(); ++j) {
            const Link& link = report.links[i][j];
            if (!link.turnSwitch.empty() && report.gpus[i].inUse)
                usersBelow[link.turnSwitch].insert(report.gpus[i].user.pid);
        }
    std::set<std::string> redirecting;
    for (const auto& row : report.links)
        for (const Link& link : row)
            if (link.redirected && usersBelow[link.turnSwitch].size() < 2)
                for (const std::string& port : {link.turnA, link.turnB})
                    if (report.ports.at(port).redirects())
                        redirecting.insert(port);
    std::vector<std::string> noRecord, stale;
    Reasoned unreadable, blocked;
    bool anyInUse = false;
    for (const GpuFacts& gpu : report.gpus) {
        anyInUse = anyInUse || gpu.inUse;
        switch (gpu.record) {
        case RecordState::NotRead:
            break;
        case RecordState::Valid:
            if (gpu.recordBase != gpu.bar0Base)
                stale.push_back(gpu.bus);
            break;
        case RecordState::Absent:
        case RecordState::OtherDevice:
            noRecord.push_back(gpu.bus);
            break;
        case RecordState::Unreadable:
            if (gpu.inUse) {
                // The guest's own report checks it.
                ++report.notChecked;
                break;
            }
            if (report.machine.lockdown != "none")
                break;   // said once for the machine
            (wakeGetsPast(gpu.recordReason) || heldByDriver(gpu.recordReason) ? unreadable
                                                                             : blocked)
                .emplace_back(gpu.bus, gpu.recordReason);
            break;
        }
        if (gpu.configRead && !gpu.deviceId.empty() && !gpu.handled)
            report.warnings.push_back(
                gpu.bus + " (device ID " + gpu.deviceId + ") is not a GPU the tool handles: it "
                "gets no record, and a guest given it with the GPUs cannot configure any GPU's "
                "driver (--config-address fails); give it to no such guest");
        if (gpu.fullWidth && gpu.link.width < gpu.fullWidth)
            report.warnings.push_back(
                gpu.bus + ": its link runs at x" + std::to_string(gpu.link.width) +
                " although both ends can do x" + std::to_string(gpu.fullWidth) +
                ", so peer traffic runs at a fraction of full rate (reseat the GPU, or check "
                "the slot)");
    }
    judgeIsolation(report);
    // One run does both, the tool switching ACS off before it stores; but
    // while a guest holds a GPU, the store fails for that GPU.
    FixBuilder b;
    b.add(joined({redirecting.begin(), redirecting.end()}),
          "ACS on switch downstream ports redirects peer traffic to the root complex: ");
    const bool acs = !b.fix.problems.empty();
    if (acs && anyInUse)
        b.addTo(report, "qvgpu-vm-p2p --disable-acs");
    b.add(joined(noRecord), "no valid record in the device memory of: ");
    b.add(joined(stale), "the record holds another BAR0 base than the GPU has now (stale after "
                         "a BAR reassignment): ");
    b.add(withReasons(unreadable),
          "the record cannot be read now (store it before any guest starts): ");
    const bool store = b.fix.problems.size() > (acs && !anyInUse ? 1u : 0u);
    b.addTo(report,
            std::string("qvgpu-vm-p2p") + (acs && !anyInUse ? " --disable-acs" : "") +
                (store ? " --store-data" : ""),
            store && anyInUse ? "when no guest holds a GPU (the host unit does it at boot), "
                                "then restart the guests"
                              : "");
    b.add(withReasons(blocked), "the device memory cannot be read at all: ");
    b.addTo(report);
}

void judgeGuest(StatusReport& report)
{
    std::vector<std::string> save, disagree, fromHost, unhandled;
    Reasoned unreadable, held, blocked;
    for (const GpuFacts& gpu : report.gpus) {
        if (!gpu.configRead || gpu.deviceId.empty())
            continue;   // a thing to fix already
        if (!gpu.handled) {
            unhandled.push_back(gpu.bus);
            continue;
        }
        if (gpu.store == StoreState::Valid)
            continue;
        if (gpu.store == StoreState::Disagrees) {
            disagree.push_back(gpu.bus);
            continue;
        }
        switch (gpu.record) {
        case RecordState::Valid:
            save.push_back(gpu.bus);
            break;
        case RecordState::Absent:
        case RecordState::OtherDevice:
            fromHost.push_back(gpu.bus);
            break;
        case RecordState::Unreadable:
            (wakeGetsPast(gpu.recordReason) ? unreadable
             : heldByDriver(gpu.recordReason) ? held
                                              : blocked)
                .emplace_back(gpu.bus, gpu.recordReason);
            break;
        case RecordState::NotRead:
            break;
        }
    }
    FixBuilder b;
    b.add(joined(unhandled), "no store file for GPUs whose device ID the tool does not handle, "
                             "so no GPU's driver can be configured: ");
    b.addTo(report);
    // The save stops at the first GPU without a record: the host's store
    // comes first.
    b.add(joined(fromHost), "no valid store file, and no record from the host in device memory "
                            "(then start this guest again and save them here): ");
    b.addTo(report, STORE, "on the host, with this guest shut down");
    b.add(joined(save), "no valid store file (save the records before the GPU driver loads): ");
    b.add(joined(disagree), "the store file disagrees with the record in device memory (save it "
                            "again before the GPU driver loads): ");
    b.add(withReasons(unreadable), "no valid store file, and device memory cannot be read now "
                                   "(the save wakes the GPU): ");
    b.add(withReasons(held),
          "no valid store file, and the GPU driver holds BAR0, so the kernel maps none of its "
          "memory: unload the driver to save (or reboot: the guest unit saves before the driver "
          "loads): ");
    const std::string module = report.machine.driverModule;
    b.addTo(report, held.empty() ? std::string(SAVE)
                                 : "modprobe -r " + module + " && " + SAVE + " && modprobe " +
                                       module);
    b.add(withReasons(blocked), "no valid store file, and device memory cannot be read at all: ");
    b.addTo(report);
}

} // namespace

void judge(StatusReport& report)
{
    report.fixes.clear();
    report.warnings.clear();
    report.isolationWarnings.clear();
    report.isolationBreaches.clear();
    report.notChecked = 0;
    if (report.gpus.empty()) {
        report.fixes.push_back({{"no GPU of the maker was found"}, "", ""});
        return;
    }
    if (!report.machine.setpci)
        report.fixes.push_back(
            {{"setpci is not installed: the tool cannot wake the GPUs"}, "",
             "apt-get install pciutils"});
    if (!report.machine.guest && report.machine.lockdown != "none")
        report.fixes.push_back({{"the kernel is locked down (" + report.machine.lockdown +
                                 "): the tool cannot map device memory; boot without lockdown"},
                                "", ""});
    judgeUnseen(report);
    if (report.machine.guest)
        judgeGuest(report);
    else
        judgeHost(report);
}

StatusReport collectStatus()
{
    StatusReport report;
    report.machine.guest = hypervisorFlagPresent();
    report.machine.driverLoaded = getDriverLoaded();
    if (report.machine.guest)
        report.machine.driverModule = driverModule();
    report.machine.setpci = setpciInstalled();
    report.machine.lockdown = readLockdown();
    std::vector<std::string> buses = findMakerDevices();
    std::sort(buses.begin(), buses.end());
    for (const std::string& bus : buses)
        report.gpus.push_back(readGpu(bus, report));
    for (const GpuFacts& gpu : report.gpus)
        report.machine.iommu = report.machine.iommu || !gpu.iommuGroup.empty();
    if (!report.machine.guest)
        findUsers(report);
    const std::size_t n = report.gpus.size();
    std::vector<GpuPlace> places;
    for (const GpuFacts& gpu : report.gpus)
        places.push_back({gpu.bus, &gpu.path, gpu.numaNode});
    report.links.assign(n, std::vector<Link>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            report.links[i][j] = linkBetween(places[i], places[j], report.ports);
    judge(report);
    return report;
}
