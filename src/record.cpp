#include "record.h"

#include "platform.h"

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

std::string storeFilePath(const std::string& busId)
{
    return GUEST_CONFIG_DIR + busId;
}

StoreFile readStoreFile(const std::string& busId)
{
    StoreFile file;
    file.path = storeFilePath(busId);
    FileError error = FileError::None;
    if (readRegularFile(file.path, PEER_RECORD_SIZE, file.bytes, nullptr, &error)) {
        file.state = StoreFile::Read;
        return file;
    }
    switch (error) {
    case FileError::None:
    case FileError::Missing: file.state = StoreFile::Missing; break;
    case FileError::CannotOpen: file.state = StoreFile::CannotOpen; break;
    case FileError::NotRegular: file.state = StoreFile::NotRegular; break;
    case FileError::CannotRead: file.state = StoreFile::CannotRead; break;
    }
    return file;
}

bool StoreFile::validFor(uint64_t deviceId) const
{
    return state == Read &&
           recordValidFor(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), deviceId);
}

PeerAddressRecord StoreFile::record() const
{
    uint8_t raw[PEER_RECORD_SIZE] = {};
    for (std::size_t i = 0; i < PEER_RECORD_SIZE && i < bytes.size(); ++i)
        raw[i] = static_cast<uint8_t>(bytes[i]);
    return decodeRecord(raw);
}
