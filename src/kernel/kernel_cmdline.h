// What the kernel's command line says of ACS: pci=disable_acs_redir=<device>
// [;<device>...] has the kernel clear ACS redirection on those ports whenever
// it enables ACS (at enumeration and every restore), by the kernel's rules:
//   - parameters split at blanks outside quotes; quotes around a parameter
//     or its value are not part of it;
//   - pci= splits into options at ','; the last disable_acs_redir= counts;
//   - its devices are tried in order, split at ';' (or ','); one that cannot
//     be parsed ends the list for the device being matched;
//   - a device is DDDD:BB:DD.F or BB:DD.F, then /DD.F for each bridge down
//     to the device; or pci:VVVV:DDDD[:SV:SD] (0 matches any).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

extern const char* const KERNEL_COMMAND_LINE;   // "/proc/cmdline"
constexpr std::size_t KERNEL_COMMAND_LINE_MAX = 2048;   // on x86, its NUL included

// The parameters the kernel reads (quotes dropped) up to a bare "--"; the
// disable_acs_redir= list that counts, there and on this machine's command line.
std::vector<std::string> kernelParameters(const std::string& commandLine);
std::optional<std::string> acsRedirList(const std::vector<std::string>& parameters);
std::optional<std::string> readAcsRedirList();

// A PCI device as the kernel matches it: its place and its IDs.
struct PciIdentity {
    unsigned domain = 0, bus = 0, devfn = 0;
    uint16_t vendor = 0, device = 0, subsystemVendor = 0, subsystemDevice = 0;
};
// Whether the kernel takes `list` to name the device `chain` starts with
// (then the bridges above it); the entries of a list.
bool acsRedirNames(const std::string& list, const std::vector<PciIdentity>& chain);
std::vector<std::string> acsRedirEntries(const std::string& list);

// The parameter keeping ACS redirection off on `ports` (kernelPathName's, with chains):
// ours, then today's entries for other devices (only the last list counts: the
// administrator's stay); one naming our port by place gives way.  No repeats.
std::string acsRedirParameter(const std::vector<std::string>& ports,
                              const std::vector<std::vector<PciIdentity>>& chains,
                              const std::optional<std::string>& existing);
