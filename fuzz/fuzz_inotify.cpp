// A buffer of inotify events as one read returns it.
#include "daemon.h"
#include "modes.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> buffer(data, data + size);
    countCreatedNodes(buffer.data(), buffer.size(), "morvanti3");
    countCreatedNodes(buffer.data(), buffer.size(), "morvanti-1");
    return 0;
}
