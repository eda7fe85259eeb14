// What the kernel's command line says of ACS: the parameter
// pci=disable_acs_redir=<device>[;<device>...], which makes the kernel
// clear request redirect, completion redirect and egress control on the
// named ports whenever it enables ACS on them (at enumeration, and after
// every restore of their state), read by the kernel's own rules:
//   - the command line splits into parameters at blanks outside quotes, and
//     quotes around a parameter or its value are not part of it;
//   - every pci= parameter splits into options at ',';
//   - the last disable_acs_redir= of them all counts;
//   - its devices are tried in order, separated by ';' (or ','), and one
//     that cannot be parsed ends the list for the device being matched;
//   - a device is DDDD:BB:DD.F or BB:DD.F, either followed by /DD.F for
//     each bridge below it down to the device, or pci:VVVV:DDDD[:SV:SD]
//     (0 matches any).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

extern const char* const KERNEL_COMMAND_LINE;   // "/proc/cmdline"
// The kernel's limit of a command line on x86, terminating NUL included.
constexpr std::size_t KERNEL_COMMAND_LINE_MAX = 2048;

// The parameters of a command line the kernel reads itself, with the
// quotes it drops dropped ("pci=\"a;b\"" gives pci=a;b): up to a bare "--",
// after which everything is init's.
std::vector<std::string> kernelParameters(const std::string& commandLine);
// The value of the disable_acs_redir= option that counts; nothing when no
// pci= parameter has one.
std::optional<std::string> acsRedirList(const std::vector<std::string>& parameters);

// The list that counts on this machine's command line (/proc/cmdline);
// nothing when there is none, or the command line cannot be read.
std::optional<std::string> readAcsRedirList();

// A PCI device as the kernel matches it: its place and its IDs.
struct PciIdentity {
    unsigned domain = 0, bus = 0, devfn = 0;
    uint16_t vendor = 0, device = 0, subsystemVendor = 0, subsystemDevice = 0;
};
// Whether the kernel takes `list` (a disable_acs_redir= value) to name the
// device `chain` starts with; `chain` holds it and then each bridge above
// it up to the top of its hierarchy.
bool acsRedirNames(const std::string& list, const std::vector<PciIdentity>& chain);
// The entries of a list, split at ';' (a ',' never reaches one: every pci=
// parameter is split at it first).
std::vector<std::string> acsRedirEntries(const std::string& list);

// The parameter that keeps ACS redirection off on `ports` (their names, as
// kernelPathName gives them, with their chains for kernelChain): our
// entries first, then those of the list that counts now (`existing`) that
// name other devices, since only the last list counts and dropping them
// would undo the administrator's own.  An entry that names one of our
// ports by its place gives way to ours; one that names devices by their
// IDs is kept, since it may name others too.  Repeats are folded.
std::string acsRedirParameter(const std::vector<std::string>& ports,
                              const std::vector<std::vector<PciIdentity>>& chains,
                              const std::optional<std::string>& existing);
