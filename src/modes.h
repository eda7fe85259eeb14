// The operating modes: the host store and the guest save of the peer address
// records.
#pragma once

#include "device.h"
#include "enum_device.h"

#include <memory>
#include <vector>

using DeviceList = std::vector<std::unique_ptr<QvDevice>>;

// One device object per board whose device ID the device table knows, of
// the series class it names, in board order.  Touches no hardware.
DeviceList buildDeviceList(const std::vector<QvBoard*>& boards);

int runStoreData(const DeviceList& devices);
int runSaveData(const DeviceList& devices);
