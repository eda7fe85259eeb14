// The chain of bus addresses taken from a canonical sysfs path.
#include "pci_device.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path(reinterpret_cast<const char*>(data), size);
    for (const std::string& address : busChainFromPath(path)) {
        // Every piece goes into a setpci command line: it must be a bus
        // address and nothing else.
        if (!isBusAddress(address) || address.find_first_not_of("0123456789abcdefABCDEF:.") !=
                                          std::string::npos)
            std::abort();
    }
    return 0;
}
