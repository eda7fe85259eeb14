// Hexadecimal text as sysfs attributes and store files give it.
#include "unused_queries.h"
#include "utils.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    bool wide = false, narrow = false;
    uint64_t w = 0;
    uint32_t n = 0;
    try {
        w = stringToUint64_t(text);
        wide = true;
    } catch (const std::invalid_argument&) {
    }
    try {
        n = stringToUint32_t(text);
        narrow = true;
    } catch (const std::invalid_argument&) {
    }
    // What fits 32 bits reads the same at 64 bits.
    if (narrow && (!wide || uint32_t(w) != n))
        std::abort();
    return 0;
}
