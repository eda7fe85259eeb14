#include "modes.h"

#include "device_ka.h"
#include "device_lu.h"
#include "device_re.h"
#include "platform.h"
#include "record.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

DeviceList buildDeviceList(const std::vector<QvBoard*>& boards)
{
    DeviceList devices;
    for (const QvBoard* board : boards) {
        const DeviceTableEntry* entry = findDeviceTableEntry(board->deviceId);
        if (!entry)
            continue;
        switch (entry->group) {
        case DeviceGroup::KA:
            devices.push_back(std::make_unique<QvDeviceKA>(board->busId));
            break;
        case DeviceGroup::RE:
            devices.push_back(std::make_unique<QvDeviceRE>(board->busId));
            break;
        case DeviceGroup::LU:
            devices.push_back(std::make_unique<QvDeviceLU>(board->busId));
            break;
        }
    }
    return devices;
}

int runStoreData(const DeviceList& devices)
{
    if (isVirtualMachine()) {
        std::printf("\033[33mWarning: '--store-data' only works in host machine!\033[0m\n");
        return -1;
    }
    for (const auto& device : devices) {
        // A GPU whose device ID or BAR0 base could not be read gets no record
        // at all: a record built from a value never read would send peer
        // traffic to a wrong address.  The failing step has said why.
        if (!device->initialDevice())
            continue;
        PeerAddressRecord record;
        record.magic = recordMagic(device->deviceId);
        if (!readDeviceBaseBar0(device->busAddress, record.bar0Base))
            continue;
        uint8_t bytes[PEER_RECORD_SIZE];
        encodeRecord(record, bytes);
        device->writeMemory(PEER_RECORD_ADDRESS, PEER_RECORD_SIZE, bytes);
    }
    std::printf("\033[32mSuccess: store data completed!\033[0m\n\n");
    return 0;
}

int runSaveData(const DeviceList& devices)
{
    if (!isVirtualMachine()) {
        std::printf("\033[33mWarning: '--save-data' only works in virtual machine!.\033[0m\n");
        return -1;
    }
    std::error_code ec;
    fs::create_directories(GUEST_CONFIG_DIR, ec);
    if (ec || !fs::is_directory(GUEST_CONFIG_DIR, ec)) {
        std::printf("\033[31mError: Cannot create %s: %s\033[0m\n", GUEST_CONFIG_DIR,
                    (ec ? ec : std::make_error_code(std::errc::not_a_directory)).message().c_str());
        return -1;
    }
    for (const auto& device : devices) {
        uint8_t bytes[PEER_RECORD_SIZE] = {};
        const bool read = device->initialDevice() &&
                          device->readMemory(PEER_RECORD_ADDRESS, PEER_RECORD_SIZE, bytes);
        if (!read || !recordValidFor(bytes, sizeof bytes, device->deviceId)) {
            std::printf("\033[31mError: invalid data, please '--store-data' on the host first!\033[0m\n");
            return -1;
        }
        if (!replaceFile(GUEST_CONFIG_DIR + device->busAddress, bytes, sizeof bytes))
            std::printf("\033[31mError: failed to write configuration file!\033[0m\n");
    }
    std::printf("\033[32mSuccess: save data completed!\033[0m\n\n");
    return 0;
}
