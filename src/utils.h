// Small questions about the host and about one PCI device, answered afresh
// from sysfs, /proc/cpuinfo or an external command on every call, and the
// building blocks behind them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

// Every per-device path is this prefix, the bus address, then "/attribute".
extern const char* const PCI_DEVICES_DIR;   // "/sys/bus/pci/devices/"
std::string devicePath(const std::string& busId, const char* attribute);

// The first white-space-delimited word of a text attribute, or `placeholder`
// when the file cannot be opened or holds no word.
std::string readFirstWord(const std::string& path, const char* placeholder);

bool isVirtualMachine();
// The same test without a shell: whether "/proc/cpuinfo" holds the word
// "hypervisor" anywhere.  False when it cannot be read.
bool hypervisorFlagPresent();
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
// BAR0 with BAR1 as its upper half from the eight configuration-space bytes
// at offset 16, low four bits cleared.
uint64_t decodeBar0Base(const unsigned char bytes[8]);
// The same, telling an unreadable configuration space apart: false when the
// eight bytes could not be read (the open failure has been reported).
bool readDeviceBaseBar0(const std::string& busId, uint64_t& base);

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
// Whether a device's configuration space, read from sysfs, shows it in D0
// (a device without power management is always there).
bool knownInD0(const std::string& busId);
// The time a device moved from D3hot to D0 may take before it answers.
constexpr uint64_t D0_RECOVERY_MICROSECONDS = 10000;
// After a wake that moved `busIds` out of a lower power state: one wait for
// all of them, then memory decoding and bus mastering set again wherever
// the move cleared them.
void settleWokenDevices(const std::vector<std::string>& busIds);
uint32_t getDeviceInfoByReg(std::string busId, uint32_t offset);
std::vector<std::string> split(const std::string& source, char separator);

// A PCI bus address as the kernel names devices: domain:bus:device.function
// in hexadecimal, such as 0000:3b:00.0 (domains may be wider than four digits).
bool isBusAddress(const std::string& text);

// The bus addresses from the root port down to a device, taken from the
// device's canonical sysfs path (such as /sys/devices/pci0000:00/0000:00:01.0/
// 0000:01:00.0), whatever the width of the domain and including root buses
// hosted below other devices, and wherever the first root bus sits in the
// path.  Empty when the path does not have that shape.  `rootBus`, when
// given, receives the name of that first root bus ("pci0000:00").
std::vector<std::string> busChainFromPath(const std::string& canonicalPath,
                                          std::string* rootBus = nullptr);

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
