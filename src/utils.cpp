#include "utils.h"

#include "config_space.h"
#include "pci_device.h"
#include "platform.h"
#include "side.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char* const GPU_DRIVER_NAME = "morvanti";

namespace {

template <typename T>
T parseHexOrThrow(const std::string& text)
{
    uint64_t value = 0;
    if (!parseHex(text, sizeof(T) * 8, value))
        throw std::invalid_argument(INVALID_HEX);
    return static_cast<T>(value);
}

} // namespace

std::string gpuDriverModule()
{
    std::error_code ec;
    const std::string module =
        fs::read_symlink(driverPath(GPU_DRIVER_NAME, "/module"), ec).filename().string();
    return module.empty() ? GPU_DRIVER_NAME : module;
}

bool isVirtualMachine()
{
    return readSide(false).guest();
}

bool getDriverLoaded()
{
    std::error_code ec;
    return fs::is_directory(driverPath(GPU_DRIVER_NAME), ec);
}

std::string boundDriver(const std::string& busId)
{
    return PciDevice(busId).driverName();
}

std::string driverHoldingBar(const std::string& busId, int mapError)
{
    return mapError == EINVAL ? boundDriver(busId) : "";
}

bool readDeviceBaseBar0(const PciDevice& device, uint64_t& base)
{
    if (bar0Base(device.config(), base))
        return true;
    const std::string path = device.path("/config");
    if (device.configUnopened())
        std::printf("Failed to open firmware file, %s\n", path.c_str());
    else
        std::printf("Error: Failed to read %s\n", path.c_str());
    return false;
}

uint64_t getDeviceBaseBar0(std::string busId)
{
    uint64_t base = 0;
    return readDeviceBaseBar0(PciDevice(busId), base) ? base : 0;
}

std::string getDeviceDeviceId(std::string busId)
{
    return PciDevice(busId).deviceIdText();
}

std::string getDeviceMinorId(std::string busId)
{
    return PciDevice(busId).minor();
}

uint64_t stringToUint64_t(std::string hexText)
{
    return parseHexOrThrow<uint64_t>(hexText);
}

uint32_t stringToUint32_t(std::string hexText)
{
    return parseHexOrThrow<uint32_t>(hexText);
}

bool keepPiece(char* reply, int replySize, int& used, const char* piece, std::size_t length)
{
    if (used < 0 || replySize <= used || length >= static_cast<std::size_t>(replySize - used))
        return false;
    std::memcpy(reply + used, piece, length);
    used += static_cast<int>(length);
    return true;
}

char* cmdResult(const char* command, char* reply, int replySize)
{
    CommandPipe pipe(command);
    if (!pipe.stream()) {
        std::perror("popen");
        return nullptr;
    }
    char line[256];
    int used = 0;
    while (std::fgets(line, sizeof line, pipe.stream()))
        if (!keepPiece(reply, replySize, used, line, std::strlen(line)))
            break;
    if (pipe.close() == -1)
        std::perror("pclose");
    if (replySize > 0)
        reply[used] = '\0';
    return reply;
}

namespace {

// Memory decoding and bus mastering on; the other bits of the command
// register (I/O decoding, SERR, INTx disable) stay as firmware, a driver or
// a running guest set them.
const char* const DECODING_ON = "setpci -s %s COMMAND=0x06:0x06";

} // namespace

bool enablePciDevice(std::string busId)
{
    static const char* const steps[] = {
        "setpci -s %s VENDOR_ID",
        "setpci -s %s DEVICE_ID",
        DECODING_ON,
        "setpci -s %s CAP_PM+4.w=0:3",      // power state D0, PMCSR's other bits kept
    };
    char command[256];
    char reply[256];
    for (int step = 0; step < 4; ++step) {
        const int n = std::snprintf(command, sizeof command, steps[step], busId.c_str());
        if (n < 0 || n >= static_cast<int>(sizeof command))
            return false;
        reply[0] = '\0';
        const bool started = cmdResult(command, reply, sizeof reply) != nullptr;
        // A device whose configuration reads come back as all ones does not
        // answer; neither does one we could not even ask.
        if (step < 2 && (!started || std::strstr(reply, "ffff")))
            return false;
    }
    return true;
}

void enableMemoryDecoding(const std::string& busId)
{
    char command[256];
    char reply[256];
    std::snprintf(command, sizeof command, DECODING_ON, busId.c_str());
    cmdResult(command, reply, sizeof reply);
}

bool restoreBars(const std::string& busId, const uint32_t* bars, unsigned which)
{
    std::string command = "setpci -s " + busId;
    char write[32];
    for (int i = 0; i < 6; ++i)
        if (which & (1u << i)) {
            std::snprintf(write, sizeof write, " BASE_ADDRESS_%d=%08x", i, bars[i]);
            command += write;
        }
    char reply[256];
    return cmdResult(command.c_str(), reply, sizeof reply) != nullptr;
}

