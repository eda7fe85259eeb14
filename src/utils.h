// Small questions about the host and about one PCI device, answered afresh
// on every call through the layers below, the building blocks behind them
// (the shell command runner, the hexadecimal parsers, the splitter), and
// switching ACS off above the GPUs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

class PciDevice;

// The GPU kernel driver: its name under /sys/bus/pci/drivers/, its device
// nodes' name in /dev, and the module to unload for it to let go of the
// GPUs ("morvanti" when the driver does not say).
extern const char* const GPU_DRIVER_NAME;   // "morvanti"
std::string gpuDriverModule();

// Whether this machine is a guest: "hypervisor" anywhere in /proc/cpuinfo,
// or a hypervisor named by the firmware where the CPU hides that flag
// (side.h).  Read here rather than by a grep, so that the tool and the
// report (which starts no process) give one answer.  False when nothing
// tells.
bool isVirtualMachine();
bool getDriverLoaded();
// The name of the kernel driver bound to a device, "" when none is.
std::string boundDriver(const std::string& busId);
// The driver that made the kernel refuse to map one of a device's BARs with
// `mapError`: a kernel built with strict devmem (Debian's, like most
// distributions') answers EINVAL for a BAR that a driver has claimed.  ""
// when the refusal has another cause.
std::string driverHoldingBar(const std::string& busId, int mapError);

// The GPU's BAR0 base (BAR0 with BAR1 as its upper half, low four bits
// cleared) from its configuration space; 0 when that cannot be read.
uint64_t getDeviceBaseBar0(std::string busId);
// The same, telling an unreadable configuration space apart: false when the
// eight bytes could not be read (and why has been reported).
bool readDeviceBaseBar0(const PciDevice& device, uint64_t& base);

std::string getDeviceDeviceId(std::string busId);   // "" when unreadable
std::string getDeviceMinorId(std::string busId);    // "x" when unreadable

// Hexadecimal text to a number; throws std::invalid_argument
// ("Invalid hexadecimal string") when the text holds no number of that width.
uint64_t stringToUint64_t(std::string hexText);
uint32_t stringToUint32_t(std::string hexText);

// Runs `command` through the shell and keeps as much of its standard output
// as fits in `reply` with a terminating NUL; null when it cannot be started.
char* cmdResult(const char* command, char* reply, int replySize);

// Appends one piece of a command's output to `reply` when it leaves room for
// the terminating NUL within `replySize` bytes (`used` are taken); false,
// with nothing changed, when it does not.
bool keepPiece(char* reply, int replySize, int& used, const char* piece, std::size_t length);

bool enablePciDevice(std::string busId);
// Memory decoding and bus mastering on again, the other command bits kept:
// the wake's own command register write, for a device whose move to D0
// cleared it.
void enableMemoryDecoding(const std::string& busId);
// Writes BAR registers back, as the kernel restores them after a power
// change: `bars` for every register whose bit is set in `which`.  False
// when setpci could not be started.
bool restoreBars(const std::string& busId, const uint32_t* bars, unsigned which);
uint32_t getDeviceInfoByReg(std::string busId, uint32_t offset);
std::vector<std::string> split(const std::string& source, char separator);

// Switches off ACS on every switch downstream port above the given GPUs,
// then reads each of those ports back from sysfs.  A port whose ACS is
// still on, or cannot be read back, is reported in a line of its own; a
// port without an ACS capability has nothing to clear.
struct AcsOutcome {
    int written = 0;      // switch downstream ports the walk wrote to
    int notCleared = 0;   // of those, the ones reported
};
AcsOutcome disableACSCtl(std::set<std::string> busIds);

void checkPciUtils();
// True when the shell will find setpci, without starting one: the search the
// shell makes, over the directories of the command search path.
bool setpciInstalled();
bool iommuState(std::string busId);
std::string getNumaNode(std::string busId);
std::string getLocalCPUList(std::string busId);
int hexFileRead32(FILE* input, uint32_t* word);
