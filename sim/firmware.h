// A simulated GPU firmware: it answers one GPU's register file (the
// machine's "resource2", mapped shared, the same bytes the device code maps)
// the way each chip series' firmware does, in virtual time.
//
// While it lives it is the device layer's environment: every pause of the
// device code advances the firmware's clock instead of sleeping, and every
// register store rings its doorbell, so it sees each store in order, as the
// chip sees them on the bus.
#pragma once

#include "device.h"
#include "machine.h"
#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Series { KA, RE, LU };

struct FirmwareBehaviour {
    bool neverReady = false;          // KA: the ready register never reads 0x66
    uint32_t notReadyValue = 0x65;
    bool busyFromStart = false;       // busy before any command, and it never clears
    bool stuckBusy = false;           // a command never finishes
    int busyPolls = 0;                // polls that still read busy after a command
    int writeSrcId = 0;               // KA: the source-id pair that reaches the mailbox
    int readSrcId = 0;
    bool noSourceIdWorks = false;     // KA: no pair reads the probe back
    uint32_t result = 1;              // KA: result word of every command (1 = success)
    uint32_t status = 0;              // KA: status word after a command
    uint32_t mailbox7Errors = 0;      // LU: error bits in mailbox word 7 after a command
    uint32_t scratch4Errors = 0;      // LU: error bits in firmware scratch register 4
};

struct RegisterWrite {
    uint32_t offset;
    uint32_t value;
    bool operator==(const RegisterWrite& o) const { return offset == o.offset && value == o.value; }
};

struct FirmwareCommand {
    uint32_t command = 0;
    uint32_t data[4] = {0, 0, 0, 0};
    std::vector<uint32_t> sramWords;  // RE: words loaded into SRAM since the last command
    uint32_t sramAddress = 0;         // RE: SRAM_ADDR_REG when the command came
};

class Firmware : public DeviceEnvironment {
public:
    Firmware(const Machine& machine, const std::string& bdf, Series series,
             FirmwareBehaviour behaviour = {});
    ~Firmware() override;
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;

    void pause(uint64_t microseconds) override;
    void registerWritten(const std::string& busAddress, uint32_t offset) override;
    void registerRead(const std::string& busAddress, uint32_t offset) override;

    // Every register store that reached the chip, in order.
    const std::vector<RegisterWrite>& writes() const { return writes_; }
    std::vector<RegisterWrite> writesTo(std::initializer_list<uint32_t> offsets) const;
    // Every register access in order: "w <offset>=<value>" or "r <offset>",
    // in hexadecimal.
    const std::vector<std::string>& accesses() const { return accesses_; }
    const std::vector<FirmwareCommand>& commands() const { return commands_; }
    // Every pause the device code asked for, in microseconds.
    const std::vector<uint64_t>& pauses() const { return pauses_; }
    uint64_t elapsedMicroseconds() const;

    uint32_t reg(uint32_t offset) const { return registers_.load32(offset); }
    void setReg(uint32_t offset, uint32_t value) const { registers_.store32(offset, value); }

private:
    void doorbell();
    void complete();
    uint32_t busyRegister() const;
    uint32_t commandRegister() const;

    DeviceEnvironment* previous_;
    std::string bdf_;
    Series series_;
    FirmwareBehaviour behaviour_;
    UniqueFd fd_;
    Mapping registers_;
    std::vector<RegisterWrite> writes_;
    std::vector<std::string> accesses_;
    std::vector<FirmwareCommand> commands_;
    std::vector<uint64_t> pauses_;
    bool working_ = false;            // a command is in progress
    int pollsLeft_ = 0;
    // KA: the mailbox data word as seen through each source id.
    uint32_t sourceId_ = 0;
    uint32_t bank_[2] = {0, 0};
    // RE: SRAM loading.
    uint32_t sramAddress_ = 0;
    std::vector<uint32_t> sramWords_;
};

} // namespace sim
