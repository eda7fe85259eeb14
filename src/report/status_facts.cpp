#include "status_facts.h"

#include "acs_ports.h"
#include "bar_window.h"
#include "config_space.h"
#include "device_table.h"
#include "holders.h"
#include "pci_device.h"
#include "platform.h"
#include "record.h"
#include "side.h"
#include "verdict.h"
#include "wording.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const LOCKDOWN_FILE = "/sys/kernel/security/lockdown";

namespace {

// Why a BAR's words could not be read, for the verdict and in words.
struct Unread {
    ReadFailure cause = ReadFailure::None;
    std::string why;
    bool ok() const { return cause == ReadFailure::None; }
};

// `count` words at `offset` of a BAR, read-only; below `minimumSize`, `tooSmall`.
Unread readResourceWords(const PciDevice& device, int bar, uint64_t minimumSize,
                         const char* tooSmall, uint32_t offset, uint32_t count, uint32_t* words)
{
    const BarWindow window = BarWindow::readOnly(device, bar, offset, 4ull * count, minimumSize);
    switch (window.refusal()) {
    case BarRefusal::None: break;
    case BarRefusal::TooSmall: return {ReadFailure::Other, tooSmall};
    case BarRefusal::LockedDown: return {ReadFailure::LockedDown, window.why()};
    case BarRefusal::HeldByDriver: return {ReadFailure::HeldByDriver, window.why()};
    case BarRefusal::CannotOpen:
    case BarRefusal::CannotMap: return {ReadFailure::Other, window.why()};
    }
    for (uint32_t i = 0; i < count; ++i)
        words[i] = window.load32(offset + 4ull * i);
    return {};
}

void readProduct(GpuFacts& gpu, const PciDevice& device, const MachineFacts& machine)
{
    const DeviceTableEntry* entry = gpu.deviceId ? findDeviceTableEntry(*gpu.deviceId) : nullptr;
    gpu.productReason = !entry ? (gpu.deviceId ? "device ID not known" : "device ID unreadable")
                        : !gpu.configRead            ? gpu.configReason
                        : machine.lockdown != "none" ? "the kernel is locked down"
                                                     : asleepReason(device.config());
    if (!gpu.productReason.empty())
        return;
    QvBoard board;
    Unread unread;
    const bool read = readBoardCodes(board, *entry, [&](uint32_t offset, uint32_t& word) {
        unread = readResourceWords(device, 2, 0, "BAR2 is too small", offset, 1, &word);
        return unread.ok();
    });
    if (!read)
        gpu.productReason = unread.why;
    else
        gpu.product = getDeviceProductName(gpu.deviceIdValue, board.numberedForm, board.variantBit,
                                       board.modelCode, board.subModelCode);
}

void readRecord(GpuFacts& gpu, const PciDevice& device, const MachineFacts& machine,
                uint8_t bytes[PEER_RECORD_SIZE])
{
    gpu.record = RecordState::Unreadable;
    if (machine.lockdown != "none") {
        gpu.recordReason = "the kernel is locked down (" + machine.lockdown + ")";
        gpu.recordFailure = ReadFailure::LockedDown;
        return;
    }
    // A GPU asleep reads as all ones; the tool's own wake gets past that.
    Unread unread{ReadFailure::Asleep, asleepReason(device.config())};
    uint32_t words[PEER_RECORD_SIZE / 4] = {};
    if (unread.why.empty())
        unread = readResourceWords(device, 0, DEVICE_MEMORY_WINDOW,
                                   "BAR0 is smaller than the 2 MiB window", PEER_RECORD_ADDRESS,
                                   PEER_RECORD_SIZE / 4, words);
    if (!unread.ok()) {
        gpu.recordReason = unread.why;
        gpu.recordFailure = unread.cause;
        return;
    }
    for (std::size_t i = 0; i < PEER_RECORD_SIZE; ++i)
        bytes[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
    const PeerAddressRecord record = decodeRecord(bytes);
    // Bits 47..32 of the magic name the device; the rest is fixed.
    const uint64_t fixedBits = ~(0xFFFFull << 32);
    if (recordValidFor(bytes, PEER_RECORD_SIZE, gpu.deviceIdValue)) {
        gpu.record = RecordState::Valid;
        gpu.recordBase = record.bar0Base;
    } else if ((record.magic & fixedBits) == (PEER_RECORD_MAGIC & fixedBits)) {
        gpu.record = RecordState::OtherDevice;
        gpu.recordDeviceId = static_cast<uint32_t>(record.magic >> 32 & 0xFFFF);
    } else {
        gpu.record = RecordState::Absent;
    }
}

// The store file, checked against the GPU's device ID and the record in memory.
void readStore(GpuFacts& gpu, const uint8_t memory[PEER_RECORD_SIZE])
{
    const StoreFile file = readStoreFile(gpu.bus);
    gpu.store = StoreState::Invalid;
    switch (file.state) {
    case StoreFile::Missing: gpu.store = StoreState::Missing; return;
    case StoreFile::NotRegular: gpu.storeReason = "not a regular file"; return;
    case StoreFile::CannotOpen:
    case StoreFile::CannotRead: gpu.storeReason = "unreadable"; return;
    case StoreFile::Stale: gpu.storeReason = "saved from a device no longer at this address"; return;
    case StoreFile::Read: break;
    }
    gpu.storeReason = file.bytes.empty() ? "empty"
                      : file.bytes.size() < PEER_RECORD_SIZE
                          ? "wrong size (" + std::to_string(file.bytes.size()) + " bytes)"
                      : !file.validFor(gpu.deviceIdValue) ? "not a record of this GPU"
                                                          : "";
    if (!gpu.storeReason.empty())
        return;
    gpu.storeBase = file.record().bar0Base;
    gpu.store = gpu.record == RecordState::Valid &&
                        std::memcmp(file.bytes.data(), memory, PEER_RECORD_SIZE) != 0
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
    if (config.size() >= 64 && !answers(config))
        return "it does not answer (its configuration space reads all ones)";
    // Its header, or its power state, lies beyond the bytes read.
    if (memoryAccess(config) == MemoryAccess::Unread)
        return "only " + std::to_string(config.size()) + " bytes of its configuration space "
               "could be read";
    return "";
}

// Why a host leaves a GPU's memory alone, decided before any BAR is read.
Unchecked leaveAlone(const GpuFacts& gpu, const MachineFacts& machine, const PciDevice& device,
                     bool cold)
{
    if (machine.guest)
        return Unchecked::None;
    if (gpu.inUse)
        return gpu.noIommu ? Unchecked::HeldByProcess : Unchecked::InUse;
    if (gpu.holder == Holder::Unseen || gpu.holder == Holder::Undecided)
        return Unchecked::HolderUnseen;
    // Otherwise only VFIO hands a GPU to a guest.
    if (gpu.through != Passthrough::Vfio)
        return Unchecked::None;
    // vfio-pci suspends a GPU no guest uses and wakes it for one: idle is fine.
    if (cold || device.runtimeStatus() == RuntimeStatus::Suspended ||
        powerStateOf(device.config()) == PowerState::D3hot)
        return Unchecked::IdleUnderVfio;
    return Unchecked::None;
}

std::string uncheckedReason(const GpuFacts& gpu)
{
    switch (gpu.unchecked) {
    case Unchecked::InUse: return "in use by " + userText(gpu.user);
    case Unchecked::HeldByProcess:
        return "held by " + userText(gpu.user) + " under VFIO's no-IOMMU mode";
    case Unchecked::HolderUnseen:
        return gpu.holder == Holder::Unseen ? "open, by a process the report cannot see"
                                            : "whether a guest holds it cannot be seen";
    case Unchecked::IdleUnderVfio:
        return std::string("asleep under vfio-pci, which wakes it when a guest starts") +
               (!gpu.noSoftReset   ? ""
                : *gpu.noSoftReset ? "; its memory survives that wake (No_Soft_Reset)"
                                   : "; its memory may not survive that wake (no No_Soft_Reset)");
    case Unchecked::None: break;
    }
    return "";
}

GpuFacts readGpu(const std::string& bus, const GpuHold& holding, StatusReport& report)
{
    const MachineFacts& machine = report.machine;
    const PciDevice device(bus);
    GpuFacts gpu;
    gpu.bus = bus;
    if (!device.deviceIdText().empty())
        gpu.deviceId = device.deviceIdText();
    gpu.handled = gpu.deviceId && findDeviceTableEntry(*gpu.deviceId) != nullptr;
    // A device ID of the device table is always a number.
    if (gpu.handled)
        device.deviceId(gpu.deviceIdValue);
    gpu.through = holding.through;
    gpu.holder = holding.holder;
    gpu.inUse = holding.holder == Holder::Process || holding.holder == Holder::XenGuest;
    gpu.user = holding.process;
    gpu.iommuGroup = device.iommuGroup();
    gpu.noIommu = !gpu.iommuGroup.empty() && !device.hasIommu();
    gpu.driver = device.driverName();
    // A read of its config space would wake a GPU in D3cold.
    const bool cold = device.kernelPowerState() == KernelPower::D3cold;
    gpu.configReason = cold ? "the kernel holds it in D3cold, and reading it would wake it"
                            : configProblem(device);
    gpu.configRead = gpu.configReason.empty();
    if (gpu.configRead) {
        bar0Base(device.config(), gpu.bar0Base);
        gpu.link = decodeLink(device.config());
        gpu.noSoftReset = noSoftReset(device.config());
    }
    if (const auto resource = device.bar0Resource()) {
        gpu.bar0Start = resource->start;
        gpu.bar0Size = resource->size;
        gpu.bar0Wide = resource->wide;
    }
    gpu.numaNode = device.numaNode();
    gpu.localCpus = device.localCpus();
    gpu.minor = device.minor();
    gpu.unchecked = leaveAlone(gpu, machine, device, cold);
    if (gpu.unchecked != Unchecked::None) {
        const Unchecked why = gpu.unchecked;
        const std::string user = userText(gpu.user);
        gpu.productReason = why == Unchecked::InUse           ? "in use by " + user
                            : why == Unchecked::HeldByProcess ? "held by " + user
                            : why == Unchecked::IdleUnderVfio ? "asleep under vfio-pci"
                                                              : "its holder cannot be seen";
        if (gpu.handled) {
            gpu.record = RecordState::NotChecked;
            gpu.recordReason = uncheckedReason(gpu);
        }
    } else {
        readProduct(gpu, device, machine);
    }

    // A GPU whose state is unread is not touched: its memory may not decode.
    uint8_t memory[PEER_RECORD_SIZE] = {};
    const bool readable = gpu.handled && gpu.configRead && gpu.unchecked == Unchecked::None;
    if (readable)
        readRecord(gpu, device, machine, memory);
    if (machine.guest && readable)
        readStore(gpu, memory);

    gpu.path = device.pathToRoot();
    for (const std::string& port : gpu.path.ports)
        if (report.ports.find(port) == report.ports.end()) {
            const PciDevice above(port);
            report.ports.emplace(port, decodePort(port, above.config(), above.configError()));
        }
    if (gpu.link.known && !gpu.path.ports.empty()) {
        const PciLink& other = report.ports.at(gpu.path.ports.back()).link;
        if (other.known) {
            gpu.fullWidth = std::min(gpu.link.maxWidth, other.maxWidth);
            gpu.fullSpeed = std::min(gpu.link.maxSpeed, other.maxSpeed);
        }
    }
    return gpu;
}

std::string readLockdown()
{
    std::string text;
    readRegularFile(LOCKDOWN_FILE, 128, text);
    return parseLockdown(text);
}

// On a host: which process holds each GPU, found before any GPU is read.
std::vector<GpuHold> findUsers(const std::vector<std::string>& buses, MachineFacts& machine)
{
    const GpuHolders holders = findGpuHolders(buses);
    machine.unseenProcesses = holders.unseen;
    machine.processesHidden = holders.hidden;
    std::vector<GpuHold> holdings(buses.size());
    for (std::size_t i = 0; i < buses.size(); ++i) {
        holdings[i] = holders.gpus.at(buses[i]);
        if (holdings[i].holder == Holder::Unseen || holdings[i].holder == Holder::Undecided)
            ++machine.holdersUnknown;
    }
    return holdings;
}

// In a guest: what the driver holds of each GPU with a valid store file, and took.
void readDriver(StatusReport& report)
{
    MachineFacts& machine = report.machine;
    machine.lastNode = gpuNodePath(std::to_string(static_cast<int>(report.gpus.size()) - 1));
    struct stat node;
    machine.lastNodeThere = ::stat(machine.lastNode.c_str(), &node) == 0 && S_ISCHR(node.st_mode);
    std::vector<ConfiguredGpu> configured;
    machine.configurationRecord = readConfiguration(configured);
    std::map<unsigned, int> minors;
    for (const GpuFacts& gpu : report.gpus)
        if (gpu.minor)
            ++minors[*gpu.minor];
    for (GpuFacts& gpu : report.gpus) {
        const PciDevice device(gpu.bus);
        gpu.boundToDriver = gpu.driver == GPU_DRIVER_NAME;
        gpu.minorUsable = gpu.minor && minors[*gpu.minor] == 1;
        if (gpu.store != StoreState::Valid && gpu.store != StoreState::Disagrees)
            continue;
        gpu.driverConfig = DriverConfig::NotConfigured;
        uint64_t ino = 0;
        if (!machine.driverLoaded || !gpu.boundToDriver || !device.driverInstance(ino))
            continue;
        if (tookConfiguration(configured, gpu.bus, gpu.minor, gpu.storeBase, ino))
            gpu.driverConfig = DriverConfig::Configured;
    }
}

// On a host: what this boot's stores recorded of the GPUs left alone.
void readBootStores(StatusReport& report)
{
    const auto leftAlone = [](const GpuFacts& gpu) { return gpu.record == RecordState::NotChecked; };
    if (std::none_of(report.gpus.begin(), report.gpus.end(), leftAlone))
        return;
    std::vector<StoredGpu> stored;
    report.machine.storedRead = readStored(stored, &report.machine.storedReason);
    for (GpuFacts& gpu : report.gpus) {
        if (!leftAlone(gpu))
            continue;
        gpu.bootStore = BootStore::Missing;
        // Today's BAR0 base: its register, or in D3cold the resource list.
        const uint64_t today = gpu.configRead ? gpu.bar0Base : gpu.bar0Start;
        for (const StoredGpu& entry : stored)
            if (entry.bus == gpu.bus) {
                const bool current = today != 0 && entry.base == today &&
                                     entry.deviceId == gpu.deviceIdValue;
                gpu.bootStore = current ? BootStore::Current : BootStore::Stale;
                gpu.bootStoreBase = entry.base;
                gpu.bootStoreDeviceId = entry.deviceId;
                if (current)
                    gpu.bootStoreProduct = entry.product;
            }
    }
}

} // namespace

void readGroups(StatusReport& report)
{
    for (GpuFacts& gpu : report.gpus) {
        gpu.group.clear();
        // Class 0x0604: a PCI-to-PCI bridge.
        for (const std::string& bus : PciDevice(gpu.bus).iommuGroupDevices())
            if (bus != gpu.bus)
                gpu.group.push_back({bus, PciDevice(bus).classCode().compare(0, 6, "0x0604") == 0});
    }
}

std::string parseLockdown(const std::string& text)
{
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos || close == open + 1)
        return "none";
    return text.substr(open + 1, close - open - 1);
}

