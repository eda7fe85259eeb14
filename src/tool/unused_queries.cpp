#include "unused_queries.h"

#include "pci_device.h"
#include "utils.h"

#include <stdexcept>

uint64_t getDeviceBaseBar0(std::string bus)
{
    uint64_t base = 0;
    return readDeviceBaseBar0(PciDevice(bus), base) ? base : 0;
}

std::string getDeviceDeviceId(std::string bus)
{
    return PciDevice(bus).deviceIdText();
}

std::string getDeviceMinorId(std::string bus)
{
    return PciDevice(bus).minorText().value_or("x");
}

uint64_t stringToUint64_t(std::string hexText)
{
    uint64_t value = 0;
    return parseHex(hexText, 64, value) ? value : throw std::invalid_argument(INVALID_HEX);
}

void checkPciUtils()
{
    char reply[1024];
    const bool lspci = cmdResult("which lspci", reply, sizeof reply) != nullptr;
    const bool setpci = cmdResult("which setpci", reply, sizeof reply) != nullptr;
    if (!lspci || !setpci)
        std::printf("Please install pciutils.\n");
}

bool iommuState(std::string bus)
{
    return PciDevice(bus).hasIommu();
}

std::string getNumaNode(std::string bus)
{
    return PciDevice(bus).numaNodeText().value_or("x");
}

std::string getLocalCPUList(std::string bus)
{
    return PciDevice(bus).localCpus().value_or("x");
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
