#include "machine.h"

#include "files.h"
#include "mounts.h"

#include <sys/stat.h>
#include <unistd.h>

namespace sim {

void Machine::installSoftReset()
{
    bool needed = false;
    for (const Device* d : topology_.all())
        needed = needed || !d->noSoftReset;
    if (!needed)
        return;
    // Configuration spaces here are plain files that setpci writes, with
    // nobody behind them to reset: the machine's own setpci, first on every
    // run's search path, plays the device.  A device in D3hot whose
    // No_Soft_Reset is clear, moved to D0, resets: its command register
    // reads 0 and BAR0 reads as at power-on (its type bits alone, 64-bit
    // prefetchable), as the PCI power management rules have it.  The write
    // itself goes on down the search path, through whatever a test put
    // there; the reset is the hardware's and goes straight to the real
    // setpci.
    std::string real;
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin", "/usr/local/bin"})
        if (::access((std::string(dir) + "/setpci").c_str(), X_OK) == 0) {
            real = std::string(dir) + "/setpci";
            break;
        }
    if (real.empty())
        fail("Cannot find setpci for the simulated machine");
    softResetBin_ = root_ + "/sim-bin";
    makeDirs(softResetBin_);
    const std::string script = softResetBin_ + "/setpci";
    writeFile(script,
              "#!/bin/sh\n"
              "before=$(" + real + " -s \"$2\" CAP_PM+4.w 2>/dev/null)\n"
              "PATH=${PATH#*:} setpci \"$@\"; status=$?\n"
              "after=$(" + real + " -s \"$2\" CAP_PM+4.w 2>/dev/null)\n"
              "if [ -n \"$before\" ] && [ $((0x$before & 0xb)) -eq 3 ] && "
              "[ $((0x$after & 3)) -eq 0 ]; then\n"
              "    " + real + " -s \"$2\" COMMAND=0 BASE_ADDRESS_0=0000000c BASE_ADDRESS_1=0\n"
              "fi\n"
              "exit $status\n");
    ::chmod(script.c_str(), 0755);
}

} // namespace sim