StatusReport collectStatus()
{
    StatusReport report;
    const SideFacts side = readSide();
    report.machine.guest = side.guest();
    report.machine.cpuFlag = side.cpuFlag;
    report.machine.xenDom0 = side.xenDom0;
    report.machine.sideSignal = side.signalKind();
    report.machine.sideKnown = side.known();
    report.machine.firmwareSignals = side.firmware;
    report.machine.driverLoaded = gpuDriverLoaded();
    if (report.machine.guest)
        report.machine.driverModule = gpuDriverModule();
    report.machine.setpci = onCommandPath("setpci");
    report.machine.lockdown = readLockdown();
    report.machine.acsRedirList = readAcsRedirList();
    std::vector<std::string> buses = findMakerDevices();
    std::sort(buses.begin(), buses.end());
    // On a host, the holders first: no BAR of a GPU a guest holds is read.
    const std::vector<GpuHold> holdings =
        report.machine.guest ? std::vector<GpuHold>(buses.size())
                             : findUsers(buses, report.machine);
    for (std::size_t i = 0; i < buses.size(); ++i)
        report.gpus.push_back(readGpu(buses[i], holdings[i], report));
    for (const GpuFacts& gpu : report.gpus)
        report.machine.iommu =
            report.machine.iommu || (!gpu.iommuGroup.empty() && !gpu.noIommu);
    if (report.machine.acsRedirList)
        for (const auto& [bus, port] : report.ports)
            if (port.portType == PORT_DOWNSTREAM &&
                acsRedirNames(*report.machine.acsRedirList, kernelChain(bus)))
                report.acsKeptOff.insert(bus);
    if (report.machine.guest)
        readDriver(report);
    else
        readBootStores(report);
    const std::size_t n = report.gpus.size();
    std::vector<GpuPlace> places;
    for (const GpuFacts& gpu : report.gpus)
        places.push_back({gpu.bus, &gpu.path, gpu.numaNode});
    report.links.assign(n, std::vector<Link>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            report.links[i][j] = linkBetween(places[i], places[j], report.ports);
    report.verdict = judge(report);
    return report;
}
