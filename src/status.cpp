#include "status.h"

#include "device.h"
#include "enum_device.h"
#include "platform.h"
#include "record.h"
#include "utils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char* const LOCKDOWN_FILE = "/sys/kernel/security/lockdown";

namespace {

const std::size_t CONFIG_SPACE_MAX = 4096;

// The whole configuration space in one read (sysfs hands it out at once).
std::vector<uint8_t> readConfig(const std::string& bus)
{
    std::vector<uint8_t> bytes;
    UniqueFd fd(::open(devicePath(bus, "/config").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
        return bytes;
    bytes.resize(CONFIG_SPACE_MAX);
    ssize_t n;
    do {
        n = ::pread(fd.get(), bytes.data(), bytes.size(), 0);
    } while (n < 0 && errno == EINTR);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

uint16_t get16(const std::vector<uint8_t>& b, std::size_t at)
{
    return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0xFFFF;
}

uint32_t get32(const std::vector<uint8_t>& b, std::size_t at)
{
    return at + 4 <= b.size() ? static_cast<uint32_t>(get16(b, at) | get16(b, at + 2) << 16)
                              : 0xFFFFFFFF;
}

// Offset of a capability in the standard list, 0 when absent.  The walk is
// bounded, so a looping list in a broken device ends it.
std::size_t findCapability(const std::vector<uint8_t>& config, uint8_t id)
{
    if (config.size() < 64 || !(get16(config, 0x06) & 0x10))
        return 0;
    std::size_t at = config[0x34] & 0xFC;
    for (int hops = 0; hops < 48 && at >= 0x40 && at + 2 <= config.size(); ++hops) {
        if (config[at] == id)
            return at;
        at = config[at + 1] & 0xFC;
    }
    return 0;
}

std::size_t findExtendedCapability(const std::vector<uint8_t>& config, uint16_t id)
{
    std::size_t at = 0x100;
    for (int hops = 0; hops < 960 && at >= 0x100 && at + 4 <= config.size(); ++hops) {
        const uint32_t header = get32(config, at);
        if (header == 0 || header == 0xFFFFFFFF)
            return 0;
        if ((header & 0xFFFF) == id)
            return at;
        at = header >> 20 & 0xFFC;
    }
    return 0;
}

const uint8_t CAP_PM = 0x01;
const uint8_t CAP_EXP = 0x10;
const uint16_t ECAP_ACS = 0x000D;

// Why a GPU's BARs cannot be read while it sleeps ("" when it is awake):
// reads of a BAR whose decoding is off come back as all ones, which would
// look like a record that is not there.
std::string asleepReason(const std::vector<uint8_t>& config)
{
    if (!(get16(config, 0x04) & 0x2))
        return "memory decoding is off";
    if (const std::size_t pm = findCapability(config, CAP_PM)) {
        const unsigned state = get16(config, pm + 4) & 3;
        if (state != 0)
            return state == 3 ? "in power state D3hot" : "in power state D" + std::to_string(state);
    }
    return "";
}

// Reads `count` 32-bit words at `offset` of a BAR's resource file through a
// read-only mapping of just the pages that hold them.  "" when read, or why
// not; a file smaller than `minimumSize` gives `tooSmall`.
std::string readResourceWords(const std::string& bus, int bar, uint64_t minimumSize,
                              const char* tooSmall, uint32_t offset, uint32_t count,
                              uint32_t* words)
{
    const std::string path = devicePath(bus, ("/resource" + std::to_string(bar)).c_str());
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
        return errno == ENOENT ? std::string("no file ") + path
                               : "cannot open " + path + ": " + std::strerror(errno);
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
        const std::string driver = driverHoldingBar(bus, map.error());
        if (!driver.empty())
            return "BAR" + std::to_string(bar) + " is held by the driver '" + driver + "'";
        return "cannot map " + path + ": " + std::strerror(map.error());
    }
    for (uint32_t i = 0; i < count; ++i)
        words[i] = map.load32(offset - first + 4 * i);
    return "";
}

// The size of BAR0 from the kernel's resource list, 0 when unknown.
uint64_t bar0SizeOf(const std::string& bus)
{
    UniqueFd fd(::open(devicePath(bus, "/resource").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
        return 0;
    char buffer[128];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return 0;
    buffer[n] = '\0';
    unsigned long long start = 0, last = 0;
    if (std::sscanf(buffer, "%llx %llx", &start, &last) != 2 || last <= start)
        return 0;
    return last - start + 1;
}

std::string iommuGroupOf(const std::string& bus)
{
    if (!iommuState(bus))
        return "";
    std::error_code ec;
    return fs::read_symlink(devicePath(bus, "/iommu_group"), ec).filename().string();
}

void readProduct(GpuFacts& gpu, const std::vector<uint8_t>& config, const MachineFacts& machine)
{
    const DeviceTableEntry* entry = findDeviceTableEntry(gpu.deviceId);
    if (!entry) {
        gpu.productReason = gpu.deviceId.empty() ? "device ID unreadable" : "device ID not known";
        return;
    }
    if (gpu.offline) {
        gpu.productReason = "the GPU does not answer";
        return;
    }
    if (machine.lockdown != "none") {
        gpu.productReason = "the kernel is locked down";
        return;
    }
    const std::string asleep = asleepReason(config);
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
        why = readResourceWords(gpu.bus, 2, 0, "BAR2 is too small",
                                RE_NUMBERED_FORM_REGISTER, 1, &board.numberedForm);
    if (why.empty())
        why = readResourceWords(gpu.bus, 2, 0, "BAR2 is too small", entry->infoRegister,
                                1, &word);
    if (!why.empty()) {
        gpu.productReason = why;
        return;
    }
    setBoardCodes(board, word);
    gpu.product = getDeviceProductName(stringToUint32_t(board.deviceId), board.numberedForm,
                                       board.variantBit, board.modelCode, board.subModelCode);
}

void readRecord(GpuFacts& gpu, const std::vector<uint8_t>& config, const MachineFacts& machine,
                uint8_t bytes[PEER_RECORD_SIZE])
{
    if (machine.lockdown != "none") {
        gpu.recordReason = "the kernel is locked down (" + machine.lockdown + ")";
        gpu.record = RecordState::Unreadable;
        return;
    }
    std::string why = asleepReason(config);
    uint32_t words[PEER_RECORD_SIZE / 4] = {};
    if (why.empty())
        why = readResourceWords(gpu.bus, 0, DEVICE_MEMORY_WINDOW,
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
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen()) {
        gpu.store = errno == ENOENT ? StoreState::Missing : StoreState::Invalid;
        return;
    }
    uint8_t bytes[PEER_RECORD_SIZE] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::read(fd.get(), bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    uint32_t deviceId = 0;
    try {
        deviceId = stringToUint32_t(gpu.deviceId);
    } catch (const std::invalid_argument&) {
        gpu.store = StoreState::Invalid;
        return;
    }
    if (!recordValidFor(bytes, got, deviceId)) {
        gpu.store = StoreState::Invalid;
        return;
    }
    gpu.storeBase = decodeRecord(bytes).bar0Base;
    gpu.store = gpu.record == RecordState::Valid &&
                        std::memcmp(bytes, memory, PEER_RECORD_SIZE) != 0
                    ? StoreState::Disagrees
                    : StoreState::Valid;
}

void readPath(GpuFacts& gpu, StatusReport& report)
{
    std::error_code ec;
    const fs::path canonical = fs::canonical(devicePath(gpu.bus, ""), ec);
    if (ec)
        return;
    std::vector<std::string> chain = busChainFromPath(canonical.string(), &gpu.rootBus);
    if (chain.empty() || chain.back() != gpu.bus)
        return;
    chain.pop_back();
    gpu.pathKnown = true;
    for (const std::string& bus : chain) {
        auto port = report.ports.find(bus);
        if (port == report.ports.end())
            port = report.ports.emplace(bus, decodePort(bus, readConfig(bus))).first;
        const PortFacts& facts = port->second;
        if (gpu.redirectingPort.empty() && facts.portType == PORT_DOWNSTREAM && facts.hasAcs &&
            (facts.acsCtl & (ACS_REQ_REDIR | ACS_CMPLT_REDIR)))
            gpu.redirectingPort = bus;
    }
    gpu.path = std::move(chain);
}

GpuFacts readGpu(const std::string& bus, StatusReport& report)
{
    const MachineFacts& machine = report.machine;
    GpuFacts gpu;
    gpu.bus = bus;
    gpu.deviceId = getDeviceDeviceId(bus);
    gpu.handled = findDeviceTableEntry(gpu.deviceId) != nullptr;
    const std::vector<uint8_t> config = readConfig(bus);
    gpu.configRead = config.size() >= 64;
    gpu.offline = gpu.configRead && get16(config, 0) == 0xFFFF;
    if (gpu.configRead && !gpu.offline)
        gpu.bar0Base = decodeBar0Base(&config[16]);
    gpu.bar0Size = bar0SizeOf(bus);
    gpu.numaNode = getNumaNode(bus);
    gpu.localCpus = getLocalCPUList(bus);
    gpu.iommuGroup = iommuGroupOf(bus);
    gpu.minor = getDeviceMinorId(bus);
    readProduct(gpu, config, machine);

    uint8_t memory[PEER_RECORD_SIZE] = {};
    if (gpu.handled && !gpu.configRead) {
        gpu.record = RecordState::Unreadable;
        gpu.recordReason = "its configuration space cannot be read";
    } else if (gpu.handled && gpu.offline) {
        gpu.record = RecordState::Unreadable;
        gpu.recordReason = "the GPU does not answer";
    } else if (gpu.handled) {
        readRecord(gpu, config, machine, memory);
    }
    if (machine.guest && !gpu.offline)
        readStoreFile(gpu, memory);
    readPath(gpu, report);
    return gpu;
}

std::string readLockdown()
{
    UniqueFd fd(::open(LOCKDOWN_FILE, O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
        return "none";
    char text[128];
    const ssize_t n = ::read(fd.get(), text, sizeof text - 1);
    return parseLockdown(std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0));
}

} // namespace

std::string parseLockdown(const std::string& text)
{
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos || close == open + 1)
        return "none";
    return text.substr(open + 1, close - open - 1);
}

PortFacts decodePort(const std::string& bus, const std::vector<uint8_t>& config)
{
    PortFacts port;
    port.bus = bus;
    port.configRead = config.size() >= 64 && get16(config, 0) != 0xFFFF;
    if (!port.configRead)
        return port;
    if (const std::size_t exp = findCapability(config, CAP_EXP))
        port.portType = get16(config, exp + 2) >> 4 & 0xF;
    if (const std::size_t acs = findExtendedCapability(config, ECAP_ACS)) {
        if (acs + 8 <= config.size()) {
            port.hasAcs = true;
            port.acsCtl = get16(config, acs + 6);
        }
    }
    return port;
}

std::string decodeAcsCtl(uint16_t control)
{
    static const char* const NAMES[] = {"SrcValid",   "TransBlk",   "ReqRedir",   "CmpltRedir",
                                        "UpstreamFwd", "EgressCtrl", "DirectTrans"};
    std::string text;
    for (int bit = 0; bit < 7; ++bit) {
        if (bit)
            text += ' ';
        text += NAMES[bit];
        text += control & (1u << bit) ? '+' : '-';
    }
    return text;
}

std::string portTypeName(int portType)
{
    switch (portType) {
    case -1: return "PCI";
    case 0: return "Endpoint";
    case 1: return "Legacy Endpoint";
    case PORT_ROOT: return "Root Port";
    case PORT_UPSTREAM: return "Upstream Port";
    case PORT_DOWNSTREAM: return "Downstream Port";
    case 7: return "PCI-Express to PCI/PCI-X Bridge";
    case 8: return "PCI/PCI-X to PCI-Express Bridge";
    case 9: return "Root Complex Integrated Endpoint";
    case 10: return "Root Complex Event Collector";
    default: return "Unknown type " + std::to_string(portType);
    }
}

const char* linkName(LinkKind kind)
{
    switch (kind) {
    case LinkKind::Self: return "X";
    case LinkKind::PIX: return "PIX";
    case LinkKind::PXB: return "PXB";
    case LinkKind::PHB: return "PHB";
    case LinkKind::NODE: return "NODE";
    case LinkKind::SYS: return "SYS";
    case LinkKind::Unknown: break;
    }
    return "?";
}

Link linkBetween(const GpuFacts& a, const GpuFacts& b,
                 const std::map<std::string, PortFacts>& ports)
{
    Link link;
    if (a.bus == b.bus) {
        link.kind = LinkKind::Self;
        return link;
    }
    if (!a.pathKnown || !b.pathKnown)
        return link;
    if (a.rootBus != b.rootBus) {
        // A node of -1 is the kernel's "no NUMA information".
        const bool known = a.numaNode != "x" && a.numaNode != "-1" && b.numaNode != "x" &&
                           b.numaNode != "-1";
        link.kind = known && a.numaNode != b.numaNode ? LinkKind::SYS : LinkKind::NODE;
        return link;
    }
    std::size_t shared = 0;
    while (shared < a.path.size() && shared < b.path.size() && a.path[shared] == b.path[shared])
        ++shared;
    if (shared == 0) {
        link.kind = LinkKind::PHB;
        return link;
    }
    // Below the device where the two paths meet, the traffic climbs through
    // each GPU's own ports; every switch whose upstream port it crosses
    // counts, and so does the switch it turns around in.
    auto typeOf = [&](const std::string& bus) {
        const auto port = ports.find(bus);
        return port == ports.end() ? -1 : port->second.portType;
    };
    auto redirects = [&](const std::string& bus) {
        const auto port = ports.find(bus);
        return port != ports.end() && port->second.portType == PORT_DOWNSTREAM &&
               port->second.hasAcs && (port->second.acsCtl & (ACS_REQ_REDIR | ACS_CMPLT_REDIR));
    };
    int switches = typeOf(a.path[shared - 1]) == PORT_UPSTREAM ? 1 : 0;
    for (const auto* path : {&a.path, &b.path}) {
        for (std::size_t i = shared; i < path->size(); ++i) {
            if (typeOf((*path)[i]) == PORT_UPSTREAM)
                ++switches;
            if (redirects((*path)[i]))
                link.redirected = true;
        }
    }
    link.kind = switches <= 1 ? LinkKind::PIX : LinkKind::PXB;
    return link;
}

namespace {

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

// A list of GPUs with the reason of each, as one text.
std::string withReasons(const std::vector<std::pair<std::string, std::string>>& items)
{
    std::vector<std::string> texts;
    for (const auto& [bus, reason] : items)
        texts.push_back(bus + " (" + reason + ")");
    return joined(texts);
}

const char* const DISABLE_ACS = "qvgpu-vm-p2p --disable-acs";
const char* const STORE = "qvgpu-vm-p2p --store-data";
const char* const SAVE = "qvgpu-vm-p2p --save-data";

// One thing to fix, about the GPUs or ports in `items`, when there are any.
void addFix(StatusReport& report, const std::string& items, const char* problem,
            const char* command)
{
    if (!items.empty())
        report.fixes.push_back({problem + items, command});
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Unreadable device memory that the tool's own run would get past: it wakes
// sleeping GPUs, and a driver can be kept away from the GPU while it runs.
bool toolGetsPast(const std::string& reason)
{
    return startsWith(reason, "memory decoding") || startsWith(reason, "in power state") ||
           startsWith(reason, "BAR0 is held");
}

void judgeHost(StatusReport& report)
{
    std::set<std::string> redirecting;
    std::vector<std::string> unknownPath, noRecord, stale;
    std::vector<std::pair<std::string, std::string>> unreadable, blocked;
    for (const GpuFacts& gpu : report.gpus) {
        if (gpu.offline)
            continue;
        if (!gpu.pathKnown)
            unknownPath.push_back(gpu.bus);
        if (!gpu.redirectingPort.empty())
            redirecting.insert(gpu.redirectingPort);
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
            if (report.machine.lockdown != "none")
                break;   // said once for the machine
            (toolGetsPast(gpu.recordReason) ? unreadable : blocked)
                .emplace_back(gpu.bus, gpu.recordReason);
            break;
        }
    }
    addFix(report, joined({redirecting.begin(), redirecting.end()}),
           "ACS on switch downstream ports redirects peer traffic to the root complex: ",
           DISABLE_ACS);
    addFix(report, joined(unknownPath),
           "the PCI path of these GPUs is unknown, so their ports keep their ACS settings: ", "");
    addFix(report, joined(noRecord), "no valid record in the device memory of: ", STORE);
    addFix(report, joined(stale),
           "the record holds another BAR0 base than the GPU has now (stale after a BAR "
           "reassignment): ", STORE);
    addFix(report, withReasons(unreadable),
           "the record cannot be read now (store it before any guest starts): ", STORE);
    addFix(report, withReasons(blocked), "the device memory cannot be read at all: ", "");
}

void judgeGuest(StatusReport& report)
{
    std::vector<std::string> save, disagree, fromHost, unhandled;
    std::vector<std::pair<std::string, std::string>> unreadable, blocked;
    for (const GpuFacts& gpu : report.gpus) {
        if (gpu.offline || gpu.store == StoreState::Valid)
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
            (toolGetsPast(gpu.recordReason) ? unreadable : blocked)
                .emplace_back(gpu.bus, gpu.recordReason);
            break;
        case RecordState::NotRead:
            unhandled.push_back(gpu.bus);
            break;
        }
    }
    addFix(report, joined(save),
           "no valid store file (save the records before the GPU driver loads): ", SAVE);
    addFix(report, joined(disagree),
           "the store file disagrees with the record in device memory (save it again before the "
           "GPU driver loads): ", SAVE);
    addFix(report, joined(fromHost),
           "no valid store file, and no record from the host in device memory (store the records "
           "on the host while this guest is stopped, then save them here): ", STORE);
    addFix(report, withReasons(unreadable),
           "no valid store file, and device memory cannot be read (save the records before the "
           "GPU driver loads): ", SAVE);
    addFix(report, withReasons(blocked),
           "no valid store file, and device memory cannot be read at all: ", "");
    addFix(report, joined(unhandled),
           "no store file for GPUs whose device ID the tool does not handle, so no GPU's driver "
           "can be configured: ", "");
}

} // namespace

void judge(StatusReport& report)
{
    report.fixes.clear();
    if (report.gpus.empty()) {
        report.fixes.push_back({"no GPU of the maker was found", ""});
        return;
    }
    if (!report.machine.setpci)
        report.fixes.push_back({"setpci is not installed: the tool cannot wake the GPUs",
                                "apt-get install pciutils"});
    if (!report.machine.guest && report.machine.lockdown != "none")
        report.fixes.push_back({"the kernel is locked down (" + report.machine.lockdown +
                                "): the tool cannot map device memory; boot without lockdown", ""});
    std::vector<std::string> offline;
    for (const GpuFacts& gpu : report.gpus)
        if (gpu.offline || !gpu.configRead)
            offline.push_back(gpu.bus);
    if (!offline.empty())
        report.fixes.push_back({"these GPUs do not answer: " + joined(offline), ""});
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
    report.machine.setpci = setpciInstalled();
    report.machine.lockdown = readLockdown();
    std::vector<std::string> buses = findMakerDevices();
    std::sort(buses.begin(), buses.end());
    for (const std::string& bus : buses)
        report.gpus.push_back(readGpu(bus, report));
    const std::size_t n = report.gpus.size();
    report.links.assign(n, std::vector<Link>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            report.links[i][j] = linkBetween(report.gpus[i], report.gpus[j], report.ports);
    judge(report);
    return report;
}
