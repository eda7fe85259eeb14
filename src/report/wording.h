// The words every rendering and the verdict share: numbers, lists, who holds a GPU,
// the fixes' command lines.  Text from the system is made printable where rendered.
#pragma once

#include "holders.h"
#include "platform.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// "0x38bff0000000": a base address as every rendering shows it.
std::string hex(uint64_t value);
// "0x0002": a device ID as sysfs prints it.
std::string deviceIdText(uint32_t id);
// "a, b, c".
std::string joined(const std::vector<std::string>& items);
// Items with reasons: "0000:03:00.0 (its reason), 0000:04:00.0 (its reason)".
using Reasoned = std::vector<std::pair<std::string, std::string>>;
std::string withReasons(const Reasoned& items);
// "vm1 (qemu-system-x86, pid 4242)": the guest, or the process, holding a GPU.
std::string userText(const ProcessFacts& user);

// toolCommand({DISABLE_ACS, STORE_DATA}) is "qvgpu-vm-p2p --disable-acs --store-data".
extern const char* const DISABLE_ACS;
extern const char* const STORE_DATA;
extern const char* const SAVE_DATA;
extern const char* const CONFIG_ADDRESS;
std::string toolCommand(std::initializer_list<const char*> options);
// The command that prints the parameter keeping ACS redirection off.
extern const char* const KERNEL_ACS_COMMAND;
