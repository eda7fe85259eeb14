#include "record.h"

const char* const GUEST_CONFIG_DIR = "/etc/qv/vm_p2p_cfg/";

namespace {

void put64(uint8_t* at, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get64(const uint8_t* at)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

} // namespace

uint64_t recordMagic(uint64_t deviceId)
{
    return deviceId << 32 | PEER_RECORD_MAGIC;
}

void encodeRecord(const PeerAddressRecord& record, uint8_t bytes[PEER_RECORD_SIZE])
{
    put64(bytes, record.magic);
    put64(bytes + 8, record.bar0Base);
}

PeerAddressRecord decodeRecord(const uint8_t bytes[PEER_RECORD_SIZE])
{
    PeerAddressRecord record;
    record.magic = get64(bytes);
    record.bar0Base = get64(bytes + 8);
    return record;
}

bool recordValidFor(const uint8_t* bytes, std::size_t length, uint64_t deviceId)
{
    return length >= PEER_RECORD_SIZE && decodeRecord(bytes).magic == recordMagic(deviceId);
}
