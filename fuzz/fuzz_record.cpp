// The peer address record as read from a store file or device memory: the
// first two bytes choose the device ID the record is checked against; and
// the same bytes as the record of the driver's last configuration, and as
// the host's record of this boot's stores.
#include "record.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint64_t deviceId = data[0] | data[1] << 8;
    // The record on its own, so that any read past it is caught.
    const std::vector<uint8_t> file(data + 2, data + size);
    const bool valid = recordValidFor(file.data(), file.size(), deviceId);
    if (valid) {
        if (file.size() < PEER_RECORD_SIZE)
            std::abort();
        const PeerAddressRecord r = decodeRecord(file.data());
        uint8_t again[PEER_RECORD_SIZE];
        encodeRecord(r, again);
        if (r.magic != recordMagic(deviceId) || std::memcmp(again, file.data(), sizeof again) != 0)
            std::abort();
    }
    std::vector<ConfiguredGpu> gpus;
    // What parses formats back to the same record.
    if (parseConfiguration(std::string(data, data + size), gpus)) {
        std::vector<ConfiguredGpu> again;
        if (!parseConfiguration(formatConfiguration(gpus), again) || again.size() != gpus.size())
            std::abort();
    }
    // The same for the record of stores, field by field.
    std::vector<StoredGpu> stored;
    if (parseStored(std::string(data, data + size), stored)) {
        std::vector<StoredGpu> again;
        if (!parseStored(formatStored(stored), again) || again.size() != stored.size())
            std::abort();
        for (std::size_t i = 0; i < stored.size(); ++i)
            if (again[i].bus != stored[i].bus || again[i].deviceId != stored[i].deviceId ||
                again[i].base != stored[i].base || again[i].product != stored[i].product)
                std::abort();
    }
    return 0;
}
