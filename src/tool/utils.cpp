#include "utils.h"

#include "acs_ports.h"
#include "bar_window.h"
#include "config_space.h"
#include "messages.h"
#include "pci_device.h"
#include "side.h"
#include "writers.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

bool isVirtualMachine()
{
    return readSide(false).guest();
}

bool getDriverLoaded()
{
    return gpuDriverLoaded();
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

uint32_t stringToUint32_t(std::string hexText)
{
    uint64_t value = 0;
    if (!parseHex(hexText, 32, value))
        throw std::invalid_argument(INVALID_HEX);
    return static_cast<uint32_t>(value);
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

// Memory decoding and bus mastering on; the command register's other bits
// stay as firmware, a driver or a running guest set them.
const char* const DECODING_ON = " COMMAND=0x06:0x06";

// setpci's reply to an ID register probe: all ones is no answer; a reply
// with no number (setpci said why) tells nothing, and the wake goes on.
bool probeAnswers(const char* reply)
{
    uint64_t id = 0;
    return !parseHex(reply, 16, id) || id > 0xFFFF || answersWithId(static_cast<uint16_t>(id));
}

} // namespace

bool enablePciDevice(std::string bus)
{
    // The last step: power state D0, PMCSR's other bits kept.
    static const char* const steps[] = {" VENDOR_ID", " DEVICE_ID", DECODING_ON, " CAP_PM+4.w=0:3"};
    char reply[256];
    for (int step = 0; step < 4; ++step) {
        reply[0] = '\0';
        const std::string command = "setpci -s " + bus + steps[step];
        const bool started = cmdResult(command.c_str(), reply, sizeof reply) != nullptr;
        // Neither does a device answer that we could not even ask.
        if (step < 2 && (!started || !probeAnswers(reply)))
            return false;
    }
    return true;
}

void enableMemoryDecoding(const std::string& bus)
{
    char reply[256];
    cmdResult(("setpci -s " + bus + DECODING_ON).c_str(), reply, sizeof reply);
}

bool restoreBars(const std::string& bus, const uint32_t* bars, unsigned which)
{
    std::string command = "setpci -s " + bus;
    char write[32];
    for (int i = 0; i < 6; ++i)
        if (which & (1u << i)) {
            std::snprintf(write, sizeof write, " BASE_ADDRESS_%d=%08x", i, bars[i]);
            command += write;
        }
    char reply[256];
    return cmdResult(command.c_str(), reply, sizeof reply) != nullptr;
}

uint32_t getDeviceInfoByReg(std::string bus, uint32_t offset)
{
    const PciDevice device(bus);
    const BarWindow regs = BarWindow::readOnly(device, 2, offset, 4);
    if (regs.refusal() == BarRefusal::CannotOpen) {
        std::printf("Error: Failed to open %s\n", device.resourcePath(2).c_str());
        return 0xFFFF;
    }
    // A register space too small for the word is as unreachable as unmapped.
    if (!regs.ok()) {
        std::printf("Map device register failed!\n");
        return 0xFFFF;
    }
    return regs.load32(offset);
}

std::vector<std::string> split(const std::string& source, char separator)
{
    std::vector<std::string> pieces;
    std::string::size_type start = 0, end;
    for (; (end = source.find(separator, start)) != std::string::npos; start = end + 1)
        pieces.push_back(source.substr(start, end - start));
    pieces.push_back(source.substr(start));
    return pieces;
}

AcsOutcome disableACSCtl(std::set<std::string> busIds,
                         const std::set<std::string>& leftAlone)
{
    std::vector<std::string> pathless;
    const std::set<std::string> walk = acsWalk(busIds, pathless);
    for (const std::string& bus : pathless)
        colouredLine(Colour::Yellow, "Warning: cannot find the PCI path of %s, its ports keep "
                     "their ACS settings!", bus.c_str());
    char reply[64];
    std::vector<std::string> written;
    // Each device's type is asked of setpci, one probe a device (the benchmark
    // counts these commands); sysfs is read only for the read-back below.
    for (const std::string& address : walk) {
        reply[0] = '\0';
        const std::string setpci = "setpci -s " + address;
        if (leftAlone.count(address) ||
            !cmdResult((setpci + " CAP_EXP.l 2>/dev/null").c_str(), reply, sizeof reply))
            continue;
        // The third digit of the capability word is the Device/Port Type.
        if (std::strlen(reply) < 3 || reply[2] != '0' + PORT_DOWNSTREAM)
            continue;
        cmdResult((setpci + " ecap_acs+6.b=0x00").c_str(), reply, sizeof reply);
        written.push_back(address);
    }
    // setpci's reply does not tell a refused write from a port without the
    // capability: what the port now holds does, read as the report reads it.
    int notCleared = 0;
    for (const std::string& address : written) {
        const PciDevice port(address);
        const PortFacts facts = decodePort(address, port.config(), port.configError());
        // A port without the capability (Absent) has nothing to clear; the
        // walk wrote the whole low byte, so the whole low byte must read 0.
        if (facts.acs == AcsState::Unknown) {
            colouredLine(Colour::Red, "Error: cannot disable ACS on %s: %s!", address.c_str(),
                         facts.unknownReason.c_str());
            ++notCleared;
        } else if (facts.acs == AcsState::Present && (facts.acsCtl & 0xFF)) {
            colouredLine(Colour::Red, "Error: cannot disable ACS on %s: its ACS Control reads "
                         "0x%04x!", address.c_str(), facts.acsCtl);
            ++notCleared;
        }
    }
    return {static_cast<int>(written.size()), notCleared};
}
