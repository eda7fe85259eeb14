#include "firmware.h"

#include "device_ka.h"
#include "device_lu.h"
#include "device_re.h"

#include <cstdio>
#include <fcntl.h>
#include <numeric>
#include <stdexcept>
#include <sys/mman.h>

namespace sim {

namespace {

const uint32_t KA_READY = 0x66;

int openRegisters(const Machine& machine, const std::string& bdf)
{
    const std::string path = machine.devicePath(bdf) + "/resource2";
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("simulated firmware: cannot open " + path);
    return fd;
}

std::size_t registerSize(int fd)
{
    const off_t size = fileSize(fd);
    if (size < 0x10000)
        throw std::runtime_error("simulated firmware: register file too small");
    return static_cast<std::size_t>(size);
}

} // namespace

Firmware::Firmware(const Machine& machine, const std::string& bdf, Series series,
                   FirmwareBehaviour behaviour)
    : previous_(&deviceEnvironment()), bdf_(bdf), series_(series), behaviour_(behaviour), fd_(openRegisters(machine, bdf)),
      registers_(fd_.get(), registerSize(fd_.get()), PROT_READ | PROT_WRITE)
{
    if (!registers_.ok())
        throw std::runtime_error("simulated firmware: cannot map the register file of " + bdf);
    if (series_ == Series::KA)
        setReg(MAILBOX_READY_REG, behaviour_.neverReady ? behaviour_.notReadyValue : KA_READY);
    if (series_ == Series::LU)
        setReg(FW_SCRATCH4_REG, behaviour_.scratch4Errors);
    setReg(busyRegister(), behaviour_.busyFromStart ? MAILBOX_BUSY : 0);
    setDeviceEnvironment(this);
}

Firmware::~Firmware()
{
    setDeviceEnvironment(previous_);
}

uint32_t Firmware::busyRegister() const
{
    return series_ == Series::LU ? MAILBOX0_BUSY_REG : MAILBOX_BUSY_REG;
}

uint32_t Firmware::commandRegister() const
{
    return series_ == Series::LU ? MAILBOX0_0_REG : MAILBOX_CMD_REG;
}

void Firmware::pause(uint64_t microseconds)
{
    pauses_.push_back(microseconds);
    if (!working_ || behaviour_.stuckBusy)
        return;
    if (pollsLeft_ > 0)
        --pollsLeft_;
    else
        complete();
}

void Firmware::registerWritten(const std::string& busAddress, uint32_t offset)
{
    if (busAddress != bdf_)
        return;
    const uint32_t value = reg(offset);
    writes_.push_back({offset, value});
    char text[32];
    std::snprintf(text, sizeof text, "w %x=%x", offset, value);
    accesses_.push_back(text);

    if (series_ == Series::KA) {
        // The mailbox data word reaches the firmware only through the write
        // id, and is seen back only through the read id.
        if (offset == MAILBOX_SRCID_REG) {
            sourceId_ = value & 1;
            setReg(MAILBOX_DATA0_REG, bank_[sourceId_]);
        } else if (offset == MAILBOX_DATA0_REG) {
            if (!behaviour_.noSourceIdWorks && sourceId_ == uint32_t(behaviour_.writeSrcId))
                bank_[behaviour_.readSrcId] = value;
            setReg(MAILBOX_DATA0_REG, bank_[sourceId_]);
        }
    }
    if (series_ == Series::RE) {
        if (offset == SRAM_ADDR_REG) {
            sramAddress_ = value;
        } else if (offset == SRAM_DATA_REG) {
            sramWords_.push_back(value);
        }
    }
    if (offset == commandRegister())
        doorbell();
}

void Firmware::doorbell()
{
    FirmwareCommand c;
    c.command = reg(commandRegister());
    if (series_ == Series::LU) {
        c.data[0] = reg(MAILBOX0_1_REG);
    } else if (series_ == Series::KA) {
        c.data[0] = bank_[behaviour_.readSrcId];
        for (int i = 1; i < 4; ++i)
            c.data[i] = reg(MAILBOX_DATA0_REG + 4 * i);
    } else {
        for (int i = 0; i < 4; ++i)
            c.data[i] = reg(MAILBOX_DATA0_REG + 4 * i);
    }
    c.sramWords.swap(sramWords_);
    c.sramAddress = sramAddress_;
    commands_.push_back(std::move(c));
    working_ = true;
    pollsLeft_ = behaviour_.busyPolls;
    setReg(busyRegister(), MAILBOX_BUSY);
}

void Firmware::complete()
{
    working_ = false;
    if (series_ == Series::KA) {
        bank_[behaviour_.readSrcId] = behaviour_.result;
        setReg(MAILBOX_SET_STATUS_REG, behaviour_.status);
        setReg(MAILBOX_DATA0_REG, bank_[sourceId_]);
    }
    if (series_ == Series::LU)
        setReg(MAILBOX0_7_REG, behaviour_.mailbox7Errors);
    setReg(busyRegister(), 0);
}

void Firmware::registerRead(const std::string& busAddress, uint32_t offset)
{
    if (busAddress != bdf_)
        return;
    char text[16];
    std::snprintf(text, sizeof text, "r %x", offset);
    accesses_.push_back(text);
}

std::vector<RegisterWrite> Firmware::writesTo(std::initializer_list<uint32_t> offsets) const
{
    std::vector<RegisterWrite> out;
    for (const auto& w : writes_)
        for (uint32_t o : offsets)
            if (w.offset == o)
                out.push_back(w);
    return out;
}

uint64_t Firmware::elapsedMicroseconds() const
{
    return std::accumulate(pauses_.begin(), pauses_.end(), uint64_t{0});
}

} // namespace sim
