// A port's configuration space as a broken or vanishing device may hand it
// out, and the texts the status report escapes for JSON.
#include "status.h"
#include "status_report.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> config(data, data + size);
    const PortFacts port = decodePort("0000:00:00.0", config);
    if (port.portType < -1 || port.portType > 15 || (!port.configRead && port.hasAcs))
        std::abort();
    if (port.hasAcs && decodeAcsCtl(port.acsCtl).size() != 79)
        std::abort();
    // Whatever the bytes, the literal is quoted and plain printable ASCII.
    const std::string literal = jsonString(std::string(config.begin(), config.end()));
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"')
        std::abort();
    for (const char c : literal)
        if (c < 0x20 || c > 0x7E)
            std::abort();
    parseLockdown(std::string(config.begin(), config.end()));
    return 0;
}