uint32_t getDeviceInfoByReg(std::string busId, uint32_t offset)
{
    const std::string path = PciDevice(busId).resourcePath(2);
    UniqueFd fd(::open(path.c_str(), O_RDWR));
    if (!fd.isOpen()) {
        std::printf("Error: Failed to open %s\n", path.c_str());
        return 0xFFFF;
    }
    const off_t size = fileSize(fd.get());
    Mapping regs(fd.get(), size > 0 ? static_cast<std::size_t>(size) : 0,
                 PROT_READ | PROT_WRITE);
    // A register space too small to hold the word is as unreachable as one
    // that cannot be mapped.
    if (!regs.ok() || static_cast<uint64_t>(offset) + 4 > regs.size()) {
        std::printf("Map device register failed!\n");
        return 0xFFFF;
    }
    return regs.load32(offset);
}

std::vector<std::string> split(const std::string& source, char separator)
{
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = source.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(source.substr(start));
            return pieces;
        }
        pieces.push_back(source.substr(start, end - start));
        start = end + 1;
    }
}

AcsOutcome disableACSCtl(std::set<std::string> busIds)
{
    // Every device between a root bus and a GPU, the GPUs included; ports
    // shared by several GPUs are visited once.
    std::set<std::string> pathSet;
    for (const std::string& busId : busIds) {
        const PciPath path = PciDevice(busId).pathToRoot();
        if (!path.known) {
            std::printf("\033[33mWarning: cannot find the PCI path of %s, its ports keep their ACS "
                        "settings!\033[0m\n", busId.c_str());
            continue;
        }
        pathSet.insert(path.ports.begin(), path.ports.end());
        pathSet.insert(busId);
    }
    char command[64];
    char reply[64];
    std::vector<std::string> written;
    // Each device's type is asked of setpci, one probe a device, as the walk
    // has always done it (the benchmark counts these commands); sysfs is read
    // only for the read-back below.
    for (const std::string& address : pathSet) {
        int n = std::snprintf(command, sizeof command, "setpci -s %s CAP_EXP.l 2>/dev/null",
                              address.c_str());
        if (n < 0 || n >= static_cast<int>(sizeof command))
            continue;
        reply[0] = '\0';
        if (!cmdResult(command, reply, sizeof reply))
            continue;
        // The third digit of the capability word is the Device/Port Type;
        // 6 is a switch downstream port.
        if (std::strlen(reply) < 3 || reply[2] != '6')
            continue;
        n = std::snprintf(command, sizeof command, "setpci -s %s ecap_acs+6.b=0x00", address.c_str());
        if (n < 0 || n >= static_cast<int>(sizeof command))
            continue;
        cmdResult(command, reply, sizeof reply);
        written.push_back(address);
    }
    // setpci's reply does not tell a refused write from a port without the
    // capability: what the port now holds does, read the way the report
    // reads it.
    int notCleared = 0;
    for (const std::string& address : written) {
        const PciDevice port(address);
        const PortFacts facts = decodePort(address, port.config(), port.configError());
        // A port without the capability (Absent) has nothing to clear; the
        // walk wrote the whole low byte, so the whole low byte must read 0.
        if (facts.acs == AcsState::Unknown) {
            std::printf("\033[31mError: cannot disable ACS on %s: %s!\033[0m\n", address.c_str(),
                        facts.unknownReason.c_str());
            ++notCleared;
        } else if (facts.acs == AcsState::Present && (facts.acsCtl & 0xFF)) {
            std::printf("\033[31mError: cannot disable ACS on %s: its ACS Control reads "
                        "0x%04x!\033[0m\n", address.c_str(), facts.acsCtl);
            ++notCleared;
        }
    }
    return {static_cast<int>(written.size()), notCleared};
}

void checkPciUtils()
{
    char reply[1024];
    const bool lspci = cmdResult("which lspci", reply, sizeof reply) != nullptr;
    const bool setpci = cmdResult("which setpci", reply, sizeof reply) != nullptr;
    if (!lspci || !setpci)
        std::printf("Please install pciutils.\n");
}

bool setpciInstalled()
{
    const char* path = std::getenv("PATH");
    std::string fallback;
    if (!path) {
        // The search path the shell uses when none is set.
        const std::size_t n = ::confstr(_CS_PATH, nullptr, 0);
        fallback.resize(n);
        if (n > 0)
            ::confstr(_CS_PATH, &fallback[0], n);
        fallback.resize(n ? n - 1 : 0);
        path = fallback.c_str();
    }
    for (const std::string& dir : split(path, ':')) {
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/setpci";
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

bool iommuState(std::string busId)
{
    return PciDevice(busId).hasIommu();
}

std::string getNumaNode(std::string busId)
{
    return PciDevice(busId).numaNode();
}

std::string getLocalCPUList(std::string busId)
{
    return PciDevice(busId).localCpus();
}

int hexFileRead32(FILE* input, uint32_t* word)
{
    unsigned int b0 = 0, b1 = 0, b2 = 0, b3 = 0;
    if (std::fscanf(input, "%x%x%x%x", &b0, &b1, &b2, &b3) == EOF)
        return -1;
    std::fgetc(input);
    *word = (b0 & 0xFF) | (b1 & 0xFF) << 8 | (b2 & 0xFF) << 16 | (b3 & 0xFFu) << 24;
    return 4;
}
