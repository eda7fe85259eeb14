#include "side.h"

#include "platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <strings.h>
#include <unistd.h>

const char* const DMI_FIELD_NAMES[DMI_FIELDS] = {
    "sys_vendor", "product_name", "product_version", "board_vendor", "bios_vendor", "chassis_vendor",
};

const DmiHypervisor DMI_HYPERVISORS[] = {
    {"QEMU"}, {"KVM"}, {"Bochs"}, {"VMware"}, {"VMW"}, {"VirtualBox"}, {"innotek GmbH"}, {"Xen"},
    {"BHYVE"}, {"Parallels"}, {"OpenStack"}, {"KubeVirt"}, {"Cloud Hypervisor"}, {"Hyper-V"},
    {"Apple Virtualization"}, {"Google Compute Engine"}, {"Amazon EC2"},
    {"Virtual Machine", "product_name", "Microsoft"},
};
const int DMI_HYPERVISOR_COUNT = sizeof DMI_HYPERVISORS / sizeof DMI_HYPERVISORS[0];

namespace {

const char* const DMI_DIR = "/sys/class/dmi/id/";
const char* const SMBIOS_TABLE = "/sys/firmware/dmi/tables/DMI";
// The SMBIOS table is often larger than a page; type 0 comes first.
const std::size_t SMBIOS_MAX = 65536;
const char* const AMAZON = "Amazon EC2";

bool startsWithNoCase(const std::string& text, const char* prefix)
{
    return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

bool endsWith(const std::string& text, const char* suffix)
{
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// The first line of a DMI attribute, without its trailing blanks.
std::string dmiField(const char* name)
{
    std::string bytes;
    if (!readRegularFile(std::string(DMI_DIR) + name, 4096, bytes))
        return "";
    bytes = bytes.substr(0, bytes.find('\n'));
    while (!bytes.empty() && std::isspace(static_cast<unsigned char>(bytes.back())))
        bytes.pop_back();
    return bytes;
}

std::optional<std::string> readSmall(const char* path)
{
    std::string text;
    if (!readRegularFile(path, 4096, text))
        return std::nullopt;
    return text;
}

// Whether /proc/cpuinfo holds "hypervisor"; `read` false when unreadable.
bool cpuHypervisorFlag(bool& read)
{
    static const char WORD[] = "hypervisor";
    const std::size_t wordLength = sizeof WORD - 1;
    read = false;
    UniqueFd fd = openRegularFile("/proc/cpuinfo");
    if (!fd.isOpen())
        return false;
    // In pieces (many CPUs, a large file), each tail kept for a word cut.
    char buffer[16384];
    std::size_t kept = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer + kept, sizeof buffer - kept);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        read = true;
        if (n == 0)
            return false;
        const std::size_t length = kept + static_cast<std::size_t>(n);
        if (std::search(buffer, buffer + length, WORD, WORD + wordLength) != buffer + length)
            return true;
        kept = std::min(length, wordLength - 1);
        std::memmove(buffer, buffer + length - kept, kept);
    }
}

} // namespace

SmbiosVm smbiosVmBit(const std::string& table)
{
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(table[at]); };
    std::size_t at = 0;
    // A structure: type, formatted length, handle, the rest, strings, two NULs.
    while (at + 4 <= table.size()) {
        const unsigned type = byte(at);
        const std::size_t length = byte(at + 1);
        if (length < 4 || at + length > table.size() || type == 127)
            return SmbiosVm::Unknown;
        if (type == 0) {
            // Extension Byte 2 lies at offset 0x13, present from SMBIOS 2.4.
            if (length < 0x14)
                return SmbiosVm::Unknown;
            return byte(at + 0x13) & 0x10 ? SmbiosVm::Set : SmbiosVm::Clear;
        }
        std::size_t end = at + length;
        while (end + 1 < table.size() && (byte(end) != 0 || byte(end + 1) != 0))
            ++end;
        if (end + 1 >= table.size())
            return SmbiosVm::Unknown;
        at = end + 2;
    }
    return SmbiosVm::Unknown;
}

std::vector<std::string> firmwareSignals(const DmiStrings& dmi, SmbiosVm vm)
{
    std::vector<std::string> signals;
    const std::string& vendor = dmi.field[0];
    const std::string& product = dmi.field[1];
    for (int f = 0; f < DMI_FIELDS; ++f) {
        const std::string& value = dmi.field[f];
        for (int h = 0; h < DMI_HYPERVISOR_COUNT; ++h) {
            const DmiHypervisor& row = DMI_HYPERVISORS[h];
            if ((row.onlyField && std::strcmp(row.onlyField, DMI_FIELD_NAMES[f]) != 0) ||
                (row.withVendor && !startsWithNoCase(vendor, row.withVendor)) ||
                !startsWithNoCase(value, row.prefix))
                continue;
            // Amazon EC2 runs bare-metal instances too: SMBIOS tells them
            // apart, or else their product name does.
            if (std::strcmp(row.prefix, AMAZON) == 0 &&
                (vm == SmbiosVm::Clear || (vm == SmbiosVm::Unknown && endsWith(product, ".metal"))))
                break;
            signals.push_back(std::string(DMI_FIELD_NAMES[f]) + " " + value);
            break;
        }
    }
    if (vm == SmbiosVm::Set)
        signals.push_back("SMBIOS marks a virtual machine");
    return signals;
}

bool xenControlDomain(const std::optional<std::string>& features,
                      const std::optional<std::string>& capabilities)
{
    constexpr unsigned XENFEAT_DOM0 = 11;
    if (features) {
        std::string digits = *features;
        while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.back())))
            digits.pop_back();
        // Hexadecimal feature words, the lowest last.
        if (!digits.empty() &&
            digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
            return std::strtoull(digits.substr(digits.size() - std::min<std::size_t>(digits.size(), 8)).c_str(),
                                 nullptr, 16) >> XENFEAT_DOM0 & 1;
    }
    if (!capabilities)
        return false;
    std::istringstream list(capabilities->substr(0, capabilities->find('\n')));
    for (std::string capability; std::getline(list, capability, ',');)
        if (capability == "control_d")
            return true;
    return false;
}

const char* SideFacts::signalKind() const
{
    if (cpuFlag && !xenDom0)
        return "cpu_flag";
    if (!firmware.empty())
        return firmware.front().compare(0, 6, "SMBIOS") == 0 ? "smbios" : "dmi";
    return xenDom0 ? "xen" : "none";
}

SideFacts readSide(bool allSignals)
{
    SideFacts side;
    side.cpuFlag = cpuHypervisorFlag(side.cpuinfoRead);
    // Only a machine on a hypervisor can be Xen's control domain.
    if (side.cpuFlag)
        side.xenDom0 = xenControlDomain(readSmall("/sys/hypervisor/properties/features"),
                                        readSmall("/proc/xen/capabilities"));
    if (side.cpuFlag && !side.xenDom0 && !allSignals)
        return side;
    DmiStrings dmi;
    for (int f = 0; f < DMI_FIELDS; ++f)
        dmi.field[f] = dmiField(DMI_FIELD_NAMES[f]);
    std::string table;
    // Root's alone: another user simply learns nothing from it.
    readRegularFile(SMBIOS_TABLE, SMBIOS_MAX, table);
    side.firmware = firmwareSignals(dmi, smbiosVmBit(table));
    return side;
}
