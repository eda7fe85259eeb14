#include "enum_device.h"

#include "config_space.h"
#include "device.h"
#include "messages.h"
#include "platform.h"
#include "utils.h"

#include <algorithm>
#include <cstdio>

namespace {

// A GPU the wake moves out of a lower power state, with its BARs (kept in D3hot) before.
struct Moved {
    PciDevice* device;
    bool barsKnown;
    uint32_t bars[BAR_COUNT];
};

std::string barsText(const uint32_t (&now)[BAR_COUNT], const uint32_t (&was)[BAR_COUNT])
{
    for (int i = 0; i < BAR_COUNT; ++i)
        if (now[i] != was[i]) {
            char text[64];
            std::snprintf(text, sizeof text, "BAR%d reads 0x%08x, was 0x%08x", i, now[i], was[i]);
            return text;
        }
    return "";
}

// A GPU without No_Soft_Reset leaves D3hot reset: BARs as at power-on (the kernel
// restores them after its own changes, setpci does not), command cleared.  The BARs go
// back, then decoding; else decoding stays off, marked: no record from a wrong BAR0.
void restoreAssignment(Moved& moved, std::set<std::string>& barsLost)
{
    PciDevice& device = *moved.device;
    uint32_t now[BAR_COUNT];
    if (!barRegisters(device.config(), now) || barsText(now, moved.bars).empty())
        return;
    unsigned differing = 0;
    for (int i = 0; i < BAR_COUNT; ++i)
        if (now[i] != moved.bars[i])
            differing |= 1u << i;
    const bool written = restoreBars(device.bus(), moved.bars, differing);
    device.forgetConfig();
    const std::string why = !written ? "setpci could not be started"
                            : !barRegisters(device.config(), now) ? CONFIG_UNREAD
                                                                  : barsText(now, moved.bars);
    if (why.empty()) {
        colouredLine(Colour::Yellow, "Warning: %s lost its BARs in its move to D0 (a soft "
                     "reset); they were written back", device.bus().c_str());
        return;
    }
    colouredLine(Colour::Red, "Error: %s lost its BARs in its move to D0 and they could not be "
                 "written back (%s): its memory decoding stays off!",
                 device.bus().c_str(), why.c_str());
    barsLost.insert(device.bus());
}

// After the wake: one wait for all GPUs it moved, their BARs back, decoding set again.
void settleWokenDevices(std::vector<Moved>& moved, std::set<std::string>& barsLost)
{
    if (moved.empty())
        return;
    // What is said of them comes in bus order, whatever the directory's.
    std::sort(moved.begin(), moved.end(),
              [](const Moved& a, const Moved& b) { return a.device->bus() < b.device->bus(); });
    // A device moved from D3hot to D0 has 10 ms before it must answer.
    deviceEnvironment().pause(D0_RECOVERY_MICROSECONDS);
    const uint16_t wanted = COMMAND_MEMORY | COMMAND_MASTER;
    for (Moved& m : moved) {
        if (m.barsKnown)
            restoreAssignment(m, barsLost);
        if (barsLost.count(m.device->bus()))
            continue;
        uint16_t command = 0;
        if (commandRegister(m.device->config(), command) && (command & wanted) == wanted)
            continue;
        enableMemoryDecoding(m.device->bus());
        m.device->forgetConfig();
    }
}

} // namespace

bool EnumDevice::limitTo(const std::vector<std::string>& gpus)
{
    const std::vector<std::string> found = findMakerDevices();
    for (const std::string& name : gpus) {
        const std::string bus = fullBusAddress(name);
        if (std::find(found.begin(), found.end(), bus) == found.end()) {
            colouredLine(Colour::Red, "Error: %s is not a GPU of Morvanti's on this machine!",
                         printable(name).c_str());
            return false;
        }
        limit_.insert(bus);
    }
    return true;
}

void EnumDevice::initPciDevice()
{
    // GPUs not (known) in D0 before their wake: still moving at its end.
    std::vector<Moved> moved;
    std::vector<std::string> found = findMakerDevices();
    if (!limit_.empty())
        found.erase(std::remove_if(found.begin(), found.end(),
                                   [&](const std::string& bus) { return !limit_.count(bus); }),
                    found.end());
    // The holders first: a GPU a guest holds gets no write, not even the
    // wake's (a soft reset, without No_Soft_Reset).  Open through VFIO is
    // held, seen or not; one an unseen process may hold is written, said.
    const GpuHolders holders = findGpuHolders(found);
    if (!holders.complete())
        colouredLine(Colour::Yellow, "Warning: not every process could be seen; a GPU a guest "
                     "holds may be written.");
    for (const auto& [bus, gpu] : holders.gpus) {
        if (!gpu.held())
            continue;
        if (gpu.holder == Holder::Process)
            colouredLine(Colour::Yellow, "[%s]: GPU IN USE by %s (pid %d), left alone.",
                         bus.c_str(), printable(gpu.process.name).c_str(),
                         gpu.process.pid);
        else
            colouredLine(Colour::Yellow, "[%s]: GPU IN USE by %s, left alone.", bus.c_str(),
                         gpu.holder == Holder::XenGuest ? "a Xen guest (pciback)"
                                                        : "a process this run cannot see");
        leftAlone_.insert(bus);
        busIdSet.insert(bus);
    }
    for (const std::string& bus : found) {
        if (leftAlone_.count(bus))
            continue;
        PciDevice device(bus);
        Moved before{nullptr, false, {}};
        const bool inD0 = powerStateOf(device.config()) == PowerState::D0;
        if (!inD0)
            before.barsKnown = barRegisters(device.config(), before.bars);
        if (!enablePciDevice(bus)) {
            std::printf("[%s]: GPU OFFLINE.\n\n", bus.c_str());
            continue;
        }
        // setpci has written it: what was read before is no longer so.
        device.forgetConfig();
        busIdSet.insert(bus);
        before.device = &woken_.insert_or_assign(bus, std::move(device)).first->second;
        if (!inD0)
            moved.push_back(before);
    }
    settleWokenDevices(moved, barsLost_);
}

std::set<std::string> EnumDevice::getAllBusIdSet()
{
    return busIdSet;
}

std::vector<QvBoard*> EnumDevice::getAllBoards()
{
    for (const auto& bus : busIdSet) {
        // No register of a GPU a guest holds is read.
        if (leftAlone_.count(bus))
            continue;
        auto board = std::make_unique<QvBoard>();
        board->busId = bus;
        const auto woken = woken_.find(bus);
        board->sysfs = woken != woken_.end() ? woken->second : PciDevice(bus);
        board->deviceId = board->sysfs.deviceIdText();
        board->barsLost = barsLost_.count(bus) != 0;
        if (const DeviceTableEntry* entry = findDeviceTableEntry(board->deviceId)) {
            // A failed register read answers 0xFFFF, said; the board is made.
            readBoardCodes(*board, *entry, [&](uint32_t offset, uint32_t& word) {
                word = getDeviceInfoByReg(bus, offset);
                return true;
            });
        }
        boards.push_back(std::move(board));
    }
    std::vector<QvBoard*> list;
    list.reserve(boards.size());
    for (const auto& board : boards)
        list.push_back(board.get());
    return list;
}

std::string EnumDevice::getProductName(std::string bus)
{
    std::string name;
    for (const auto& board : boards)
        if (board && board->busId == bus)
            name = getDeviceProductName(stringToUint32_t(board->deviceId), board->numberedForm,
                                        board->variantBit, board->modelCode, board->subModelCode);
    return name;
}

