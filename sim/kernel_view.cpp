// What the simulated machine's kernel and firmware say of it: the CPU's
// flags, the command line, the DMI strings and SMBIOS table, lockdown, and
// a device's driver and power state, and its hot-plug.
#include "machine.h"

#include "files.h"

#include <filesystem>
#include <unistd.h>

namespace sim {

namespace {

const char* const HOST_CPUINFO =
    "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Simulated CPU\n"
    "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 "
    "clflush mmx fxsr sse sse2 ss ht syscall nx pdpe1gb rdtscp lm constant_tsc vmx\n\n";
const char* const GUEST_CPUINFO =
    "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Simulated CPU\n"
    "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 "
    "clflush mmx fxsr sse sse2 ss syscall nx pdpe1gb rdtscp lm constant_tsc hypervisor\n\n";

// The firmware of a server as a maker ships it, and QEMU's (with SeaBIOS)
// as a guest sees it: sys_vendor, product_name, product_version,
// board_vendor, bios_vendor, chassis_vendor.
const char* const HOST_DMI[] = {"Supermicro", "SYS-421GE-TNRT", "0123456789", "Supermicro",
                                "American Megatrends International, LLC.", "Supermicro"};
const char* const GUEST_DMI[] = {"QEMU", "Standard PC (Q35 + ICH9, 2009)", "pc-q35-7.2", "",
                                 "SeaBIOS", "QEMU"};
const char* const DMI_NAMES[] = {"sys_vendor", "product_name", "product_version", "board_vendor",
                                 "bios_vendor", "chassis_vendor"};

// An SMBIOS table as firmware hands it to the kernel: the BIOS information
// (type 0, with its BIOS Characteristics Extension Byte 2, whose bit 4
// marks a virtual machine), then the end of the table.
std::string smbiosTable(bool virtualMachine)
{
    std::string t(0x18, '\0');
    t[0] = 0;                                   // type 0
    t[1] = 0x18;                                // its formatted length
    t[4] = 1;                                   // vendor: string 1
    t[5] = 2;                                   // version: string 2
    t[8] = 3;                                   // release date: string 3
    t[0x12] = 0x01;                             // ACPI
    t[0x13] = static_cast<char>(virtualMachine ? 0x14 : 0x04);
    t += std::string("BIOS\0" "1.0\0" "01/01/2024\0", 20) + '\0';
    t += std::string("\x7f\x04\xff\xfe\0\0", 6);   // type 127, end of table
    return t;
}

} // namespace

void Machine::showKernelAndFirmware() const
{
    writeFile(root_ + "/cpuinfo", side_ == Side::Guest ? GUEST_CPUINFO : HOST_CPUINFO);
    setKernelCommandLine("BOOT_IMAGE=/boot/vmlinuz-6.1.0-28-amd64 root=/dev/sda1 ro quiet");
    makeDirs(root_ + "/sys/class/dmi/id");
    makeDirs(root_ + "/sys/firmware/dmi/tables");
    for (int f = 0; f < 6; ++f)
        setDmi(DMI_NAMES[f], (side_ == Side::Guest ? GUEST_DMI : HOST_DMI)[f]);
    setSmbiosVirtualMachine(false);
}

void Machine::bindDriver(const std::string& bdf, const std::string& driver) const
{
    makeDirs(root_ + "/sys/bus/pci/drivers/" + driver);
    const std::string link = devicePath(bdf) + "/driver";
    ::unlink(link.c_str());
    makeSymlink("/sys/bus/pci/drivers/" + driver, link);
}

void Machine::replug(const std::string& bdf, const std::vector<uint8_t>& record) const
{
    namespace fs = std::filesystem;
    const std::string dir = devicePath(bdf);
    fs::copy(dir, dir + ".new", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove_all(dir);
    fs::rename(dir + ".new", dir);
    if (!record.empty())
        writeBytes(dir + "/resource0", 0x100000, record);
}

void Machine::unplug(const std::string& bdf) const
{
    namespace fs = std::filesystem;
    const std::string link = sysPath("bus/pci/devices/" + bdf);
    const std::string held = root_ + "/unplugged/" + bdf;
    makeDirs(root_ + "/unplugged");
    writeFile(held + ".link", fs::read_symlink(link).string());
    writeFile(held + ".dir", devicePath(bdf));
    fs::rename(devicePath(bdf), held);
    fs::remove(link);
}

void Machine::plug(const std::string& bdf, const std::vector<uint8_t>& record) const
{
    namespace fs = std::filesystem;
    const std::string held = root_ + "/unplugged/" + bdf;
    const std::string dir = readFile(held + ".dir");
    fs::copy(held, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    makeSymlink(readFile(held + ".link"), sysPath("bus/pci/devices/" + bdf));
    fs::remove_all(held);
    fs::remove(held + ".dir");
    fs::remove(held + ".link");
    if (!record.empty())
        writeBytes(dir + "/resource0", 0x100000, record);
}

void Machine::setKernelPower(const std::string& bdf, const std::string& runtimeStatus,
                             const std::string& powerState) const
{
    const std::string dir = devicePath(bdf);
    makeDirs(dir + "/power");
    writeFile(dir + "/power/runtime_status", runtimeStatus + "\n");
    writeFile(dir + "/power_state", powerState + "\n");
}

void Machine::hideHypervisorFlag() const
{
    writeFile(root_ + "/cpuinfo", HOST_CPUINFO);
}

void Machine::setDmi(const std::string& field, const std::string& text) const
{
    const std::string path = root_ + "/sys/class/dmi/id/" + field;
    if (text.empty())
        ::unlink(path.c_str());
    else
        writeFile(path, text + "\n");
}

void Machine::setSmbiosVirtualMachine(bool set) const
{
    writeFile(root_ + "/sys/firmware/dmi/tables/DMI", smbiosTable(set));
}

void Machine::setLockdown(const std::string& mode) const
{
    std::string text;
    for (const char* m : {"none", "integrity", "confidentiality"})
        text += (text.empty() ? "" : " ") + (m == mode ? "[" + mode + "]" : std::string(m));
    makeDirs(root_ + "/sys/kernel/security");
    writeFile(root_ + "/sys/kernel/security/lockdown", text + "\n");
}

void Machine::setKernelCommandLine(const std::string& text) const
{
    writeFile(root_ + "/cmdline", text + "\n");
}

} // namespace sim
